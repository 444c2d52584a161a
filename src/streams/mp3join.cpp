// SPDX-License-Identifier: GPL-3.0-or-later
#include "mp3join.h"

#include <algorithm>
#include <cstring>

namespace mp3join {
namespace {

constexpr uint32_t kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                     112, 128, 160, 192, 224, 256, 320, 0};
constexpr uint32_t kMpeg2Kbps[16] = {0,  8,  16, 24,  32,  40,  48,  56,
                                     64, 80, 96, 112, 128, 144, 160, 0};
constexpr uint32_t kMpeg1Rates[3] = {44100, 48000, 32000};

// A decoder holds this much of the stream for an MPEG-1 frame: its own bytes and the
// reservoir it draws on, so a long frame reaches back less far.
constexpr uint32_t kMpeg1Buffer = 1440;

class Bits {
  public:
    explicit Bits(const uint8_t* Data) : data_(Data) {}
    uint32_t Read(unsigned Width) {
        uint32_t value = 0;
        for (unsigned i = 0; i < Width; ++i, ++at_)
            value = value << 1 | ((uint32_t{data_[at_ / 8]} >> (7 - at_ % 8)) & 1u);
        return value;
    }
    void Skip(unsigned Width) { at_ += Width; }

  private:
    const uint8_t* data_;
    std::size_t at_ = 0;
};

// Fills the header's part of F: length, side, maxBegin, channels. False when H is not an
// unprotected Layer-3 header.
bool ParseHeader(const uint8_t* H, Frame& F) {
    if (H[0] != 0xFF || (H[1] & 0xE0) != 0xE0 || (H[1] & 0x06) != 0x02) return false;
    if ((H[1] & 0x01) == 0) return false;      // a CRC follows the header
    const unsigned version = (H[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const unsigned bitrate = H[2] >> 4, rateIndex = (H[2] >> 2) & 3;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rateIndex == 3) return false;
    const bool mpeg1 = version == 3;
    const uint32_t rate = kMpeg1Rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const uint32_t kbps = (mpeg1 ? kMpeg1Kbps : kMpeg2Kbps)[bitrate];
    const bool mono = (H[3] >> 6) == 3;
    F.channels = mono ? 1 : 2;
    F.mpeg1 = mpeg1;
    F.length = (mpeg1 ? 144u : 72u) * kbps * 1000u / rate + ((H[2] & 0x02) ? 1u : 0u);
    F.side = mpeg1 ? (mono ? 17u : 32u) : (mono ? 9u : 17u);
    if (F.length < 4 + F.side) return false;
    F.maxBegin =
        mpeg1
            ? std::min<uint32_t>(
                  511, kMpeg1Buffer > F.length ? static_cast<uint32_t>(kMpeg1Buffer - F.length) : 0)
            : 255;
    return true;
}

// Reads main_data_begin, the main data's size and the block types from the side
// information behind the header F was parsed from.
void ParseSide(Frame& F) {
    const bool mpeg1 = F.mpeg1;
    Bits bits(F.head.data() + 4);
    const unsigned granules = mpeg1 ? 2 : 1;
    F.mainBegin = bits.Read(mpeg1 ? 9 : 8);
    bits.Skip(mpeg1 ? (F.channels == 1 ? 5 : 3) + 4u * F.channels : (F.channels == 1 ? 1 : 2));
    uint32_t bitsOfMain = 0;
    for (unsigned gr = 0; gr < granules; ++gr) {
        for (unsigned ch = 0; ch < F.channels; ++ch) {
            bitsOfMain += bits.Read(12);         // part2_3_length
            bits.Skip(9 + 8 + (mpeg1 ? 4 : 9));  // big_values, global_gain, scalefac_compress
            uint8_t block = kNormal;
            if (bits.Read(1)) {  // window switching
                block = static_cast<uint8_t>(bits.Read(2));
                bits.Skip(20);
            } else {
                bits.Skip(22);
            }
            bits.Skip(mpeg1 ? 3 : 2);
            if (gr == 0) F.firstBlock[ch] = block;
            if (gr + 1 == granules) F.lastBlock[ch] = block;
        }
    }
    F.mainSize = (bitsOfMain + 7) / 8;
}

void WriteBegin(Frame& F, uint32_t Begin) {
    uint8_t* side = F.head.data() + 4;
    if (F.mpeg1) {  // nine bits
        side[0] = static_cast<uint8_t>(Begin >> 1);
        side[1] = static_cast<uint8_t>((side[1] & 0x7F) | (Begin & 1) << 7);
    } else {
        side[0] = static_cast<uint8_t>(Begin);
    }
}

bool LongEnding(uint8_t Block) {
    return Block == kNormal || Block == kStop;
}

}  // namespace

bool Frame::Bump() {
    const unsigned index = head[2] >> 4;
    if (index >= 14) return false;
    Frame bumped = *this;
    bumped.head[2] = static_cast<uint8_t>((index + 1) << 4 | (head[2] & 0x0F));
    if (!ParseHeader(bumped.head.data(), bumped)) return false;
    *this = bumped;
    return true;
}

bool Parse(const uint8_t* Data, std::size_t Size, Frames& Out) {
    Out.frames.clear();
    Out.payload.clear();
    for (std::size_t at = 0; at < Size;) {
        Frame f;
        if (Size - at < 4 || !ParseHeader(Data + at, f) || Size - at < f.length) return false;
        std::memcpy(f.head.data(), Data + at, 4 + f.side);
        ParseSide(f);
        const std::size_t payloadAt = Out.payload.size();
        if (f.mainBegin > payloadAt ||
            payloadAt - f.mainBegin + f.mainSize > payloadAt + f.Payload())
            return false;
        f.mainAt = payloadAt - f.mainBegin;
        Out.payload.insert(Out.payload.end(), Data + at + 4 + f.side, Data + at + f.length);
        at += f.length;
        Out.frames.push_back(f);
    }
    return true;
}

bool Compatible(const Frame& Prev, const Frame& Next) {
    if (Prev.channels != Next.channels) return false;
    for (unsigned ch = 0; ch < Prev.channels; ++ch) {
        const bool wantLong = LongEnding(Prev.lastBlock[ch]);
        const uint8_t next = Next.firstBlock[ch];
        if (wantLong != (next == kNormal || next == kStart)) return false;
    }
    return true;
}

bool Layout::Place(State& S, const Frame& F, uint32_t* Begin) {
    const int64_t start = std::max(S.mainEnd, S.payload - int64_t{F.maxBegin});
    const int64_t size = static_cast<int64_t>(F.Payload());
    if (start + static_cast<int64_t>(F.mainSize) > S.payload + size) return false;
    if (Begin) *Begin = static_cast<uint32_t>(S.payload - start);
    S.mainEnd = start + static_cast<int64_t>(F.mainSize);
    S.payload += size;
    return true;
}

bool Layout::Append(const Frame& F, const uint8_t* Main) {
    State next = state_;
    uint32_t begin = 0;
    if (!Place(next, F, &begin)) return false;
    Frame laid = F;
    WriteBegin(laid, begin);
    const std::size_t at = bytes_.size();
    bytes_.insert(bytes_.end(), laid.head.begin(), laid.head.begin() + 4 + laid.side);
    bytes_.resize(at + laid.length, 0);
    pending_.push_back({at + 4 + laid.side, state_.payload, laid.Payload(), at + laid.length});

    // The main data, over the payloads it spans.
    const int64_t start = state_.payload - begin;
    int64_t from = start;
    const int64_t to = start + static_cast<int64_t>(laid.mainSize);
    for (const Pending& p : pending_) {
        const int64_t end = p.payload + static_cast<int64_t>(p.size);
        if (from >= to) break;
        if (end <= from) continue;
        const int64_t n = std::min(to, end) - from;
        std::memcpy(bytes_.data() + p.at + (from - p.payload), Main + (from - start),
                    static_cast<std::size_t>(n));
        from += n;
    }
    state_ = next;
    // A payload ending where no later main data can begin is final.
    while (!pending_.empty() &&
           pending_.front().payload + static_cast<int64_t>(pending_.front().size) <=
               state_.mainEnd) {
        final_ = pending_.front().end;
        pending_.pop_front();
    }
    return true;
}

void Layout::Finish() {
    if (!pending_.empty()) final_ = pending_.back().end;
    pending_.clear();
}

void Layout::Take(std::vector<uint8_t>& Out) {
    Out.insert(Out.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(final_));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(final_));
    for (Pending& p : pending_) {
        p.at -= final_;
        p.end -= final_;
    }
    final_ = 0;
}

}  // namespace mp3join
