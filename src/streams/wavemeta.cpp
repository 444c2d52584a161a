// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata chunks a target carries. Kept in one file (over 400 lines): which chunks are
// kept, their order around fmt and data, and the rescaling of frame counts belong together.
#include "wavemeta.h"

#include <algorithm>
#include <array>
#include <cmath>

#ifndef SONBAR_VERSION
#define SONBAR_VERSION "0"
#endif

namespace {

uint32_t Le16(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8;
}
uint32_t Le32(const uint8_t* p) {
    return Le16(p) | Le16(p + 2) << 16;
}
uint64_t Le64(const uint8_t* p) {
    return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32;
}
void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr FOURCC kInfo = MakeFourCC('I', 'N', 'F', 'O');
constexpr FOURCC kAdtl = MakeFourCC('a', 'd', 't', 'l');
constexpr FOURCC kBext = MakeFourCC('b', 'e', 'x', 't');
constexpr FOURCC kCue = MakeFourCC('c', 'u', 'e', ' ');
constexpr FOURCC kSmpl = MakeFourCC('s', 'm', 'p', 'l');
constexpr FOURCC kLtxt = MakeFourCC('l', 't', 'x', 't');

// bext layout (EBU Tech 3285).
constexpr std::size_t kBextTimeReference = 338;
constexpr std::size_t kBextVersion = 346;
constexpr std::size_t kBextCodingHistory = 602;

std::string FourCCText(FOURCC Id) {
    std::string text(4, ' ');
    for (std::size_t i = 0; i < 4; ++i) text[i] = static_cast<char>((Id >> (8 * i)) & 0xFF);
    return text;
}

// A frame count at the rate From, counted at the rate To, to the nearest frame; without
// overflow for any 64-bit count a real file holds (TimeReference counts since midnight).
uint64_t Rescale(uint64_t Value, uint32_t From, uint32_t To) {
    if (From == To || From == 0) return Value;
    return Value / From * To + (Value % From * To + From / 2) / From;
}
uint32_t Rescale32(uint32_t Value, uint32_t From, uint32_t To) {
    return static_cast<uint32_t>(std::min<uint64_t>(Rescale(Value, From, To), UINT32_MAX));
}
void Rescale32At(std::vector<uint8_t>& Body, std::size_t At, uint32_t From, uint32_t To) {
    PutLe32(Body.data() + At, Rescale32(Le32(Body.data() + At), From, To));
}

// Samples in one block of a block codec's data; 0 for formats whose cue points by
// convention give no block offset.
uint32_t SamplesPerBlock(const TKoWaveFormat& Format) {
    switch (Format.FormatTag()) {
        case WAVE_FORMAT_ADPCM:
        case WAVE_FORMAT_IMA_ADPCM:
        case WAVE_FORMAT_GSM610:
            return Format.ExtraSize() >= 2 ? Le16(Format.ExtraBytes()) : 0;
        default:
            return 0;
    }
}

void RescaleCue(std::vector<uint8_t>& Body, const TKoWaveFormat& From, const TKoWaveFormat& To) {
    if (Body.size() < 4) return;
    const uint32_t from = From.SamplesPerSec(), to = To.SamplesPerSec();
    const uint32_t perBlock = SamplesPerBlock(To);
    const std::size_t count = std::min<std::size_t>(Le32(Body.data()), (Body.size() - 4) / 24);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 4 + 24 * i;
        Rescale32At(Body, at + 4, from, to);   // Position
        Rescale32At(Body, at + 20, from, to);  // SampleOffset
        const uint32_t offset = Le32(Body.data() + at + 20);
        PutLe32(Body.data() + at + 16, perBlock ? offset / perBlock * To.BlockAlign() : 0);
    }
}

void RescaleSmpl(std::vector<uint8_t>& Body, uint32_t From, uint32_t To) {
    if (Body.size() < 36) return;
    PutLe32(Body.data() + 8, static_cast<uint32_t>(std::lround(1e9 / To)));
    const std::size_t loops =
        std::min<std::size_t>(Le32(Body.data() + 28), (Body.size() - 36) / 24);
    for (std::size_t i = 0; i < loops; ++i) {
        Rescale32At(Body, 36 + 24 * i + 8, From, To);   // Start
        Rescale32At(Body, 36 + 24 * i + 12, From, To);  // End
    }
}

// Calls Visit(id, offset of the sub-chunk's data, its size) for each sub-chunk of a LIST
// body, stopping at the first that does not fit.
template <class F>
void ForEachSubChunk(const std::vector<uint8_t>& Body, F&& Visit) {
    std::size_t at = 4;
    while (at + 8 <= Body.size()) {
        const uint32_t size = Le32(Body.data() + at + 4);
        if (size > Body.size() - at - 8) return;
        Visit(Le32(Body.data() + at), at + 8, std::size_t{size});
        at += 8 + std::size_t{size} + (size & 1);
    }
}

