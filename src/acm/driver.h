// SPDX-License-Identifier: GPL-3.0-or-later
// The interface every codec driver implements. A driver is stateless: one
// function-local static instance each, which the table of drivers.cpp lists;
// per-stream state lives in the Codec it opens. Operations mirror the manager
// calls one to one, and the base answers "not possible".
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "acm.h"

namespace acm {

// One format a driver offers: the complete record and its description.
struct FormatEntry {
    std::vector<uint8_t> record;  // 18 + cbSize bytes
    std::string description;      // e.g. "44,100 Hz, 16 Bit, Stereo"

    const WAVEFORMATEX* wfx() const { return reinterpret_cast<const WAVEFORMATEX*>(record.data()); }
};

struct TagInfo {
    uint16_t tag;
    const char* name;     // szFormatTag, e.g. "IMA ADPCM"
    uint32_t formatSize;  // largest record of this tag, in bytes
    bool enumerated;      // false: read-only tag (Extensible), never listed
};

// Per-stream codec state, made by Driver::open.
class Codec {
  public:
    virtual ~Codec() = default;

    // SOURCE: the most output cbInput bytes of input can give.
    // DESTINATION: the input that fills at most cbInput bytes of output.
    virtual MMRESULT size(uint32_t cbInput, uint32_t* pcbOutput, uint32_t fdwSize) const = 0;

    struct Buffers {
        const uint8_t* src;
        uint32_t srcLength;
        uint32_t srcUsed;  // out
        uint8_t* dst;
        uint32_t dstLength;
        uint32_t dstUsed;  // out
    };
    // fdwConvert: ACM_STREAMCONVERTF_BLOCKALIGN / END, see acmStreamConvert.
    virtual MMRESULT convert(Buffers& io, uint32_t fdwConvert) = 0;
};

class Driver {
  public:
    virtual ~Driver() = default;

    virtual const char* name() const = 0;  // short driver name, e.g. "imaadpcm"
    virtual uint32_t support() const = 0;  // ACMDRIVERDETAILS_SUPPORTF_*
    virtual std::span<const TagInfo> tags() const = 0;
    // The static format table, in enumeration order.
    virtual std::span<const FormatEntry> formats() const = 0;

    // The description of a format this driver handles (also formats read
    // from other tools' files that are not in the table). The default finds
    // an exact match of the record in the table.
    virtual bool describe(const WAVEFORMATEX* wfx, uint32_t cbwfx, std::string* description) const;

    // A destination format this driver converts `src` into, meeting the
    // template fields of `dst` that fdwSuggest names.
    virtual MMRESULT suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                             uint32_t fdwSuggest) const;

    // Opens a conversion (codec null: only asks whether it is possible).
    virtual MMRESULT open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst,
                          uint32_t cbDst, uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const;
};

// The driver table, in priority order (PCM converter first).
std::span<const Driver* const> drivers();

// Sample rates the drivers accept, in their own formats and in other tools' files.
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;

// Whether `want` meets the fields of `tmpl` that `fields` names (the WFORMATTAG, NCHANNELS,
// NSAMPLESPERSEC and WBITSPERSAMPLE flags, the same bits for suggestion and enumeration).
inline bool meetsTemplate(const WAVEFORMATEX& want, const WAVEFORMATEX& tmpl, uint32_t fields) {
    static_assert(ACM_FORMATSUGGESTF_WFORMATTAG == ACM_FORMATENUMF_WFORMATTAG &&
                  ACM_FORMATSUGGESTF_NCHANNELS == ACM_FORMATENUMF_NCHANNELS &&
                  ACM_FORMATSUGGESTF_NSAMPLESPERSEC == ACM_FORMATENUMF_NSAMPLESPERSEC &&
                  ACM_FORMATSUGGESTF_WBITSPERSAMPLE == ACM_FORMATENUMF_WBITSPERSAMPLE);
    if ((fields & ACM_FORMATSUGGESTF_WFORMATTAG) && tmpl.wFormatTag != want.wFormatTag)
        return false;
    if ((fields & ACM_FORMATSUGGESTF_NCHANNELS) && tmpl.nChannels != want.nChannels) return false;
    if ((fields & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) && tmpl.nSamplesPerSec != want.nSamplesPerSec)
        return false;
    if ((fields & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) && tmpl.wBitsPerSample != want.wBitsPerSample)
        return false;
    return true;
}

// Size in bytes of a format record: 18 for PCM, else 18 + cbSize.
uint32_t recordSize(const WAVEFORMATEX* wfx);

// Locale-independent "44,100" style number.
std::string thousands(uint32_t value);

// The fixed-size text fields of the manager's records. copyText fills one: cut to fit,
// NUL-terminated, the rest zeroed. fieldText reads one up to its first NUL or its end.
void copyText(char* dst, size_t capacity, const std::string& text);
std::string fieldText(const char* text, size_t capacity);

}  // namespace acm
