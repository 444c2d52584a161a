// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli convert: recodes a WAVE file into another format through the read and write
// chains of the stream factory, the way the recoder does.
#include <sched.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "UKoACMFormat.h"
#include "UKoACMStream.h"
#include "UKoWaveStreamFactory.h"
#include "commands.h"
#include "fileops.h"
#include "format_lookup.h"
#include "open_error.h"
#include "recoding.h"
#include "stdio_files.h"

namespace {

constexpr int32_t kBlockBytes = 32 * 1024;

struct Options {
    bool speed = false;
    bool threaded = false;
    std::optional<uint32_t> threads;
    std::string tag;
    std::optional<std::string> attributes;
    std::optional<uint32_t> channels, rate, bits;
    std::vector<std::string> files;
};

constexpr const char* kUsage =
    "usage: sonbar-cli convert [--speed] [--threaded] [--threads N] --tag TAG\n"
    "                          [--attributes TEXT] [--channels N] [--rate R] [--bits B] IN OUT\n";

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
    "                     three seconds of audio buffered on each side\n"
    "  --threads N        encode stretches of the file on N threads at once where the\n"
    "                     conversion allows it (IMA and MS ADPCM at the source's rate:\n"
    "                     the file is the same as with one; MP3 at the source's rate:\n"
    "                     the same length, joins that cannot be heard). Default: the\n"
    "                     processors nothing else is running on\n\n"
    "IN or OUT may be - for stdin or stdout. Without --attributes and --rate, a rate the\n"
    "codec prefers (GSM 6.10's 8,000 Hz) is taken rather than the source's.\n\n"
    "On failure OUT is removed and the exit status is 1 (2 for a usage error).\n";

enum LongOnly : int {
    kTag = 256,
    kAttributes,
    kChannels,
    kRate,
    kBits,
    kSpeed,
    kThreaded,
    kThreads
};

constexpr option kLongOptions[] = {
    {"tag", required_argument, nullptr, kTag},
    {"attributes", required_argument, nullptr, kAttributes},
    {"channels", required_argument, nullptr, kChannels},
    {"rate", required_argument, nullptr, kRate},
    {"bits", required_argument, nullptr, kBits},
    {"speed", no_argument, nullptr, kSpeed},
    {"threaded", no_argument, nullptr, kThreaded},
    {"threads", required_argument, nullptr, kThreads},
    {},
};

// One option into o; empty, or the usage error's message.
std::string TakeOption(Options& o, int Code, const char* Value) {
    const std::string v = Value ? Value : "";
    switch (Code) {
        case kSpeed:
            o.speed = true;
            return {};
        case kThreaded:
            o.threaded = true;
            return {};
        case kTag:
            o.tag = v;
            return {};
        case kAttributes:
            o.attributes = v;
            return {};
        case kThreads:
            o.threads = ParseNumber(v, 256);
            if (!o.threads) return "--threads takes a number from 1 to 256, not '" + v + "'";
            return {};
        default:
            break;
    }
    const uint32_t max = Code == kRate ? 384000 : Code == kChannels ? 2 : 32;
    const char* name = Code == kRate ? "--rate" : Code == kChannels ? "--channels" : "--bits";
    auto n = ParseNumber(v, max);
    if (!n)
        return std::string(name) + " takes a number from 1 to " + std::to_string(max) + ", not '" +
               v + "'";
    (Code == kChannels ? o.channels : Code == kRate ? o.rate : o.bits) = n;
    return {};
}

// Empty when the options make sense together, else the usage error's message.
std::string CheckOptions(const Options& o) {
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

// The processors this process may run on that nothing else is running on now: the kernel's
// count of runnable threads (the fourth field of /proc/loadavg, this one included) taken
// from those it may use. At least one.
uint32_t FreeProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    uint32_t usable = std::max(1u, std::thread::hardware_concurrency());
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        usable = static_cast<uint32_t>(CPU_COUNT(&set));
    uint32_t running = 1;
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a, b, c;
        unsigned r = 0, total = 0;
        if (std::fscanf(f, "%lf %lf %lf %u/%u", &a, &b, &c, &r, &total) == 5 && r > 0) running = r;
        std::fclose(f);
    }
    return usable > running - 1 ? usable - (running - 1) : 1;
}

}  // namespace

int RunConvert(std::span<const std::string> args) {
    static const TOptions options{kUsage, kHelp, "", kLongOptions};
    Options o;
    if (auto done = ParseOptions(
            args, options, [&](int Code, const char* Value) { return TakeOption(o, Code, Value); },
            o.files))
        return *done;
    if (std::string message = CheckOptions(o); !message.empty())
        return UsageError("convert", message, kUsage);
    const auto tag = FindTag(o.tag);
    if (!tag) return UsageError("convert", "unknown format tag '" + o.tag + "'", kUsage);

    std::unique_ptr<TKoWaveFormat> wanted;
    if (o.attributes) {
        wanted = FindAttributes(tag->dwFormatTag, *o.attributes);
        if (!wanted)
            return UsageError("convert",
                              "no " + std::string(tag->szFormatTag) + " format is described as '" +
                                  *o.attributes + "'; `sonbar-cli formats " + Quoted(o.tag) +
                                  "` lists them",
                              kUsage);
    } else {
        wanted = TKoWaveFormat::CreateDefault();
        wanted->SetFormatTag(static_cast<uint16_t>(tag->dwFormatTag));
        if (o.channels) wanted->SetChannels(static_cast<uint16_t>(*o.channels));
        if (o.rate) wanted->SetSamplesPerSec(*o.rate);
        if (o.bits) wanted->SetBitsPerSample(static_cast<uint16_t>(*o.bits));
    }

    std::string inName = o.files[0], outName = o.files[1];
    TStdioFiles stdio;
    if (!stdio.Prepare(inName, outName) || !CheckInputAndOutput(inName, outName))
        return kExitFailure;
    const std::string& in = stdio.InName(inName);
    const std::string& out = stdio.OutName(outName);
    auto source = HKoWaveStreamFactory::ReadFileFormat(inName);
    if (!source) {
        ReportError(in, "not a WAVE file that can be read");
        return kExitFailure;
    }
    // A template becomes the nearest complete format of its tag, the fields not given
    // following the source, before the codecs are asked for a path; a rate the codec
    // prefers (GSM's 8,000 Hz) wins over the source's.
    if (!wanted->IsComplete()) {
        if (!o.rate)
            if (auto rate = PreferredRate(tag->dwFormatTag)) wanted->SetSamplesPerSec(*rate);
        if (auto nearest = NearestFormat(*wanted, source->Format())) wanted = std::move(nearest);
    }

    TRecodingThread job(inName, outName, kBlockBytes, wanted.get(), !o.speed);
    job.ReplaceTarget = true;
    job.RequireChannels = false;
    job.Threaded = o.threaded;  // both chains, with the default three seconds each
    job.Threads = static_cast<int>(o.threads.value_or(FreeProcessors()));
    job.UsePartFile = OutputTakesPartFile(outName) && o.files[1] != "-";
    job.Execute();
    if (job.Succeeded()) return stdio.Finish() ? kExitSuccess : kExitFailure;

    std::string failure;
    const int error = job.ErrorNumber();
    switch (job.FailedStep()) {
        case TRecodeStep::OpenSource:
            ReportError(in, "not a WAVE file that can be read" +
                                (error ? std::string(": ") + std::strerror(error) : ""));
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
            failure = "reading " + in + " failed";
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
    ReportError(out, failure);
    return kExitFailure;
}
