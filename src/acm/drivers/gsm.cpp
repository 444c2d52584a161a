// SPDX-License-Identifier: GPL-3.0-or-later
// GSM 06.10 full-rate speech coding over libgsm, in the WAVE block layout:
// two 160-sample frames per 65-byte block (libgsm's WAV49 option packs the
// first frame into 32.5 bytes and the second into the remaining 32.5).
#include <gsm.h>

#include <array>
#include <cstring>
#include <memory>

#include "blockcodec.h"
#include "codec16.h"
#include "drivers.h"

namespace acm {
namespace {

constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100};
constexpr uint16_t kBlockAlign = 65;
constexpr uint16_t kSamplesPerBlock = 320;
constexpr uint32_t kFrameSamples = 160;
constexpr uint32_t kPcmBlock = kSamplesPerBlock * 2;

bool onGrid(uint32_t rate) {
    for (uint32_t r : kRates)
        if (r == rate) return true;
    return false;
}

GSM610WAVEFORMAT gsmRecord(uint32_t rate) {
    GSM610WAVEFORMAT f{};
    f.wfx.wFormatTag = WAVE_FORMAT_GSM610;
    f.wfx.nChannels = 1;
    f.wfx.nSamplesPerSec = rate;
    f.wfx.nAvgBytesPerSec = rate * kBlockAlign / kSamplesPerBlock;
    f.wfx.nBlockAlign = kBlockAlign;
    f.wfx.wBitsPerSample = 0;
    f.wfx.cbSize = sizeof(GSM610WAVEFORMAT) - sizeof(WAVEFORMATEX);
    f.wSamplesPerBlock = kSamplesPerBlock;
    return f;
}

// A GSM record we can decode: the WAV49 block layout at a plausible rate (files of other
// tools carry GSM at rates off our grid).
// nAvgBytesPerSec is not checked; writers round it differently.
bool isGsm(const WAVEFORMATEX* wfx, uint32_t cbwfx) {
    if (!wfx || cbwfx < sizeof(WAVEFORMATEX) || wfx->wFormatTag != WAVE_FORMAT_GSM610) return false;
    if (wfx->cbSize < 2 || cbwfx < sizeof(WAVEFORMATEX) + wfx->cbSize) return false;
    const auto* gsm = reinterpret_cast<const GSM610WAVEFORMAT*>(wfx);
    return wfx->nChannels == 1 && wfx->nSamplesPerSec >= kMinRate &&
           wfx->nSamplesPerSec <= kMaxRate && wfx->nBlockAlign == kBlockAlign &&
           gsm->wSamplesPerBlock == kSamplesPerBlock;
}

struct GsmDeleter {
    void operator()(gsm_state* g) const { gsm_destroy(g); }
};
using GsmPtr = std::unique_ptr<gsm_state, GsmDeleter>;

GsmPtr makeWav49State() {
    GsmPtr g(gsm_create());
    if (!g) return nullptr;
    int on = 1;
    gsm_option(g.get(), GSM_OPT_WAV49, &on);
    return g;
}

class GsmEncoder final : public BlockCodec {
  public:
    explicit GsmEncoder(GsmPtr g) : BlockCodec(kPcmBlock, kBlockAlign), gsm_(std::move(g)) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        std::array<gsm_signal, kSamplesPerBlock> pcm;
        for (uint32_t i = 0; i < count; ++i, in += kPcmBlock, out += kBlockAlign) {
            std::memcpy(pcm.data(), in, kPcmBlock);  // little-endian host, any alignment
            // WAV49: the first frame takes 32 bytes plus a nibble carried into the second.
            gsm_encode(gsm_.get(), pcm.data(), out);
            gsm_encode(gsm_.get(), pcm.data() + kFrameSamples, out + 32);
        }
    }

  private:
    GsmPtr gsm_;
};

class GsmDecoder final : public BlockCodec {
  public:
    explicit GsmDecoder(GsmPtr g) : BlockCodec(kBlockAlign, kPcmBlock), gsm_(std::move(g)) {}

