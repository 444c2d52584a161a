// SPDX-License-Identifier: GPL-3.0-or-later
#include "barestream.h"

#include <sys/stat.h>
#include <taglib/id3v2tag.h>
#include <taglib/tpropertymap.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>

#include "UKoMMIO.h"

namespace {

// ---- GSM 6.10: the WAVE form packs two frames into 65 bytes, least significant bit first;
// the bare form is one frame per 33 bytes, most significant bit first, behind a 0xD nibble.

constexpr std::size_t kGsmBlock = 65;
constexpr std::size_t kGsmFrame = 33;

// Bit widths of the 76 parameters of a frame, in order: 8 LARs, then per subframe the LTP
// lag and gain, the grid position, the block maximum and 13 pulses.
const std::array<uint8_t, 76>& GsmWidths() {
    static const std::array<uint8_t, 76> widths = [] {
        std::array<uint8_t, 76> w{};
        const uint8_t lars[8] = {6, 6, 5, 5, 4, 4, 3, 3};
        std::copy(std::begin(lars), std::end(lars), w.begin());
        for (std::size_t s = 0; s < 4; ++s) {
            const std::size_t at = 8 + s * 17;
            w[at] = 7;
            w[at + 1] = 2;
            w[at + 2] = 2;
            w[at + 3] = 6;
            for (std::size_t k = 0; k < 13; ++k) w[at + 4 + k] = 3;
        }
        return w;
    }();
    return widths;
}

// The two standard frames of one WAVE-form block.
void RepackGsm(const uint8_t* Block, uint8_t* Frames) {
    std::size_t in = 0;
    auto read = [&](unsigned Width) {
        uint32_t value = 0;
        for (unsigned i = 0; i < Width; ++i, ++in)
            value |= ((uint32_t{Block[in / 8]} >> (in % 8)) & 1u) << i;
        return value;
    };
    std::fill(Frames, Frames + 2 * kGsmFrame, uint8_t{0});
    for (std::size_t f = 0; f < 2; ++f) {
        uint8_t* out = Frames + f * kGsmFrame;
        std::size_t bit = 0;
        auto write = [&](uint32_t Value, unsigned Width) {
            for (unsigned i = Width; i-- > 0; ++bit)
                if ((Value >> i) & 1u)
                    out[bit / 8] = static_cast<uint8_t>(out[bit / 8] | 0x80u >> (bit % 8));
        };
        write(0xD, 4);
        for (uint8_t width : GsmWidths()) write(read(width), width);
    }
}

// ---- MPEG Layer-3 frames

struct Mp3Header {
    bool mpeg1 = false;
    uint32_t rate = 0;
    uint32_t kbps = 0;
    bool padding = false;
    bool mono = false;
    std::size_t Length() const {
        return (mpeg1 ? 144u : 72u) * kbps * 1000u / rate + (padding ? 1u : 0u);
    }
    std::size_t SideInfo() const { return mpeg1 ? (mono ? 17u : 32u) : (mono ? 9u : 17u); }
};

constexpr uint32_t kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                     112, 128, 160, 192, 224, 256, 320, 0};
constexpr uint32_t kMpeg2Kbps[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                     64, 80, 96, 112, 128, 144, 160, 0};
constexpr uint32_t kMpeg1Rates[3] = {44100, 48000, 32000};

