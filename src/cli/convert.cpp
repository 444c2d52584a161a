// sonbar-cli convert: recodes a WAVE file into another format through the read and write
// chains of the stream factory, the way the recoder does.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "UKoACMFormat.h"
#include "UKoACMStream.h"
#include "UKoWaveStreamFactory.h"
#include "commands.h"
#include "open_error.h"

namespace {

constexpr int32_t kBlockBytes = 32 * 1024;

struct Options {
    bool speed = false;
    bool threaded = false;
    std::string tag;
    std::optional<std::string> attributes;
    std::optional<uint32_t> channels, rate, bits;
    std::vector<std::string> files;
};

constexpr const char* kUsage =
    "usage: sonbar-cli convert [--speed] [--threaded] --tag TAG [--attributes TEXT]\n"
    "                          [--channels N] [--rate R] [--bits B] IN OUT\n";

constexpr const char* kHelp =
    "\nRecodes the WAVE file IN into OUT in the wanted format, converting through\n"
    "intermediate formats where the codecs need them.\n\n"
    "  --tag TAG          format tag: a number or a name such as PCM, \"IMA ADPCM\",\n"
    "                     \"MPEG Layer-3\" (any letter case)\n"
    "  --attributes TEXT  the complete format of that tag described as TEXT, e.g.\n"
    "                     \"128 kBit/s, 44,100Hz, Stereo\" ('sonbar-cli formats TAG'\n"
    "                     lists them)\n"
    "  --channels N, --rate R, --bits B\n"
    "                     without --attributes: the fields the format must have; the\n"
    "                     codecs choose the rest\n"
    "  --speed            prefer speed to quality\n"
    "  --threaded         read ahead and write behind on threads of their own, with\n"
    "                     three seconds of audio buffered on each side\n\n"
    "On failure OUT is removed and the exit status is 1 (2 for a usage error).\n";

int Usage(const std::string& message) {
    ReportError("usage", message);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t max) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || p != end || value == 0 || value > max) return std::nullopt;
    return value;
}

// Empty on success, else the usage error's message.
std::string ParseOptions(std::span<const std::string> args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--speed" || a == "--threaded") {
            (a == "--speed" ? o.speed : o.threaded) = true;
            continue;
        }
        const bool takesValue = a == "--tag" || a == "--attributes" || a == "--channels" ||
                                a == "--rate" || a == "--bits";
        if (!takesValue) {
            if (a.size() > 1 && a[0] == '-') return "unknown option '" + a + "'";
            o.files.push_back(a);
            continue;
        }
        if (i + 1 >= args.size()) return a + " needs a value";
        const std::string& v = args[++i];
        if (a == "--tag") {
            o.tag = v;
        } else if (a == "--attributes") {
            o.attributes = v;
        } else {
            const uint32_t max = a == "--rate" ? 384000 : a == "--channels" ? 2 : 32;
            auto n = ParseNumber(v, max);
            if (!n)
                return a + " takes a number from 1 to " + std::to_string(max) + ", not '" + v + "'";
            (a == "--channels" ? o.channels : a == "--rate" ? o.rate : o.bits) = n;
        }
    }
    if (o.tag.empty()) return "--tag is required";
    if (o.files.size() != 2) return "convert takes one input and one output file";
    if (o.attributes && (o.channels || o.rate || o.bits))
        return "--attributes names a complete format; it cannot go with --channels, --rate or "
               "--bits";
    return {};
}

// TEXT as one shell word.
std::string Quoted(const std::string& text) {
    return text.find_first_of(" \t'\"") == std::string::npos ? text : "'" + text + "'";
}

// 44100 as "44,100", the way the codec manager writes numbers.
std::string Thousands(uint32_t value) {
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    return text;
}

// The tag a number or a name (as the codec manager names it, any letter case) stands for.
std::optional<ACMFORMATTAGDETAILS> FindTag(const std::string& text) {
    ACMFORMATTAGDETAILS details{};
    details.cbStruct = sizeof details;
    if (auto number = ParseNumber(text, 0xFFFF)) {
        details.dwFormatTag = *number;
        if (acmFormatTagDetails(nullptr, &details, ACM_FORMATTAGDETAILSF_FORMATTAG) ==
            MMSYSERR_NOERROR)
            return details;
        return std::nullopt;
    }
    std::optional<ACMFORMATTAGDETAILS> found;
    acmFormatTagEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATTAGDETAILS& d, uint32_t) {
            if (strcasecmp(d.szFormatTag, text.c_str()) != 0) return true;
            found = d;
            return false;
        },
        0);
    return found;
}

