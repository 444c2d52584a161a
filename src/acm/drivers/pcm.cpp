// SPDX-License-Identifier: GPL-3.0-or-later
// The PCM converter: PCM, IEEE float and Extensible records into each
// other, with sample width, channel and rate changes.
#include <cstring>
#include <vector>

#include "drivers.h"
#include "pcmcodec.h"

namespace acm {

namespace pcm {

namespace {

// The sub-format GUID of Extensible records: Data1 is the format tag, the
// rest is fixed.
constexpr uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                   0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::optional<Kind> intKind(uint16_t bits) {
    switch (bits) {
        case 8:
            return Kind::U8;
        case 16:
            return Kind::S16;
        case 24:
            return Kind::S24;
        case 32:
            return Kind::S32;
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<Layout> parse(const WAVEFORMATEX* wfx, uint32_t cb) {
    // PCM records may come as the 16-byte form without cbSize.
    if (!wfx || cb < 16) return std::nullopt;
    const uint16_t bits = wfx->wBitsPerSample;
    uint16_t validBits = bits;
    std::optional<Kind> kind;
    switch (wfx->wFormatTag) {
        case WAVE_FORMAT_PCM:
            kind = intKind(bits);
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            if (bits == 32) kind = Kind::F32;
            break;
        case WAVE_FORMAT_EXTENSIBLE: {
            if (cb < sizeof(WAVEFORMATEXTENSIBLE) || wfx->cbSize < 22) return std::nullopt;
            const auto* ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wfx);
            const uint8_t* guid = reinterpret_cast<const uint8_t*>(&ext->SubFormat);
            if (std::memcmp(guid + 4, kGuidTail, sizeof kGuidTail) != 0) return std::nullopt;
            if (ext->wValidBitsPerSample > bits) return std::nullopt;
            if (ext->wValidBitsPerSample) validBits = ext->wValidBitsPerSample;
            if (ext->SubFormat.Data1 == WAVE_FORMAT_PCM) kind = intKind(bits);
            if (ext->SubFormat.Data1 == WAVE_FORMAT_IEEE_FLOAT && bits == 32) kind = Kind::F32;
            break;
        }
        default:
            return std::nullopt;
    }
    if (!kind) return std::nullopt;
    const uint16_t channels = wfx->nChannels;
    if (channels < 1 || channels > 2) return std::nullopt;
    if (wfx->nSamplesPerSec < kMinRate || wfx->nSamplesPerSec > kMaxRate) return std::nullopt;
    // The block size is what the data is cut by, so it must be exact; the
    // byte rate is only advisory and other tools get it wrong at times.
    if (wfx->nBlockAlign != channels * bits / 8) return std::nullopt;
    return Layout{*kind, channels, wfx->nSamplesPerSec, wfx->nBlockAlign, bits, validBits};
}

}  // namespace pcm

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000};

constexpr TagInfo kTags[] = {
    {WAVE_FORMAT_PCM, "PCM", sizeof(WAVEFORMATEX), true},
    {WAVE_FORMAT_IEEE_FLOAT, "IEEE Float", sizeof(WAVEFORMATEX), true},
    {WAVE_FORMAT_EXTENSIBLE, "Extensible", sizeof(WAVEFORMATEXTENSIBLE), false},
};

std::string description(uint32_t rate, uint16_t bits, uint16_t channels) {
    return thousands(rate) + " Hz, " + std::to_string(bits) + " Bit, " +
           (channels == 1 ? "Mono" : "Stereo");
}

WAVEFORMATEX plainRecord(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEX w{};
    w.wFormatTag = tag;
    w.nChannels = channels;
    w.nSamplesPerSec = rate;
    w.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    w.nAvgBytesPerSec = rate * w.nBlockAlign;
    w.wBitsPerSample = bits;
    w.cbSize = 0;
    return w;
}

FormatEntry entry(const WAVEFORMATEX& w) {
    const auto* p = reinterpret_cast<const uint8_t*>(&w);
    return {std::vector<uint8_t>(p, p + sizeof w),
            description(w.nSamplesPerSec, w.wBitsPerSample, w.nChannels)};
}

std::vector<FormatEntry> buildTable() {
    std::vector<FormatEntry> table;
    for (uint32_t rate : kRates)
        for (const uint16_t bits : {uint16_t{8}, uint16_t{16}, uint16_t{24}, uint16_t{32}})
            for (const uint16_t channels : {uint16_t{1}, uint16_t{2}})
                table.push_back(entry(plainRecord(WAVE_FORMAT_PCM, channels, rate, bits)));
    for (uint32_t rate : kRates)
        for (const uint16_t channels : {uint16_t{1}, uint16_t{2}})
            table.push_back(entry(plainRecord(WAVE_FORMAT_IEEE_FLOAT, channels, rate, 32)));
    return table;
}

class PcmConverterDriver final : public Driver {
  public:
    const char* name() const override { return "pcm"; }
    uint32_t support() const override { return ACMDRIVERDETAILS_SUPPORTF_CONVERTER; }
    std::span<const TagInfo> tags() const override { return kTags; }
    std::span<const FormatEntry> formats() const override {
        static const std::vector<FormatEntry> table = buildTable();
        return table;
    }

    bool describe(const WAVEFORMATEX* wfx, uint32_t cbwfx, std::string* text) const override {
        const auto layout = pcm::parse(wfx, cbwfx);
        if (!layout) return false;
        if (text) *text = description(layout->rate, layout->bits, layout->channels);
        return true;
    }

    MMRESULT suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                     uint32_t fdwSuggest) const override {
        if (!src || !dst || cbDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
        const auto in = pcm::parse(src, recordSize(src));
        if (!in) return ACMERR_NOTPOSSIBLE;
        // Unconstrained fields follow the source; Extensible becomes the plain
        // tag of its sub-format.
        uint16_t tag = in->kind == pcm::Kind::F32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
        uint16_t channels = in->channels;
        uint32_t rate = in->rate;
        uint16_t bits = in->bits;
        if (fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) tag = dst->wFormatTag;
        if (fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) channels = dst->nChannels;
        if (fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) rate = dst->nSamplesPerSec;
        if (fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) {
            bits = dst->wBitsPerSample;
        } else if (tag == WAVE_FORMAT_IEEE_FLOAT) {
            bits = 32;
        }
        if (tag != WAVE_FORMAT_PCM && tag != WAVE_FORMAT_IEEE_FLOAT) return ACMERR_NOTPOSSIBLE;
        const WAVEFORMATEX out = plainRecord(tag, channels, rate, bits);
        if (!pcm::parse(&out, sizeof out)) return ACMERR_NOTPOSSIBLE;
        *dst = out;
        return MMSYSERR_NOERROR;
    }

    MMRESULT open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst, uint32_t cbDst,
                  uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const override {
        const auto in = pcm::parse(src, cbSrc);
        const auto out = pcm::parse(dst, cbDst);
        if (!in || !out) return ACMERR_NOTPOSSIBLE;
        if (!codec) return MMSYSERR_NOERROR;
        *codec = pcm::makeCodec(*in, *out, fdwOpen & ACM_STREAMOPENF_NONREALTIME);
        return *codec ? MMSYSERR_NOERROR : MMSYSERR_NOMEM;
    }
};

}  // namespace

const Driver* pcmConverterDriver() {
    static const PcmConverterDriver driver;
    return &driver;
}

}  // namespace acm
