// SPDX-License-Identifier: GPL-3.0-or-later
// Internals shared by the MPEG Layer-3 driver (mp3.cpp), its encoder over
// libmp3lame (mp3enc.cpp) and its decoder over libmpg123 (mp3dec.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "driver.h"

namespace acm::mp3 {

// MPEG-1, MPEG-2 and MPEG-2.5 sampling rates.
constexpr uint32_t kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

inline bool isMpeg1(uint32_t rate) {
    return rate >= 32000;
}

// The CBR bit rates (kbit/s) of the MPEG version that carries `rate`;
// empty for a rate no MPEG version has.
std::span<const uint16_t> bitRates(uint32_t rate);

inline bool validBitRate(uint32_t rate, uint32_t kbps) {
    const auto list = bitRates(rate);
    return std::find(list.begin(), list.end(), kbps) != list.end();
}

// Samples per channel in one Layer-3 frame.
inline uint32_t samplesPerFrame(uint32_t rate) {
    return isMpeg1(rate) ? 1152 : 576;
}

// Bytes in one frame without the padding byte.
inline uint32_t frameBytes(uint32_t rate, uint32_t kbps) {
    return (isMpeg1(rate) ? 144 : 72) * kbps * 1000 / rate;
}

// The record of a CBR stream as this driver writes it.
MPEGLAYER3WAVEFORMAT record(uint32_t rate, uint16_t channels, uint32_t kbps);

// A record the decoder accepts: an MPEG rate, 1 or 2 channels, the extra
// fields present if cbSize says so. Bit rate, block align and the extra
// fields vary between writers (and VBR files have no bit rate), so they
// are not checked. `cb` bytes are readable at `wfx`.
bool readable(const WAVEFORMATEX* wfx, uint32_t cb);

// A readable record that also names a CBR bit rate valid at its rate.
bool writable(const WAVEFORMATEX* wfx, uint32_t cb);

// Bit rate of a record in kbit/s, rounded (0 when unknown).
inline uint32_t kbpsOf(const WAVEFORMATEX* wfx) {
    return static_cast<uint32_t>((uint64_t{wfx->nAvgBytesPerSec} * 8 + 500) / 1000);
}

// Codec output that did not fit the caller's buffer yet.
class OutputQueue {
  public:
    bool empty() const { return head_ == data_.size(); }
    size_t size() const { return data_.size() - head_; }
    void append(const uint8_t* p, size_t n) {
        if (head_ > 0) {
            data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        data_.insert(data_.end(), p, p + n);
    }
    // Moves as much as fits into io's destination.
    void deliver(Codec::Buffers& io) {
        const size_t n = std::min<size_t>(size(), io.dstLength - io.dstUsed);
        if (n == 0) return;
        std::memcpy(io.dst + io.dstUsed, data_.data() + head_, n);
        io.dstUsed += static_cast<uint32_t>(n);
        head_ += n;
    }

  private:
    std::vector<uint8_t> data_;
    size_t head_ = 0;
};

// Open a 16-bit PCM -> MP3 encoder for the writable record `mp3`;
// highQuality selects the slower, better encoder search.
MMRESULT openEncoder(const WAVEFORMATEX* mp3, bool highQuality, std::unique_ptr<Codec>* codec);
// Open an MP3 -> 16-bit PCM decoder for the readable record `mp3`.
MMRESULT openDecoder(const WAVEFORMATEX* mp3, std::unique_ptr<Codec>* codec);

}  // namespace acm::mp3
