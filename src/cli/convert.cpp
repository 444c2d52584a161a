// SPDX-License-Identifier: GPL-3.0-or-later
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
#include "fileops.h"
#include "format_lookup.h"
#include "open_error.h"
#include "recoding.h"

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
    if (!CheckInputAndOutput(inName, outName)) return kExitFailure;
    auto source = HKoWaveStreamFactory::ReadFileFormat(inName);
    if (!source) {
        ReportError(inName, "not a WAVE file that can be read");
        return kExitFailure;
    }
    // A template becomes the nearest complete format of its tag, the fields not given
    // following the source, before the codecs are asked for a path.
    if (!wanted->IsComplete())
        if (auto nearest = NearestFormat(*wanted, source->Format())) wanted = std::move(nearest);

    TRecodingThread job(inName, outName, kBlockBytes, wanted.get(), !o.speed);
    job.ReplaceTarget = true;
    job.RequireChannels = false;
    job.Threaded = o.threaded;  // both chains, with the default three seconds each
    job.UsePartFile = OutputTakesPartFile(outName);
    job.Execute();
    if (job.Succeeded()) return kExitSuccess;

    std::string failure;
    const int error = job.ErrorNumber();
    switch (job.FailedStep()) {
        case TRecodeStep::OpenSource:
            ReportError(inName, "not a WAVE file that can be read");
            return kExitFailure;
        case TRecodeStep::OpenTarget:
            if (auto path = HKoACMFormat::ConversionPath(source->Format(), *wanted); !path)
                failure = "no conversion path from " + Describe(source->Format()) + " to " +
                          Describe(*wanted);
            else
                failure = RefusedStage(source->Format(), *path, !o.speed);
            if (failure.empty())
                failure = error ? "cannot create: " + std::string(std::strerror(error))
                                : "the conversion chain could not be built";
            break;
        case TRecodeStep::Read:
            failure = "reading " + inName + " failed";
            break;
        case TRecodeStep::Write:
            failure = "writing failed (a conversion or the file)";
            break;
        case TRecodeStep::Complete:
            failure = "completing the output failed (a conversion or the file)";
            break;
        default:
            failure = job.ErrorText() + " (failed)";
            break;
    }
    if (error && job.FailedStep() != TRecodeStep::OpenTarget)
        failure += std::string(": ") + std::strerror(error);
    ReportError(outName, failure);
    return kExitFailure;
}