// A Layer-3 frame header, or false.
bool ParseMp3Header(const uint8_t* H, Mp3Header& Out) {
    if (H[0] != 0xFF || (H[1] & 0xE0) != 0xE0 || (H[1] & 0x06) != 0x02) return false;
    const unsigned version = (H[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const unsigned bitrate = H[2] >> 4, rate = (H[2] >> 2) & 3;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rate == 3) return false;
    Out.mpeg1 = version == 3;
    Out.rate = kMpeg1Rates[rate] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    Out.kbps = (Out.mpeg1 ? kMpeg1Kbps : kMpeg2Kbps)[bitrate];
    Out.padding = (H[2] & 0x02) != 0;
    Out.mono = (H[3] >> 6) == 3;
    return true;
}

// The CRC-16 of the LAME tag (polynomial 0x8005, bits reflected, initial 0).
uint16_t Crc16(uint16_t Crc, const uint8_t* Data, std::size_t Size) {
    for (std::size_t i = 0; i < Size; ++i) {
        Crc = static_cast<uint16_t>(Crc ^ Data[i]);
        for (int b = 0; b < 8; ++b)
            Crc = static_cast<uint16_t>(Crc & 1 ? (Crc >> 1) ^ 0xA001 : Crc >> 1);
    }
    return Crc;
}

void PutBe(uint8_t* P, uint64_t Value, int Bytes) {
    for (int i = 0; i < Bytes; ++i) P[i] = static_cast<uint8_t>(Value >> (8 * (Bytes - 1 - i)));
}

// LAME's encoder delay (ENCDELAY); decoders add their own 529 samples.
constexpr uint32_t kEncoderDelay = 576;

// The Info/LAME tag needs this much of a frame behind the header and side information.
constexpr std::size_t kInfoTagBytes = 156;

// The header of the Info frame: the stream's version, rate and mode at the stream's bit
// rate, or the lowest above it whose frame holds the tag.
bool InfoHeader(const TKoWaveFormat& Format, uint8_t* H, Mp3Header& Out) {
    const uint32_t rate = Format.SamplesPerSec();
    unsigned version = 0, rateIndex = 3;
    for (unsigned v : {3u, 2u, 0u})
        for (unsigned r = 0; r < 3; ++r)
            if ((kMpeg1Rates[r] >> (v == 3 ? 0 : v == 2 ? 1 : 2)) == rate)
                version = v, rateIndex = r;
    if (rateIndex == 3) return false;
    const uint32_t* table = version == 3 ? kMpeg1Kbps : kMpeg2Kbps;
    const uint32_t kbps = (Format.AvgBytesPerSec() * 8 + 500) / 1000;
    const bool mono = Format.Channels() == 1;
    for (unsigned index = 1; index < 15; ++index) {
        if (table[index] < kbps) continue;
        H[0] = 0xFF;
        H[1] = static_cast<uint8_t>(0xE0 | version << 3 | 0x02 | 0x01);  // Layer III, no CRC
        H[2] = static_cast<uint8_t>(index << 4 | rateIndex << 2);
        H[3] = mono ? 0xC4 : 0x44;  // mono or joint stereo; original
        ParseMp3Header(H, Out);
        if (Out.Length() >= 4 + Out.SideInfo() + kInfoTagBytes) return true;
    }
    return false;
}

// The ID3v2.4 tag for the source's INFO fields; empty when it has none.
std::vector<uint8_t> Id3Tag(const TWaveMetadata* Metadata) {
    if (!Metadata) return {};
    // Where ID3 has no frame of its own the text goes into a TXXX frame named after the key.
    static const std::pair<const char*, const char*> kKeys[] = {
        {"INAM", "TITLE"},       {"IART", "ARTIST"},      {"IPRD", "ALBUM"},
        {"ICMT", "COMMENT"},     {"ICRD", "DATE"},        {"IGNR", "GENRE"},
        {"ITRK", "TRACKNUMBER"}, {"IPRT", "TRACKNUMBER"}, {"ICOP", "COPYRIGHT"},
        {"ISFT", "ENCODING"},    {"IENG", "ENGINEER"},    {"ISRC", "SOURCE"},
        {"IKEY", "KEYWORDS"},    {"ISBJ", "SUBTITLE"},
    };
    TagLib::PropertyMap properties;
    for (const auto& [id, text] : Metadata->InfoFields()) {
        if (text.empty()) continue;
        for (const auto& [info, key] : kKeys)
            if (id == info && !properties.contains(key))
                properties.insert(key,
                                  TagLib::StringList(TagLib::String(text, TagLib::String::UTF8)));
    }
    if (properties.isEmpty()) return {};
    TagLib::ID3v2::Tag tag;
    tag.setProperties(properties);
    const TagLib::ByteVector data = tag.render();
    return std::vector<uint8_t>(data.begin(), data.end());
}

}  // namespace

bool HasBareForm(const TKoWaveFormat& Format) {
    if (!Format.HasFormatTag()) return false;
    switch (Format.FormatTag()) {
        case WAVE_FORMAT_ALAW:
        case WAVE_FORMAT_MULAW:
        case WAVE_FORMAT_GSM610:
        case WAVE_FORMAT_MPEGLAYER3:
            return true;
        default:
            return false;
    }
}

