// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG Layer-3 driver: the CBR formats of every MPEG rate, and the
// negotiation between them and 16-bit PCM. The codecs are in mp3enc.cpp
// and mp3dec.cpp.
#include "mp3.h"

#include <cstdlib>

#include "codec16.h"
#include "drivers.h"

namespace acm {
namespace mp3 {

namespace {
constexpr uint16_t kMpeg1Rates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr uint16_t kMpeg2Rates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
// MPEG-2.5 shares MPEG-2's table; its rates are only offered up to 64 kbit/s.
constexpr uint16_t kMpeg25Rates[] = {8, 16, 24, 32, 40, 48, 56, 64};
// The decoder's delay in samples that players expect in this record.
constexpr uint16_t kCodecDelay = 1393;
}  // namespace

std::span<const uint16_t> bitRates(uint32_t rate) {
    switch (rate) {
        case 32000:
        case 44100:
        case 48000:
            return kMpeg1Rates;
        case 16000:
        case 22050:
        case 24000:
            return kMpeg2Rates;
        case 8000:
        case 11025:
        case 12000:
            return kMpeg25Rates;
        default:
            return {};
    }
}

MPEGLAYER3WAVEFORMAT record(uint32_t rate, uint16_t channels, uint32_t kbps) {
    MPEGLAYER3WAVEFORMAT f{};
    f.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    f.wfx.nChannels = channels;
    f.wfx.nSamplesPerSec = rate;
    f.wfx.nAvgBytesPerSec = kbps * 1000 / 8;
    f.wfx.nBlockAlign = 1;
    f.wfx.wBitsPerSample = 0;
    f.wfx.cbSize = sizeof(MPEGLAYER3WAVEFORMAT) - sizeof(WAVEFORMATEX);
    f.wID = MPEGLAYER3_ID_MPEG;
    // The encoder pads frames as the standard says (a padding byte now and
    // then where frames are not a whole number of bytes), so the size in
    // nBlockSize is the unpadded one.
    f.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
    f.nBlockSize = static_cast<uint16_t>(frameBytes(rate, kbps));
    f.nFramesPerBlock = 1;
    f.nCodecDelay = kCodecDelay;
    return f;
}

bool readable(const WAVEFORMATEX* wfx, uint32_t cb) {
    if (!wfx || cb < sizeof(WAVEFORMATEX) || wfx->wFormatTag != WAVE_FORMAT_MPEGLAYER3)
        return false;
    if (cb < sizeof(WAVEFORMATEX) + wfx->cbSize) return false;
    // Extra fields are either absent or complete.
    if (wfx->cbSize != 0 && wfx->cbSize < sizeof(MPEGLAYER3WAVEFORMAT) - sizeof(WAVEFORMATEX))
        return false;
    return (wfx->nChannels == 1 || wfx->nChannels == 2) && !bitRates(wfx->nSamplesPerSec).empty() &&
           wfx->nBlockAlign != 0;
}

bool writable(const WAVEFORMATEX* wfx, uint32_t cb) {
    if (!readable(wfx, cb)) return false;
    const uint64_t bits = uint64_t{wfx->nAvgBytesPerSec} * 8;
    return bits % 1000 == 0 && bits / 1000 <= 320 &&
           validBitRate(wfx->nSamplesPerSec, static_cast<uint32_t>(bits / 1000));
}

}  // namespace mp3

namespace {

std::string describeMp3(const WAVEFORMATEX* wfx) {
    const uint32_t kbps = mp3::kbpsOf(wfx);
    // VBR files of other tools carry no average rate.
    const std::string rate = kbps ? std::to_string(kbps) + " kBit/s" : "VBR";
    return rate + ", " + thousands(wfx->nSamplesPerSec) + "Hz, " +
           (wfx->nChannels == 1 ? "Mono" : "Stereo");
}

// The encoder's bit rate for a PCM source: 128 kbit/s stereo, 64 mono, else
// the nearest the rate allows.
uint32_t suggestedKbps(uint32_t rate, uint16_t channels) {
    const uint32_t want = channels == 2 ? 128 : 64;
    uint32_t best = 0;
    for (uint16_t kbps : mp3::bitRates(rate))
        if (best == 0 || std::abs(int(kbps) - int(want)) < std::abs(int(best) - int(want)))
            best = kbps;
    return best;
}

class Mp3Driver final : public Driver {
  public:
    Mp3Driver() {
        for (uint32_t rate : mp3::kRates)
            for (uint16_t kbps : mp3::bitRates(rate))
                for (const uint16_t channels : {uint16_t{1}, uint16_t{2}}) {
                    const MPEGLAYER3WAVEFORMAT f = mp3::record(rate, channels, kbps);
                    const auto* p = reinterpret_cast<const uint8_t*>(&f);
                    formats_.push_back({{p, p + sizeof f}, describeMp3(&f.wfx)});
                }
    }

    const char* name() const override { return "mp3"; }
    uint32_t support() const override { return ACMDRIVERDETAILS_SUPPORTF_CODEC; }
    std::span<const TagInfo> tags() const override { return kTags; }
    std::span<const FormatEntry> formats() const override { return formats_; }

    bool describe(const WAVEFORMATEX* wfx, uint32_t cbwfx,
                  std::string* description) const override {
        if (!mp3::readable(wfx, cbwfx)) return false;
        if (description) *description = describeMp3(wfx);
        return true;
    }

    MMRESULT suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                     uint32_t fdwSuggest) const override {
        if (!src || !dst) return MMSYSERR_INVALPARAM;
        const uint16_t channels = src->nChannels;
        if ((channels == 1 || channels == 2) &&
            codec16::isPcm16(src, sizeof(WAVEFORMATEX), channels, 0) &&
            !mp3::bitRates(src->nSamplesPerSec).empty()) {
            const uint32_t rate = src->nSamplesPerSec;
            const MPEGLAYER3WAVEFORMAT want =
                mp3::record(rate, channels, suggestedKbps(rate, channels));
            if (!meetsTemplate(want.wfx, *dst, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
            return codec16::deliverSuggestion(&want, sizeof want, dst, cbDst);
        }
        if (mp3::readable(src, recordSize(src))) {
            const WAVEFORMATEX want = codec16::pcm16(src->nSamplesPerSec, src->nChannels);
            if (!meetsTemplate(want, *dst, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
            return codec16::deliverSuggestion(&want, sizeof want, dst, cbDst);
        }
        return ACMERR_NOTPOSSIBLE;
    }

    MMRESULT open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst, uint32_t cbDst,
                  uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const override {
        if (!src || !dst) return MMSYSERR_INVALPARAM;
        const bool encode = mp3::writable(dst, cbDst) &&
                            codec16::isPcm16(src, cbSrc, dst->nChannels, dst->nSamplesPerSec);
        const bool decode = mp3::readable(src, cbSrc) &&
                            codec16::isPcm16(dst, cbDst, src->nChannels, src->nSamplesPerSec);
        if (!encode && !decode) return ACMERR_NOTPOSSIBLE;
        if (!codec) return MMSYSERR_NOERROR;
        if (encode) return mp3::openEncoder(dst, fdwOpen & ACM_STREAMOPENF_NONREALTIME, codec);
        return mp3::openDecoder(src, codec);
    }

  private:
    static constexpr TagInfo kTags[] = {
        {WAVE_FORMAT_MPEGLAYER3, "MPEG Layer-3", sizeof(MPEGLAYER3WAVEFORMAT), true}};
    std::vector<FormatEntry> formats_;
};

}  // namespace

const Driver* mp3Driver() {
    static const Mp3Driver driver;
    return &driver;
}

}  // namespace acm