  protected:
    void processBlocks(const uint8_t* in, uint8_t* out, uint32_t count) override {
        std::array<gsm_byte, kBlockAlign> block;
        std::array<gsm_signal, kSamplesPerBlock> pcm;
        for (uint32_t i = 0; i < count; ++i, in += kBlockAlign, out += kPcmBlock) {
            std::memcpy(block.data(), in, kBlockAlign);  // gsm_decode takes a mutable pointer
            if (gsm_decode(gsm_.get(), block.data(), pcm.data()) < 0 ||
                gsm_decode(gsm_.get(), block.data() + 33, pcm.data() + kFrameSamples) < 0)
                pcm.fill(0);
            std::memcpy(out, pcm.data(), kPcmBlock);
        }
    }
    // A block cut short (e.g. a data size that counts the RIFF pad byte) holds
    // no complete frame pair; decoding it would only give noise.
    uint32_t processPartial(const uint8_t*, uint32_t, uint8_t*) override { return 0; }

  private:
    GsmPtr gsm_;
};

class Gsm610Driver final : public Driver {
  public:
    Gsm610Driver() {
        for (uint32_t rate : kRates) {
            const GSM610WAVEFORMAT f = gsmRecord(rate);
            const auto* p = reinterpret_cast<const uint8_t*>(&f);
            formats_.push_back({{p, p + sizeof f}, describeRate(rate)});
        }
    }

    const char* name() const override { return "gsm610"; }
    uint32_t support() const override { return ACMDRIVERDETAILS_SUPPORTF_CODEC; }
    std::span<const TagInfo> tags() const override { return kTags; }
    std::span<const FormatEntry> formats() const override { return formats_; }

    bool describe(const WAVEFORMATEX* wfx, uint32_t cbwfx,
                  std::string* description) const override {
        if (!isGsm(wfx, cbwfx)) return false;
        if (description) *description = describeRate(wfx->nSamplesPerSec);
        return true;
    }

    MMRESULT suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                     uint32_t fdwSuggest) const override {
        if (!src || !dst) return MMSYSERR_INVALPARAM;
        if (codec16::isPcm16(src, sizeof(WAVEFORMATEX), 1, 0) && onGrid(src->nSamplesPerSec)) {
            const GSM610WAVEFORMAT want = gsmRecord(src->nSamplesPerSec);
            if (!meetsTemplate(want.wfx, *dst, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
            return codec16::deliverSuggestion(&want, sizeof want, dst, cbDst);
        }
        if (isGsm(src, recordSize(src))) {
            const WAVEFORMATEX want = codec16::pcm16(src->nSamplesPerSec, 1);
            if (!meetsTemplate(want, *dst, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
            return codec16::deliverSuggestion(&want, sizeof want, dst, cbDst);
        }
        return ACMERR_NOTPOSSIBLE;
    }

    MMRESULT open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst, uint32_t cbDst,
                  uint32_t, std::unique_ptr<Codec>* codec) const override {
        if (!src || !dst) return MMSYSERR_INVALPARAM;
        const bool encode = isGsm(dst, cbDst) && onGrid(dst->nSamplesPerSec) &&
                            codec16::isPcm16(src, cbSrc, 1, dst->nSamplesPerSec);
        const bool decode =
            isGsm(src, cbSrc) && codec16::isPcm16(dst, cbDst, 1, src->nSamplesPerSec);
        if (!encode && !decode) return ACMERR_NOTPOSSIBLE;
        if (!codec) return MMSYSERR_NOERROR;
        GsmPtr g = makeWav49State();
        if (!g) return MMSYSERR_NOMEM;
        if (encode)
            *codec = std::make_unique<GsmEncoder>(std::move(g));
        else
            *codec = std::make_unique<GsmDecoder>(std::move(g));
        return MMSYSERR_NOERROR;
    }

  private:
    static std::string describeRate(uint32_t rate) { return thousands(rate) + " Hz, Mono"; }

    static constexpr TagInfo kTags[] = {
        {WAVE_FORMAT_GSM610, "GSM 6.10", sizeof(GSM610WAVEFORMAT), true}};
    std::vector<FormatEntry> formats_;
};

}  // namespace

const Driver* gsm610Driver() {
    static const Gsm610Driver driver;
    return &driver;
}

}  // namespace acm