// The complete format of that tag whose description is Text, as the enumeration lists it.
std::unique_ptr<TKoWaveFormat> FindAttributes(uint32_t tag, const std::string& text) {
    auto buffer = TKoWaveFormat::CreateMaxSize();
    buffer->SetFormatTag(static_cast<uint16_t>(tag));
    ACMFORMATDETAILS details{};
    details.cbStruct = sizeof details;
    details.dwFormatTag = tag;
    details.pwfx = buffer->Data();
    details.cbwfx = static_cast<uint32_t>(buffer->Capacity());
    std::unique_ptr<TKoWaveFormat> found;
    acmFormatEnum(
        nullptr, &details,
        [&](HACMDRIVERID, const ACMFORMATDETAILS& d, uint32_t) {
            if (strcasecmp(d.szFormat, text.c_str()) != 0) return true;
            found = TKoWaveFormat::CreateMaxSize();
            std::memcpy(found->Data(), d.pwfx, TKoWaveFormat::RecordSizeOf(*d.pwfx));
            found->MarkComplete();
            return false;
        },
        ACM_FORMATENUMF_WFORMATTAG);
    return found;
}

// "MPEG Layer-3 128 kBit/s, 44,100Hz, Stereo" for a complete format the codec manager knows;
// the known fields otherwise.
std::string Describe(const TKoWaveFormat& format) {
    std::string tagName = "tag " + std::to_string(format.HasFormatTag() ? format.FormatTag() : 0);
    if (format.HasFormatTag()) {
        ACMFORMATTAGDETAILS tag{};
        tag.cbStruct = sizeof tag;
        tag.dwFormatTag = format.FormatTag();
        if (acmFormatTagDetails(nullptr, &tag, ACM_FORMATTAGDETAILSF_FORMATTAG) == MMSYSERR_NOERROR)
            tagName = tag.szFormatTag;
    }
    if (format.IsComplete()) {
        auto copy = KoClone(format);
        copy->EnsureMaxCapacity();
        ACMFORMATDETAILS details{};
        details.cbStruct = sizeof details;
        details.pwfx = copy->Data();
        details.cbwfx = static_cast<uint32_t>(copy->Capacity());
        if (acmFormatDetails(nullptr, &details, ACM_FORMATDETAILSF_FORMAT) == MMSYSERR_NOERROR)
            return tagName + " " + details.szFormat;
        return tagName + " " + Thousands(format.SamplesPerSec()) + " Hz, " +
               std::to_string(format.BitsPerSample()) + " bit, " +
               std::to_string(format.Channels()) + " channel(s)";
    }
    const uint32_t known = format.KnownFields();
    std::string text = tagName;
    if (known & KoWaveFields::SamplesPerSec)
        text += ", " + Thousands(format.SamplesPerSec()) + " Hz";
    if (known & KoWaveFields::BitsPerSample)
        text += ", " + std::to_string(format.BitsPerSample()) + " bit";
    if (known & KoWaveFields::Channels)
        text += ", " + std::to_string(format.Channels()) + " channel(s)";
    return text;
}

// Why the write chain could not be built: the first stage along the path that no codec
// takes, or "" when every stage looks possible.
std::string RefusedStage(const TKoWaveFormat& source, const TKoWaveFormatList& path, bool quality) {
    const TKoWaveFormat* from = &source;
    for (std::size_t i = 0; i < path.Count(); ++i) {
        if (!TKoACMStream::CanConvert(*from, *path[i], quality))
            return "the codec refused the conversion from " + Describe(*from) + " to " +
                   Describe(*path[i]);
        from = path[i];
    }
    return {};
}

struct FileState {
    bool exists = false;
    struct stat st {};
};

FileState Stat(const std::string& name) {
    FileState s;
    s.exists = ::stat(name.c_str(), &s.st) == 0;
    return s;
}

bool SameFile(const FileState& a, const FileState& b) {
    return a.exists && b.exists && a.st.st_dev == b.st.st_dev && a.st.st_ino == b.st.st_ino;
}

// Whether the failed open left a file of ours behind (created or truncated by it).
bool TouchedByUs(const FileState& before, const FileState& after) {
    if (!after.exists || !S_ISREG(after.st.st_mode)) return false;
    if (!before.exists || !SameFile(before, after)) return true;
    return before.st.st_size != after.st.st_size ||
           before.st.st_mtim.tv_sec != after.st.st_mtim.tv_sec ||
           before.st.st_mtim.tv_nsec != after.st.st_mtim.tv_nsec;
}

