// SPDX-License-Identifier: GPL-3.0-or-later
#include "driver.h"

#include <algorithm>
#include <cstring>

namespace acm {

uint32_t recordSize(const WAVEFORMATEX* wfx) {
    return wfx->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX)
                                              : sizeof(WAVEFORMATEX) + wfx->cbSize;
}

std::string thousands(uint32_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

void copyText(char* dst, size_t capacity, const std::string& text) {
    std::memset(dst, 0, capacity);
    std::memcpy(dst, text.data(), std::min(text.size(), capacity - 1));
}

std::string fieldText(const char* text, size_t capacity) {
    return std::string(text, strnlen(text, capacity));
}

bool Driver::describe(const WAVEFORMATEX* wfx, uint32_t cbwfx, std::string* description) const {
    if (!wfx || cbwfx < sizeof(WAVEFORMATEX)) return false;
    const uint32_t size = recordSize(wfx);
    if (size > cbwfx) return false;
    for (const FormatEntry& f : formats()) {
        if (f.record.size() == size && std::memcmp(f.record.data(), wfx, size) == 0) {
            if (description) *description = f.description;
            return true;
        }
    }
    return false;
}

MMRESULT Driver::suggest(const WAVEFORMATEX*, WAVEFORMATEX*, uint32_t, uint32_t) const {
    return ACMERR_NOTPOSSIBLE;
}

MMRESULT Driver::open(const WAVEFORMATEX*, uint32_t, const WAVEFORMATEX*, uint32_t, uint32_t,
                      std::unique_ptr<Codec>*) const {
    return ACMERR_NOTPOSSIBLE;
}

}  // namespace acm