TKoBareStream::TKoBareStream(TKoStream& Target, const TKoWaveStreamFormat& Format)
    : target_(Target),
      format_(KoClone(Format)),
      tag_(static_cast<uint16_t>(Format.Format().FormatTag())) {}

TKoBareStream::~TKoBareStream() {
    if (!closed_) {
        try {
            Close();
        } catch (...) {
            // Nobody is left to tell; writers that care have called Close themselves.
        }
    }
}

std::unique_ptr<TKoBareStream> TKoBareStream::Create(TKoStream& Target,
                                                     const TKoWaveStreamFormat& Format) {
    if (!HasBareForm(Format.Format())) return nullptr;
    auto stream = std::make_unique<TKoBareStream>(Target, Format);
    return stream->Start() ? std::move(stream) : nullptr;
}

std::unique_ptr<TKoBareStream> TKoBareStream::CreateFile(const std::string& FileName,
                                                         const TKoWaveStreamFormat& Format) {
    auto file = TKoMMIOStream::OpenFile(FileName, momCreate);
    if (!file || !HasBareForm(Format.Format())) return nullptr;
    auto stream = std::make_unique<TKoBareStream>(*file, Format);
    stream->owned_ = std::move(file);
    return stream->Start() ? std::move(stream) : nullptr;
}

bool TKoBareStream::Put(const uint8_t* Data, int32_t Size) {
    if (failed_ || (Size > 0 && target_.Write(MakeArea(Data, Size)) != Size)) failed_ = true;
    return !failed_;
}

bool TKoBareStream::Start() {
    if (tag_ != WAVE_FORMAT_MPEGLAYER3) return true;
    const std::vector<uint8_t> tag = Id3Tag(format_->Metadata().get());
    if (!Put(tag.data(), static_cast<int32_t>(tag.size()))) return false;
    // Room for the Info frame, written by Close once the frames are counted.
    uint8_t header[4];
    Mp3Header info;
    if (!InfoHeader(format_->Format(), header, info)) return true;  // a rate no frame has
    infoAt_ = static_cast<int64_t>(tag.size());
    infoSize_ = info.Length();
    const std::vector<uint8_t> room(infoSize_, 0);
    return Put(room.data(), static_cast<int32_t>(room.size()));
}

void TKoBareStream::CountMp3(const uint8_t* Data, std::size_t Size) {
    musicCrc_ = Crc16(musicCrc_, Data, Size);
    std::size_t at = 0;
    while (at < Size) {
        if (skip_ > 0) {
            const auto n = static_cast<std::size_t>(std::min<int64_t>(skip_, int64_t(Size - at)));
            skip_ -= static_cast<int64_t>(n);
            at += n;
            continue;
        }
        header_.push_back(Data[at++]);
        if (header_.size() < 4) continue;
        Mp3Header h;
        if (ParseMp3Header(header_.data(), h)) {
            ++frames_;
            skip_ = static_cast<int64_t>(h.Length()) - 4;
        } else {
            skip_ = -1;  // not a frame: the count is no longer to be trusted
            return;
        }
        header_.clear();
    }
}