void RescaleAdtl(std::vector<uint8_t>& Body, uint32_t From, uint32_t To) {
    ForEachSubChunk(Body, [&](FOURCC id, std::size_t at, std::size_t size) {
        if (id == kLtxt && size >= 8) Rescale32At(Body, at + 4, From, To);  // sample length
    });
}

// The text of a fixed-size or zero-terminated field.
std::string FieldText(const uint8_t* Text, std::size_t Size) {
    const auto* end = std::find(Text, Text + Size, uint8_t{0});
    return TagTextToUtf8(Text, static_cast<std::size_t>(end - Text));
}

void AppendCodingHistory(std::vector<uint8_t>& Body, const TKoWaveFormat& To) {
    if (Body.size() < kBextCodingHistory) return;
    // The history is text; zero padding after it is not.
    while (Body.size() > kBextCodingHistory && Body.back() == 0) Body.pop_back();
    if (Body.size() > kBextCodingHistory && Body.back() != '\n') {
        Body.push_back('\r');
        Body.push_back('\n');
    }
    const std::string line = CodingHistoryLine(To);
    Body.insert(Body.end(), line.begin(), line.end());
}

void AppendUtf8(std::string& Out, uint32_t C) {
    if (C < 0x80) {
        Out += static_cast<char>(C);
    } else if (C < 0x800) {
        Out += static_cast<char>(0xC0 | (C >> 6));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else if (C < 0x10000) {
        Out += static_cast<char>(0xE0 | (C >> 12));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (C >> 18));
        Out += static_cast<char>(0x80 | ((C >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((C >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (C & 0x3F));
    }
}

bool IsUtf8(const uint8_t* Text, std::size_t Size) {
    for (std::size_t i = 0; i < Size;) {
        const uint8_t c = Text[i];
        const std::size_t n = c < 0x80         ? 1
                              : (c >> 5) == 6  ? 2
                              : (c >> 4) == 14 ? 3
                              : (c >> 3) == 30 ? 4
                                               : 0;
        if (n == 0 || i + n > Size) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((Text[i + k] & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// The text of an ID3v2 text frame (encoding byte first).
std::string Id3Text(const uint8_t* Data, std::size_t Size) {
    if (Size == 0) return {};
    const uint8_t encoding = Data[0];
    ++Data;
    --Size;
    if (encoding == 0 || encoding == 3) {
        const auto* end = std::find(Data, Data + Size, uint8_t{0});
        const auto n = static_cast<std::size_t>(end - Data);
        return encoding == 3 ? std::string(Data, Data + n) : TagTextToUtf8(Data, n);
    }
    // UTF-16, with a byte order mark (1) or big-endian (2).
    bool big = encoding == 2;
    std::size_t i = 0;
    if (encoding == 1 && Size >= 2) {
        big = Data[0] == 0xFE && Data[1] == 0xFF;
        i = 2;
    }
    std::string out;
    for (; i + 1 < Size; i += 2) {
        uint32_t unit = big ? uint32_t{Data[i]} << 8 | Data[i + 1] : Le16(Data + i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < Size) {
            const uint32_t low =
                big ? uint32_t{Data[i + 2]} << 8 | Data[i + 3] : Le16(Data + i + 2);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        AppendUtf8(out, unit);
    }
    return out;
}

uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint32_t SyncSafe(const uint8_t* p) {
    return uint32_t{p[0] & 0x7Fu} << 21 | uint32_t{p[1] & 0x7Fu} << 14 |
           uint32_t{p[2] & 0x7Fu} << 7 | uint32_t{p[3] & 0x7Fu};
}

// Title (TIT2) and artist (TPE1) of an ID3v2.2 to 2.4 tag, as INAM and IART.
std::vector<TWaveTag> Id3TitleArtist(const std::vector<uint8_t>& Tag) {
    std::vector<TWaveTag> found;
    if (Tag.size() < 10 || Tag[0] != 'I' || Tag[1] != 'D' || Tag[2] != '3') return found;
    const uint8_t version = Tag[3];
    if (version < 2 || version > 4 || (Tag[5] & 0x80)) return found;  // unsynchronised: skip
    const std::size_t end = std::min<std::size_t>(Tag.size(), 10 + std::size_t{SyncSafe(&Tag[6])});
    std::size_t at = 10;
    // An extended header: its size counts itself in 2.4, not in 2.3.
    if (version >= 3 && (Tag[5] & 0x40) && at + 4 <= end)
        at += version == 4 ? SyncSafe(&Tag[at]) : Be32(&Tag[at]) + 4;
    const std::size_t header = version == 2 ? 6 : 10;
    while (at + header <= end && Tag[at] != 0) {
        std::string id;
        std::size_t size = 0;
        if (version == 2) {
            id.assign(&Tag[at], &Tag[at] + 3);
            size = std::size_t{Tag[at + 3]} << 16 | std::size_t{Tag[at + 4]} << 8 | Tag[at + 5];
        } else {
            id.assign(&Tag[at], &Tag[at] + 4);
            size = version == 4 ? SyncSafe(&Tag[at + 4]) : Be32(&Tag[at + 4]);
        }
        if (size > end - at - header) break;
        const uint8_t* data = &Tag[at + header];
        if (id == "TIT2" || id == "TT2") found.emplace_back("INAM", Id3Text(data, size));
        if (id == "TPE1" || id == "TP1") found.emplace_back("IART", Id3Text(data, size));
        at += header + size;
    }
    return found;
}

}  // namespace

std::string TagTextToUtf8(const uint8_t* Text, std::size_t Size) {
    if (IsUtf8(Text, Size)) return std::string(Text, Text + Size);
    std::string out;
    for (std::size_t i = 0; i < Size; ++i) AppendUtf8(out, Text[i]);
    return out;
}

bool TWaveMetadata::IsCarried(FOURCC Id, const uint8_t* Body, std::size_t Size) {
    if (Id == FOURCC_LIST) {
        if (Size < 4) return false;
        const FOURCC type = Le32(Body);
        return type == kInfo || type == kAdtl;
    }
    static constexpr std::array kCarried = {
        kBext,
        MakeFourCC('i', 'X', 'M', 'L'),
        MakeFourCC('a', 'x', 'm', 'l'),
        kCue,
        kSmpl,
        MakeFourCC('i', 'n', 's', 't'),
        MakeFourCC('_', 'P', 'M', 'X'),
        MakeFourCC('i', 'd', '3', ' '),
        MakeFourCC('I', 'D', '3', ' '),
    };
    return std::find(kCarried.begin(), kCarried.end(), Id) != kCarried.end();
}

const TWaveChunk* TWaveMetadata::Find(FOURCC Id, FOURCC FormType) const {
    for (const TWaveChunk& chunk : Chunks)
        if (chunk.Id == Id &&
            (FormType == 0 || (chunk.Body.size() >= 4 && Le32(chunk.Body.data()) == FormType)))
            return &chunk;
    return nullptr;
}

TWaveMetadata TWaveMetadata::ForTarget(const TKoWaveFormat& From, const TKoWaveFormat& To) const {
    TWaveMetadata result = *this;
    const uint32_t from = From.SamplesPerSec(), to = To.SamplesPerSec();
    for (TWaveChunk& chunk : result.Chunks) {
        std::vector<uint8_t>& body = chunk.Body;
        if (chunk.Id == kCue) {
            RescaleCue(body, From, To);
        } else if (chunk.Id == kSmpl) {
            if (from != to) RescaleSmpl(body, from, to);
        } else if (chunk.Id == kBext) {
            if (body.size() >= kBextTimeReference + 8)
                PutLe64(body.data() + kBextTimeReference,
                        Rescale(Le64(body.data() + kBextTimeReference), from, to));
            // Audio passed through unchanged went through no coding step to record.
            if (!From.SameAs(To)) AppendCodingHistory(body, To);
        } else if (chunk.Id == FOURCC_LIST && body.size() >= 4 && Le32(body.data()) == kAdtl) {
            RescaleAdtl(body, from, to);
        }
    }
    return result;
}

std::vector<TWaveTag> TWaveMetadata::InfoFields() const {
    std::vector<TWaveTag> fields;
    for (const TWaveChunk& chunk : Chunks) {
        if (chunk.Id != FOURCC_LIST || chunk.Body.size() < 4 || Le32(chunk.Body.data()) != kInfo)
            continue;
        ForEachSubChunk(chunk.Body, [&](FOURCC id, std::size_t at, std::size_t size) {
            fields.emplace_back(FourCCText(id), FieldText(chunk.Body.data() + at, size));
        });
    }
    auto has = [&](const char* id) {
        return std::any_of(fields.begin(), fields.end(),
                           [&](const TWaveTag& t) { return t.first == id; });
    };
    for (FOURCC id : {MakeFourCC('i', 'd', '3', ' '), MakeFourCC('I', 'D', '3', ' ')}) {
        const TWaveChunk* tag = Find(id);
        if (!tag) continue;
        for (TWaveTag& t : Id3TitleArtist(tag->Body))
            if (!has(t.first.c_str())) fields.push_back(std::move(t));
    }
    return fields;
}

std::vector<TWaveTag> TWaveMetadata::BextFields() const {
    std::vector<TWaveTag> fields;
    const TWaveChunk* bext = Find(kBext);
    if (!bext || bext->Body.size() < kBextVersion + 2) return fields;
    const uint8_t* b = bext->Body.data();
    fields.emplace_back("Description", FieldText(b, 256));
    fields.emplace_back("Originator", FieldText(b + 256, 32));
    fields.emplace_back("OriginatorReference", FieldText(b + 288, 32));
    fields.emplace_back("OriginationDate", FieldText(b + 320, 10));
    fields.emplace_back("OriginationTime", FieldText(b + 330, 8));
    fields.emplace_back("TimeReference", std::to_string(Le64(b + kBextTimeReference)));
    fields.emplace_back("Version", std::to_string(Le16(b + kBextVersion)));
    if (bext->Body.size() <= kBextCodingHistory) return fields;
    const std::string history =
        FieldText(b + kBextCodingHistory, bext->Body.size() - kBextCodingHistory);
    std::size_t start = 0;
    while (start < history.size()) {
        std::size_t end = history.find('\n', start);
        if (end == std::string::npos) end = history.size();
        std::string line = history.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) fields.emplace_back("CodingHistory", line);
        start = end + 1;
    }
    return fields;
}

std::vector<TWaveTag> TWaveMetadata::CueFields() const {
    std::vector<TWaveTag> fields;
    if (const TWaveChunk* cue = Find(kCue); cue && cue->Body.size() >= 4) {
        const uint8_t* b = cue->Body.data();
        const std::size_t count = std::min<std::size_t>(Le32(b), (cue->Body.size() - 4) / 24);
        for (std::size_t i = 0; i < count; ++i)
            fields.emplace_back("cue." + std::to_string(Le32(b + 4 + 24 * i)),
                                std::to_string(Le32(b + 4 + 24 * i + 20)));
    }
    for (const TWaveChunk& chunk : Chunks) {
        if (chunk.Id != FOURCC_LIST || Le32(chunk.Body.data()) != kAdtl) continue;
        ForEachSubChunk(chunk.Body, [&](FOURCC id, std::size_t at, std::size_t size) {
            if (size < 4 ||
                (id != MakeFourCC('l', 'a', 'b', 'l') && id != MakeFourCC('n', 'o', 't', 'e')))
                return;
            fields.emplace_back(FourCCText(id) + "." + std::to_string(Le32(chunk.Body.data() + at)),
                                FieldText(chunk.Body.data() + at + 4, size - 4));
        });
    }
    return fields;
}

std::string CodingHistoryLine(const TKoWaveFormat& Format) {
    const uint32_t rate = Format.SamplesPerSec();
    std::string algorithm, detail;
    uint32_t bits = 0, kbps = 0;
    switch (Format.FormatTag()) {
        case WAVE_FORMAT_PCM:
        case WAVE_FORMAT_EXTENSIBLE:
            algorithm = "PCM";
            bits = Format.BitsPerSample();
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            algorithm = "PCM";
            bits = Format.BitsPerSample();
            detail = ";float";
            break;
        case WAVE_FORMAT_IMA_ADPCM:
            algorithm = "ADPCM";
            bits = 4;
            detail = ";IMA";
            break;
        case WAVE_FORMAT_ADPCM:
            algorithm = "ADPCM";
            bits = 4;
            detail = ";Microsoft";
            break;
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
            algorithm = "G.711";
            bits = 8;
            detail = Format.FormatTag() == WAVE_FORMAT_ALAW ? ";A-law" : ";u-law";
            break;
        case WAVE_FORMAT_GSM610:
            algorithm = "GSM";
            detail = ";GSM 6.10";
            break;
        case WAVE_FORMAT_MPEGLAYER3:
            algorithm = rate >= 32000 ? "MPEG1L3" : "MPEG2L3";
            kbps = (Format.AvgBytesPerSec() * 8 + 500) / 1000;
            break;
        default:
            algorithm = "UNKNOWN";
            break;
    }
    std::string line = "A=" + algorithm + ",F=" + std::to_string(rate);
    if (kbps) line += ",B=" + std::to_string(kbps);
    if (bits) line += ",W=" + std::to_string(bits);
    const uint32_t channels = Format.Channels();
    line += ",M=" + std::string(channels == 1 ? "mono" : channels == 2 ? "stereo" : "multi");
    return line + ",T=Sonbar " SONBAR_VERSION + detail + "\r\n";
}
