// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivers.h"

namespace acm {

std::span<const Driver* const> drivers() {
    // Priority order: calls that name no driver ask these in turn.
    // clang-format off
    static const Driver* const table[] = {
        // DRIVER TABLE (one line per driver)
        pcmConverterDriver(),
        msAdpcmDriver(),
        imaAdpcmDriver(),
        alawDriver(),
        mulawDriver(),
        gsm610Driver(),
        mp3Driver(),
    };
    // clang-format on
    return table;
}

}  // namespace acm
