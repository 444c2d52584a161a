// SPDX-License-Identifier: GPL-3.0-or-later
// Common ground of the drivers that turn 16-bit PCM into one codec format
// and back at the same rate and channels (G.711, IMA ADPCM, MS ADPCM):
// record checks, descriptions, suggestion and stream open. A driver adds
// its format table, its record validation and its two codecs.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "codec16.h"
#include "driver.h"

namespace acm::codecs {

// Little-endian sample access; compiles to plain loads and stores on
// little-endian hosts.
inline int16_t loadLe16(const uint8_t* p) {
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}
inline void storeLe16(uint8_t* p, int v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
// A branch the predictor gets right (clipping is rare) keeps the sample
// chains of the ADPCM loops two conditional moves shorter.
inline int clamp16(int v) {
    if (static_cast<unsigned>(v + 32768) > 65535u) [[unlikely]]
        v = v < 0 ? -32768 : 32767;
    return v;
}

// The rates every codec of this family offers.
constexpr uint32_t kCodecRates[] = {8000, 11025, 22050, 44100};

// "22,050 Hz, 4 Bit, Mono"
std::string describeCodecFormat(uint32_t rate, uint16_t bits, uint16_t channels);

// A table entry made from a complete record.
FormatEntry makeFormatEntry(const void* record, size_t size);

class CodecDriver : public Driver {
  public:
    CodecDriver(uint16_t tag, const char* tagName, uint32_t recordSize, uint16_t bits);

    uint32_t support() const override { return ACMDRIVERDETAILS_SUPPORTF_CODEC; }
    std::span<const TagInfo> tags() const override { return {&tag_, 1}; }

    bool describe(const WAVEFORMATEX* wfx, uint32_t cbwfx, std::string* description) const override;
    MMRESULT suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                     uint32_t fdwSuggest) const override;
    MMRESULT open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst, uint32_t cbDst,
                  uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const override;

    // A record of this codec that the decoder can read: the driver's own
    // formats and other tools' consistent variants (any rate in range,
    // other block sizes). `cb` bytes are readable at `wfx`.
    bool readable(const WAVEFORMATEX* wfx, uint32_t cb) const;

  protected:
    // Codec-specific checks of a record whose tag, channels, rate, bits and
    // size against `cb` are already checked.
    virtual bool validRecord(const WAVEFORMATEX* wfx, uint32_t cb) const = 0;
    // Codecs for a record that passed readable(); the encoder's record is
    // also one of the table's.
    virtual std::unique_ptr<Codec> makeEncoder(const WAVEFORMATEX* wfx, uint32_t fdwOpen) const = 0;
    virtual std::unique_ptr<Codec> makeDecoder(const WAVEFORMATEX* wfx, uint32_t fdwOpen) const = 0;

    // The table's format at this rate and channel count, or null.
    const FormatEntry* offered(uint32_t rate, uint16_t channels) const;

  private:
    // The table entry equal to `wfx` (nAvgBytesPerSec aside, which writers
    // round differently), or null.
    const FormatEntry* matchTable(const WAVEFORMATEX* wfx, uint32_t cb) const;

    TagInfo tag_;
    uint16_t bits_;
};

}  // namespace acm::codecs
