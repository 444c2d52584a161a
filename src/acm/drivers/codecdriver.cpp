#include "codecdriver.h"

#include <cstddef>
#include <vector>

namespace acm::codecs {

std::string describeCodecFormat(uint32_t rate, uint16_t bits, uint16_t channels) {
    return thousands(rate) + " Hz, " + std::to_string(bits) + " Bit, " +
           (channels == 1 ? "Mono" : "Stereo");
}

FormatEntry makeFormatEntry(const void* record, size_t size) {
    FormatEntry entry;
    const auto* bytes = static_cast<const uint8_t*>(record);
    entry.record.assign(bytes, bytes + size);
    const WAVEFORMATEX* wfx = entry.wfx();
    entry.description =
        describeCodecFormat(wfx->nSamplesPerSec, wfx->wBitsPerSample, wfx->nChannels);
    return entry;
}

bool isPcm16(const WAVEFORMATEX* wfx, uint32_t cb) {
    // A plain PCM record may come without cbSize (16 bytes), so it is not read.
    if (!wfx || cb < offsetof(WAVEFORMATEX, cbSize)) return false;
    return wfx->wFormatTag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16 &&
           (wfx->nChannels == 1 || wfx->nChannels == 2) && wfx->nBlockAlign == 2 * wfx->nChannels &&
           wfx->nSamplesPerSec >= kMinRate && wfx->nSamplesPerSec <= kMaxRate;
}

CodecDriver::CodecDriver(uint16_t tag, const char* tagName, uint32_t recordSize, uint16_t bits)
    : tag_{tag, tagName, recordSize, true}, bits_(bits) {}

bool CodecDriver::readable(const WAVEFORMATEX* wfx, uint32_t cb) const {
    if (!wfx || cb < sizeof(WAVEFORMATEX) || recordSize(wfx) > cb) return false;
    return wfx->wFormatTag == tag_.tag && (wfx->nChannels == 1 || wfx->nChannels == 2) &&
           wfx->nSamplesPerSec >= kMinRate && wfx->nSamplesPerSec <= kMaxRate &&
           wfx->wBitsPerSample == bits_ && validRecord(wfx, cb);
}

const FormatEntry* CodecDriver::offered(uint32_t rate, uint16_t channels) const {
    for (const FormatEntry& f : formats())
        if (f.wfx()->nSamplesPerSec == rate && f.wfx()->nChannels == channels) return &f;
    return nullptr;
}

const FormatEntry* CodecDriver::matchTable(const WAVEFORMATEX* wfx, uint32_t cb) const {
    if (!readable(wfx, cb)) return nullptr;
    const FormatEntry* f = offered(wfx->nSamplesPerSec, wfx->nChannels);
    if (!f || recordSize(wfx) != f->record.size()) return nullptr;
    std::vector<uint8_t> copy(f->record.size());
    std::memcpy(copy.data(), wfx, copy.size());
    WAVEFORMATEX head;
    std::memcpy(&head, copy.data(), sizeof head);
    head.nAvgBytesPerSec = f->wfx()->nAvgBytesPerSec;
    std::memcpy(copy.data(), &head, sizeof head);
    return copy == f->record ? f : nullptr;
}

bool CodecDriver::describe(const WAVEFORMATEX* wfx, uint32_t cbwfx,
                           std::string* description) const {
    if (!readable(wfx, cbwfx)) return false;
    if (description) *description = describeCodecFormat(wfx->nSamplesPerSec, bits_, wfx->nChannels);
    return true;
}

MMRESULT CodecDriver::suggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                              uint32_t fdwSuggest) const {
    if (!src || !dst || cbDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
    // The template is read before dst is overwritten.
    const WAVEFORMATEX want = *dst;
    auto asks = [&](uint32_t flag) { return (fdwSuggest & flag) != 0; };

    if (isPcm16(src, sizeof(WAVEFORMATEX))) {
        // Encoding: this codec at the source's rate and channels.
        if ((asks(ACM_FORMATSUGGESTF_WFORMATTAG) && want.wFormatTag != tag_.tag) ||
            (asks(ACM_FORMATSUGGESTF_NCHANNELS) && want.nChannels != src->nChannels) ||
            (asks(ACM_FORMATSUGGESTF_NSAMPLESPERSEC) &&
             want.nSamplesPerSec != src->nSamplesPerSec) ||
            (asks(ACM_FORMATSUGGESTF_WBITSPERSAMPLE) && want.wBitsPerSample != bits_))
            return ACMERR_NOTPOSSIBLE;
        const FormatEntry* f = offered(src->nSamplesPerSec, src->nChannels);
        if (!f) return ACMERR_NOTPOSSIBLE;
        if (cbDst < f->record.size()) return MMSYSERR_INVALPARAM;
        std::memcpy(dst, f->record.data(), f->record.size());
        return MMSYSERR_NOERROR;
    }

    if (src->wFormatTag != tag_.tag || !readable(src, recordSize(src))) return ACMERR_NOTPOSSIBLE;
    // Decoding: 16-bit PCM at the codec's rate and channels, nothing else.
    if ((asks(ACM_FORMATSUGGESTF_WFORMATTAG) && want.wFormatTag != WAVE_FORMAT_PCM) ||
        (asks(ACM_FORMATSUGGESTF_NCHANNELS) && want.nChannels != src->nChannels) ||
        (asks(ACM_FORMATSUGGESTF_NSAMPLESPERSEC) && want.nSamplesPerSec != src->nSamplesPerSec) ||
        (asks(ACM_FORMATSUGGESTF_WBITSPERSAMPLE) && want.wBitsPerSample != 16))
        return ACMERR_NOTPOSSIBLE;
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    pcm.nChannels = src->nChannels;
    pcm.nSamplesPerSec = src->nSamplesPerSec;
    pcm.nBlockAlign = static_cast<uint16_t>(2 * src->nChannels);
    pcm.nAvgBytesPerSec = src->nSamplesPerSec * pcm.nBlockAlign;
    pcm.wBitsPerSample = 16;
    pcm.cbSize = 0;
    *dst = pcm;
    return MMSYSERR_NOERROR;
}

MMRESULT CodecDriver::open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst,
                           uint32_t cbDst, uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const {
    if (!src || !dst) return MMSYSERR_INVALPARAM;
    const bool encode = isPcm16(src, cbSrc) && matchTable(dst, cbDst);
    const bool decode = !encode && readable(src, cbSrc) && isPcm16(dst, cbDst);
    const WAVEFORMATEX* pcm = encode ? src : dst;
    const WAVEFORMATEX* coded = encode ? dst : src;
    if ((!encode && !decode) || pcm->nSamplesPerSec != coded->nSamplesPerSec ||
        pcm->nChannels != coded->nChannels)
        return ACMERR_NOTPOSSIBLE;
    if (codec) *codec = encode ? makeEncoder(coded, fdwOpen) : makeDecoder(coded, fdwOpen);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::codecs
