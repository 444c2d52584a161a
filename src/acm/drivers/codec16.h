// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the library-backed codec drivers (GSM, MP3), which all
// convert between their format and 16-bit PCM at the same rate and channels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "driver.h"

namespace acm::codec16 {

// 16-bit PCM, 1 or 2 channels, a rate in the accepted range. `cb` is the number of readable
// bytes at `wfx`; a plain PCM record may come without cbSize (16 bytes), so it is not read.
inline bool isPcm16(const WAVEFORMATEX* wfx, uint32_t cb) {
    if (!wfx || cb < offsetof(WAVEFORMATEX, cbSize)) return false;
    return wfx->wFormatTag == WAVE_FORMAT_PCM && wfx->wBitsPerSample == 16 &&
           (wfx->nChannels == 1 || wfx->nChannels == 2) && wfx->nBlockAlign == 2 * wfx->nChannels &&
           wfx->nSamplesPerSec >= kMinRate && wfx->nSamplesPerSec <= kMaxRate;
}

// The same with exactly `channels` channels at `rate` (0: any rate).
inline bool isPcm16(const WAVEFORMATEX* wfx, uint32_t cb, uint16_t channels, uint32_t rate) {
    return isPcm16(wfx, cb) && wfx->nChannels == channels &&
           (rate == 0 || wfx->nSamplesPerSec == rate);
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

// Copies a suggested record of `size` bytes into the caller's buffer.
inline MMRESULT deliverSuggestion(const void* record, uint32_t size, WAVEFORMATEX* dst,
                                  uint32_t cbDst) {
    if (cbDst < size) return MMSYSERR_INVALPARAM;
    std::memcpy(dst, record, size);
    return MMSYSERR_NOERROR;
}

}  // namespace acm::codec16
