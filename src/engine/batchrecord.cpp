// SPDX-License-Identifier: GPL-3.0-or-later
#include "batchrecord.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "UKoACMFormat.h"
#include "UKoWaveStreamFactory.h"
#include "recoding.h"

namespace {

// The codec's tag name and description of Format; empty where no codec knows them.
void Names(const TKoWaveFormat& Format, std::string& Tag, std::string& Description) {
    try {
        Tag = TKoACMFormatTagDetails::FromTag(Format.FormatTag())->Name;
        if (Format.IsComplete()) Description = TKoACMFormatDetails::FromFormat(Format)->Name;
    } catch (const std::exception&) {
    }
}

// Length of the UTF-8 sequence at Text[i], or 0 when it is none (stray, overlong, surrogate
// or beyond U+10FFFF).
std::size_t Utf8Length(const std::string& Text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(Text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07u;
    else
        return 0;
    if (i + length > Text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    const uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0x80;
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void AppendNumber(std::string& Line, const char* Key, double Value) {
    char buffer[64];
    const auto end =
        std::to_chars(buffer, buffer + sizeof buffer, Value, std::chars_format::fixed, 3).ptr;
    Line += std::string(",\"") + Key + "\":" + std::string(buffer, end);
}

void AppendNumber(std::string& Line, const char* Key, int64_t Value) {
    Line += std::string(",\"") + Key + "\":" + std::to_string(Value);
}

void AppendText(std::string& Line, const char* Key, const std::string& Value) {
    Line += std::string(",\"") + Key + "\":" + JsonString(Value);
}

std::string LocalTime(std::time_t Time) {
    std::tm local{};
    ::localtime_r(&Time, &local);
    char buffer[40];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string text(buffer, n);
    if (text.size() >= 5) text.insert(text.end() - 2, ':');  // +0100 -> +01:00 (RFC 3339)
    return text;
}

}  // namespace

TFileOutcome MakeOutcome(TFileOutcome::TKind Kind, const std::string& Source,
                         const std::string& Target, const TKoWaveFormat* TargetFormat) {
    TFileOutcome outcome;
    outcome.Kind = Kind;
    outcome.Source = Source;
    outcome.Target = Target;
    try {
        if (auto format = HKoWaveStreamFactory::ReadFileFormat(Source))
            Names(format->Format(), outcome.SourceTag, outcome.SourceFormat);
    } catch (const std::exception&) {
        // an unreadable source has no format to name
    }
    if (TargetFormat) Names(*TargetFormat, outcome.TargetTag, outcome.TargetFormat);
    return outcome;
}

void AddJobFacts(TFileOutcome& Outcome, const TRecodingThread& Job, int32_t ElapsedMs) {
    Outcome.BytesIn = Job.SourceSize();
    Outcome.BytesOut = Job.Succeeded() ? Job.TargetSize() : 0;
    Outcome.AudioSeconds = Job.AudioSeconds();
    Outcome.Seconds = ElapsedMs / 1000.0;
    if (Job.Succeeded()) return;
    Outcome.Message = Job.ErrorText();
    if (Job.ErrorNumber() != 0) Outcome.Reason = std::strerror(Job.ErrorNumber());
}

const char* OutcomeName(TFileOutcome::TKind Kind) {
    switch (Kind) {
        case TFileOutcome::TKind::Recoded:
            return "recoded";
        case TFileOutcome::TKind::Skipped:
            return "skipped";
        case TFileOutcome::TKind::Failed:
            return "failed";
        case TFileOutcome::TKind::PassedOver:
            return "passed-over";
    }
    return "";
}

std::string JsonString(const std::string& Text) {
    static const char* const hex = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < Text.size();) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c >= 0x80) {
            if (const std::size_t n = Utf8Length(Text, i)) {
                out.append(Text, i, n);
                i += n;
            } else {
                out += "\\udc";
                out += hex[c >> 4];
                out += hex[c & 15];
                ++i;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string RecordLine(const TFileOutcome& Outcome, std::time_t Time) {
    std::string line = "{\"time\":" + JsonString(LocalTime(Time));
    AppendText(line, "outcome", OutcomeName(Outcome.Kind));
    AppendText(line, "source", Outcome.Source);
    AppendText(line, "target", Outcome.Target);
    AppendText(line, "source_tag", Outcome.SourceTag);
    AppendText(line, "source_format", Outcome.SourceFormat);
    AppendText(line, "target_tag", Outcome.TargetTag);
    AppendText(line, "target_format", Outcome.TargetFormat);
    AppendNumber(line, "bytes_in", Outcome.BytesIn);
    AppendNumber(line, "bytes_out", Outcome.BytesOut);
    AppendNumber(line, "audio_seconds", Outcome.AudioSeconds);
    AppendNumber(line, "seconds", Outcome.Seconds);
    AppendText(line, "message", Outcome.Message);
    AppendText(line, "reason", Outcome.Reason);
    return line + "}\n";
}

TBatchRecord::~TBatchRecord() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

std::string TBatchRecord::Open(const std::string& File) {
    const int fd = ::open(File.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return "The log file cannot be opened: " + File + ": " + std::strerror(errno);
    if (owned_ && fd_ >= 0) ::close(fd_);
    fd_ = fd;
    owned_ = true;
    return {};
}

bool TBatchRecord::Write(const TFileOutcome& Outcome) {
    if (fd_ < 0) return false;
    const std::string line = RecordLine(Outcome, std::time(nullptr));
    // One write of the whole line: with O_APPEND the kernel places it at the end as a unit.
    for (;;) {
        const ssize_t written = ::write(fd_, line.data(), line.size());
        if (written < 0 && errno == EINTR) continue;
        return written == static_cast<ssize_t>(line.size());
    }
}
