// Helpers shared by the library-backed codec drivers (GSM, MP3), which all
// convert between their format and 16-bit PCM at the same rate and channels.
#pragma once

#include <cstdint>
#include <cstring>

#include "acm.h"

namespace acm::codec16 {

// 16-bit PCM with `channels` channels at `rate` (0: any rate).
inline bool isPcm16(const WAVEFORMATEX* wfx, uint32_t cbwfx, uint16_t channels, uint32_t rate) {
    return wfx && cbwfx >= sizeof(WAVEFORMATEX) && wfx->wFormatTag == WAVE_FORMAT_PCM &&
           wfx->wBitsPerSample == 16 && wfx->nChannels == channels &&
           wfx->nBlockAlign == 2 * channels && (rate == 0 || wfx->nSamplesPerSec == rate);
}

inline WAVEFORMATEX pcm16(uint32_t rate, uint16_t channels) {
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.nBlockAlign = static_cast<uint16_t>(2 * channels);
    wfx.nAvgBytesPerSec = rate * wfx.nBlockAlign;
    wfx.wBitsPerSample = 16;
    wfx.cbSize = 0;
    return wfx;
}

// Whether `want` meets the template fields of `tmpl` that fdwSuggest names.
inline bool meetsTemplate(const WAVEFORMATEX& want, const WAVEFORMATEX* tmpl, uint32_t fdwSuggest) {
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && tmpl->wFormatTag != want.wFormatTag)
        return false;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) && tmpl->nChannels != want.nChannels)
        return false;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) &&
        tmpl->nSamplesPerSec != want.nSamplesPerSec)
        return false;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) &&
        tmpl->wBitsPerSample != want.wBitsPerSample)
        return false;
    return true;
}

// Copies a suggested record of `size` bytes into the caller's buffer.
inline MMRESULT deliverSuggestion(const void* record, uint32_t size, WAVEFORMATEX* dst,
                                  uint32_t cbDst) {
    if (cbDst < size) return MMSYSERR_INVALPARAM;
    std::memcpy(dst, record, size);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::codec16
