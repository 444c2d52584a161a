// SPDX-License-Identifier: GPL-3.0-or-later
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
    const WAVEFORMATEX tmpl = *dst;

    if (codec16::isPcm16(src, sizeof(WAVEFORMATEX))) {
        // Encoding: this codec at the source's rate and channels.
        WAVEFORMATEX coded{};
        coded.wFormatTag = tag_.tag;
        coded.nChannels = src->nChannels;
        coded.nSamplesPerSec = src->nSamplesPerSec;
        coded.wBitsPerSample = bits_;
        if (!meetsTemplate(coded, tmpl, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
        const FormatEntry* f = offered(src->nSamplesPerSec, src->nChannels);
        if (!f) return ACMERR_NOTPOSSIBLE;
        if (cbDst < f->record.size()) return MMSYSERR_INVALPARAM;
        std::memcpy(dst, f->record.data(), f->record.size());
        return MMSYSERR_NOERROR;
    }

    if (src->wFormatTag != tag_.tag || !readable(src, recordSize(src))) return ACMERR_NOTPOSSIBLE;
    // Decoding: 16-bit PCM at the codec's rate and channels, nothing else.
    const WAVEFORMATEX pcm = codec16::pcm16(src->nSamplesPerSec, src->nChannels);
    if (!meetsTemplate(pcm, tmpl, fdwSuggest)) return ACMERR_NOTPOSSIBLE;
    *dst = pcm;
    return MMSYSERR_NOERROR;
}

MMRESULT CodecDriver::open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst,
                           uint32_t cbDst, uint32_t fdwOpen, std::unique_ptr<Codec>* codec) const {
    if (!src || !dst) return MMSYSERR_INVALPARAM;
    const bool encode = codec16::isPcm16(src, cbSrc) && matchTable(dst, cbDst);
    const bool decode = !encode && readable(src, cbSrc) && codec16::isPcm16(dst, cbDst);
    const WAVEFORMATEX* pcm = encode ? src : dst;
    const WAVEFORMATEX* coded = encode ? dst : src;
    if ((!encode && !decode) || pcm->nSamplesPerSec != coded->nSamplesPerSec ||
        pcm->nChannels != coded->nChannels)
        return ACMERR_NOTPOSSIBLE;
    if (codec) *codec = encode ? makeEncoder(coded, fdwOpen) : makeDecoder(coded, fdwOpen);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::codecs