// Copies the audio block by block; names the failed step in `failure`.
bool CopyData(TKoStream& in, TKoStream& out, const std::string& inName, std::string& failure) {
    std::vector<uint8_t> block(kBlockBytes);
    const TKoArea area = MakeArea(block.data(), kBlockBytes);
    for (;;) {
        const int32_t n = in.Read(area);
        if (n < 0) {
            failure = "reading " + inName + " failed";
            return false;
        }
        if (n == 0) return true;
        if (out.Write(MakeArea(block.data(), n)) != n) {
            failure = "writing failed (a conversion or the file)";
            return false;
        }
    }
}

}  // namespace

int RunConvert(std::span<const std::string> args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return kExitSuccess;
    }
    Options o;
    if (std::string message = ParseOptions(args, o); !message.empty()) return Usage(message);
    const auto tag = FindTag(o.tag);
    if (!tag) return Usage("unknown format tag '" + o.tag + "'");

    std::unique_ptr<TKoWaveFormat> wanted;
    if (o.attributes) {
        wanted = FindAttributes(tag->dwFormatTag, *o.attributes);
        if (!wanted)
            return Usage("no " + std::string(tag->szFormatTag) + " format is described as '" +
                         *o.attributes + "'; `sonbar-cli formats " + Quoted(o.tag) +
                         "` lists them");
    } else {
        wanted = TKoWaveFormat::CreateDefault();
        wanted->SetFormatTag(static_cast<uint16_t>(tag->dwFormatTag));
        if (o.channels) wanted->SetChannels(static_cast<uint16_t>(*o.channels));
        if (o.rate) wanted->SetSamplesPerSec(*o.rate);
        if (o.bits) wanted->SetBitsPerSample(static_cast<uint16_t>(*o.bits));
    }

    const std::string& inName = o.files[0];
    const std::string& outName = o.files[1];
    if (std::string reason = UnreadableReason(inName); !reason.empty()) {
        ReportError(inName, reason);
        return kExitFailure;
    }
    const FileState before = Stat(outName);
    if (SameFile(Stat(inName), before)) {
        ReportError(outName, "is the input file itself");
        return kExitFailure;
    }

    TKoWaveStreamFactory factory;
    factory.Threaded = o.threaded;  // both chains, with the default three seconds each
    std::unique_ptr<TKoStream> in = factory.OpenReadChain(inName);
    if (!in) {
        ReportError(inName, "not a WAVE file that can be read");
        return kExitFailure;
    }
    auto source = KoClone(*dynamic_cast<TKoWaveStreamFormat*>(in->GetFormat()));

    auto path = HKoACMFormat::ConversionPath(source->Format(), *wanted);
    if (!path) {
        ReportError(outName, "no conversion path from " + Describe(source->Format()) + " to " +
                                 Describe(*wanted));
        return kExitFailure;
    }

    factory.SetWantedFormat(*wanted);
    factory.HighSpeed = o.speed;
    std::string failure;
    bool created = false;
    // What runs when an exception ends the conversion, for the message.
    std::string step = "creating the output";
    try {
        std::unique_ptr<TKoStream> out = factory.OpenWriteChain(outName, *source);
        created = out != nullptr;
        if (!out) {
            failure = RefusedStage(source->Format(), *path, factory.HighQuality());
            if (failure.empty())
                failure = TouchedByUs(before, Stat(outName))
                              ? "the conversion chain could not be built"
                              : "cannot create: " + std::string(std::strerror(errno));
        } else {
            step = "reading, converting or writing the data";
            if (CopyData(*in, *out, inName, failure)) {
                // Only a completed file counts: Close drains the codecs and patches the sizes.
                step = "completing the output";
                if (!out->Close())
                    failure = "completing the output failed (a conversion or the file)";
            }
        }
        step = "closing " + inName;
        if (failure.empty() && !in->Close()) failure = "closing " + inName + " failed";
    } catch (const std::exception& error) {
        if (failure.empty())
            failure = step + " failed" + (*error.what() ? std::string(": ") + error.what() : "");
    }
    // A chain that failed half-way may have created the file all the same.
    created = created || TouchedByUs(before, Stat(outName));
    if (failure.empty()) return kExitSuccess;

    ReportError(outName, failure);
    std::error_code ignored;
    // Only a regular file is ours to remove, never a device or pipe named as the output.
    if (created && S_ISREG(Stat(outName).st.st_mode)) std::filesystem::remove(outName, ignored);
    return kExitFailure;
}
