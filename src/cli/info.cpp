// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli info FILE...: the format of each WAVE file, one line per file.
#include <cstdio>
#include <string>

#include "UKoACMFormat.h"
#include "UKoWaveStream.h"
#include "commands.h"
#include "open_error.h"

namespace {

// The codec's name for the tag and its description of the format; each is empty when no
// driver knows it (a tag may be known while the particular format is not).
std::string CodecTexts(const TKoWaveFormat& format) {
    const auto tag = TKoACMFormatTagDetails::FromTag(format.FormatTag());
    const auto details = TKoACMFormatDetails::FromFormat(format);
    return " tagname=\"" + tag->Name + "\" description=\"" + details->Name + "\"";
}

// The one place that decides what an info line says.
std::string FormatInfoLine(const std::string& file, const TKoWaveStreamFormat& format,
                           uint32_t dataSize) {
    const TKoWaveFormat& f = format.Format();
    return file + "\ttag=" + std::to_string(f.FormatTag()) +
           " channels=" + std::to_string(f.Channels()) +
           " rate=" + std::to_string(f.SamplesPerSec()) +
           " bits=" + std::to_string(f.BitsPerSample()) +
           " avgbytes=" + std::to_string(f.AvgBytesPerSec()) +
           " blockalign=" + std::to_string(f.BlockAlign()) +
           " extra=" + std::to_string(f.ExtraSize()) +
           " samples=" + std::to_string(format.Fact().SampleCount) +
           " data=" + std::to_string(dataSize) + CodecTexts(f);
}

// Prints the line of one file; false (after an error line) when it is not a readable WAVE file.
bool InfoOne(const std::string& file) {
    if (std::string reason = UnreadableReason(file); !reason.empty()) {
        ReportError(file, reason);
        return false;
    }
    try {
        auto stream = TKoMMIOWaveStream::OpenReadFile(file);
        if (!stream) {
            ReportError(file,
                        "not a WAVE file (no RIFF/WAVE form, or no readable 'fmt ' and "
                        "'data' chunks)");
            return false;
        }
        const std::string line =
            FormatInfoLine(file, *stream->GetFormat(), stream->DataChunk().cksize);
        std::printf("%s\n", line.c_str());
        return true;
    } catch (const std::exception&) {
        ReportError(file, "read error");
        return false;
    }
}

}  // namespace

int RunInfo(std::span<const std::string> args) {
    bool ok = true;
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(
            "usage: sonbar-cli info FILE...\n\nPrints one line per WAVE file: its format, "
            "sample count and data size.\n");
        return kExitSuccess;
    }
    for (const std::string& file : args) ok = InfoOne(file) && ok;
    std::fflush(stdout);
    return ok ? kExitSuccess : kExitFailure;
}