int32_t TKoBareStream::Write(const TKoArea& Area) {
    if (closed_ || failed_ || Area.Size < 0) return -1;
    const auto* data = reinterpret_cast<const uint8_t*>(Area.Start);
    const auto size = static_cast<std::size_t>(Area.Size);
    if (tag_ == WAVE_FORMAT_GSM610) {
        pending_.insert(pending_.end(), data, data + size);
        std::size_t used = 0;
        uint8_t frames[2 * kGsmFrame];
        for (; pending_.size() - used >= kGsmBlock; used += kGsmBlock) {
            RepackGsm(pending_.data() + used, frames);
            if (!Put(frames, sizeof frames)) return -1;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    } else {
        if (tag_ == WAVE_FORMAT_MPEGLAYER3 && skip_ >= 0) CountMp3(data, size);
        if (!Put(data, Area.Size)) return -1;
    }
    frameBytes_ += Area.Size;
    position_ += Area.Size;
    return Area.Size;
}

std::vector<uint8_t> TKoBareStream::InfoFrame() const {
    std::vector<uint8_t> frame(infoSize_, 0);
    Mp3Header h;
    if (!InfoHeader(format_->Format(), frame.data(), h) || skip_ < 0) return {};
    uint8_t* tag = frame.data() + 4 + h.SideInfo();
    std::copy_n("Info", 4, tag);
    PutBe(tag + 4, 0x0F, 4);  // frames, bytes, table of contents, quality
    PutBe(tag + 8, frames_, 4);
    const auto bytes = static_cast<uint64_t>(frameBytes_) + infoSize_;
    PutBe(tag + 12, bytes, 4);
    for (int i = 0; i < 100; ++i) tag[16 + i] = static_cast<uint8_t>(i * 256 / 100);  // CBR
    PutBe(tag + 116, 50, 4);
    uint8_t* lame = tag + 120;
    std::copy_n("LAME3.100", 9, lame);
    lame[9] = 0x01;  // CBR
    const uint32_t kbps = (format_->Format().AvgBytesPerSec() * 8 + 500) / 1000;
    lame[20] = static_cast<uint8_t>(std::min<uint32_t>(kbps, 255));
    // Delay and padding: what a decoder drops at either end to give back the source's count.
    const uint64_t frameSamples = h.mpeg1 ? 1152 : 576;
    const uint64_t total = uint64_t{frames_} * frameSamples;
    const uint64_t samples = format_->Fact().SampleCount;
    const uint64_t padding = total > samples + kEncoderDelay
                                 ? std::min<uint64_t>(total - samples - kEncoderDelay, 0xFFF)
                                 : 0;
    PutBe(lame + 21, uint64_t{kEncoderDelay} << 12 | padding, 3);
    PutBe(lame + 28, bytes, 4);
    PutBe(lame + 32, musicCrc_, 2);
    const auto crcAt = static_cast<std::size_t>(lame + 34 - frame.data());
    PutBe(lame + 34, Crc16(0, frame.data(), crcAt), 2);
    return frame;
}

bool TKoBareStream::Close() {
    if (closed_) return !failed_;
    closed_ = true;
    // A GSM block cut short is no frame; the codec hands over whole blocks only.
    if (infoSize_ > 0 && !failed_) {
        std::vector<uint8_t> frame = InfoFrame();
        if (frame.empty()) {
            // Frames that could not be counted: a silent frame keeps the stream well formed.
            frame.assign(infoSize_, 0);
            Mp3Header h;
            InfoHeader(format_->Format(), frame.data(), h);
        }
        if (!target_.Seek(SeekFromBeginning(infoAt_)) ||
            !Put(frame.data(), static_cast<int32_t>(frame.size())))
            failed_ = true;
    }
    if (owned_ && !owned_->Close()) failed_ = true;
    return !failed_;
}

int64_t TKoBareStream::ExpectedSize(const TKoWaveFormat& Format, int64_t DataBytes) {
    if (!HasBareForm(Format)) return -1;
    switch (Format.FormatTag()) {
        case WAVE_FORMAT_GSM610:
            return DataBytes / static_cast<int64_t>(kGsmBlock) * 2 *
                   static_cast<int64_t>(kGsmFrame);
        case WAVE_FORMAT_MPEGLAYER3:
            return -1;
        default:
            return DataBytes;
    }
}

bool TKoBareStream::Verify(const std::string& Path, const TKoWaveFormat& Format,
                           int64_t DataBytes) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (Format.FormatTag() != WAVE_FORMAT_MPEGLAYER3)
        return ExpectedSize(Format, DataBytes) == st.st_size;
    // MP3: a tag, then frames of the format's rate that end exactly where the file ends.
    std::ifstream in(Path, std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    std::size_t at = 0;
    if (file.size() >= 10 && std::equal(file.begin(), file.begin() + 3, "ID3"))
        at = 10 + (std::size_t{file[6] & 0x7Fu} << 21 | std::size_t{file[7] & 0x7Fu} << 14 |
                   std::size_t{file[8] & 0x7Fu} << 7 | std::size_t{file[9] & 0x7Fu});
    std::size_t frames = 0;
    while (at + 4 <= file.size()) {
        Mp3Header h;
        if (!ParseMp3Header(&file[at], h) || h.rate != Format.SamplesPerSec()) return false;
        at += h.Length();
        ++frames;
    }
    return at == file.size() && frames > 0 && static_cast<int64_t>(file.size()) == st.st_size;
}
