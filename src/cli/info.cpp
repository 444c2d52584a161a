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

// A value on one line: line breaks (a comment may hold them) become \n, \r.
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// The chunk's ID without trailing blanks, LIST with its form type (LIST-INFO).
std::string ChunkName(const TWaveChunk& chunk) {
    std::string name;
    for (int i = 0; i < 4; ++i) name += static_cast<char>((chunk.Id >> (8 * i)) & 0xFF);
    if (chunk.Id == FOURCC_LIST)
        name.append("-").append(chunk.Body.begin(), chunk.Body.begin() + 4);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// NAME=VALUE lines: the INFO fields, the bext fields, cue points and labels, and a
// chunk.NAME=SIZE line per metadata chunk.
void PrintTags(const TWaveMetadata& metadata) {
    auto print = [](const std::string& name, const std::string& value) {
        std::printf("%s=%s\n", name.c_str(), OneLine(value).c_str());
    };
    for (const auto& [name, value] : metadata.InfoFields()) print(name, value);
    for (const auto& [name, value] : metadata.BextFields()) print("bext." + name, value);
    for (const auto& [name, value] : metadata.CueFields()) print(name, value);
    for (const TWaveChunk& chunk : metadata.Chunks)
        print("chunk." + ChunkName(chunk), std::to_string(chunk.Body.size()));
}

// Prints the line of one file (and its tags); false (after an error line) when it is not a
// readable WAVE file.
bool InfoOne(const std::string& file, bool tags) {
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
        if (tags && stream->GetFormat()->Metadata()) PrintTags(*stream->GetFormat()->Metadata());
        return true;
    } catch (const std::exception&) {
        ReportError(file, "read error");
        return false;
    }
}

}  // namespace

int RunInfo(std::span<const std::string> args) {
    static const option longOptions[] = {{"tags", no_argument, nullptr, 't'}, {}};
    static const TOptions options{
        "usage: sonbar-cli info [--tags] FILE...\n",
        "\nPrints one line per WAVE file: its format, sample count and data size.\nWith --tags "
        "each line is followed by the file's tags and metadata chunks, one\nNAME=VALUE line "
        "each: the INFO fields (INAM=...), the bext fields\n(bext.Description=...), cue points "
        "and labels (cue.ID=..., labl.ID=...)\nand chunk.NAME=SIZE per chunk.\n",
        "", longOptions};
    std::vector<std::string> files;
    bool tags = false;
    if (auto done = ParseOptions(
            args, options,
            [&](int, const char*) {
                tags = true;
                return std::string();
            },
            files))
        return *done;
    if (files.empty()) return UsageError("info", "info takes FILE...", options.usage);
    bool ok = true;
    for (const std::string& file : files) ok = InfoOne(file, tags) && ok;
    std::fflush(stdout);
    return ok ? kExitSuccess : kExitFailure;
}
