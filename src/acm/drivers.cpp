#include "drivers.h"

namespace acm {

std::span<const Driver* const> drivers() {
    // Priority order: calls that name no driver ask these in turn.
    // clang-format off
    static const Driver* const table[] = {
        // DRIVER TABLE (one line per driver)
        &pcmConverterDriver(),
        msAdpcmDriver(),
        imaAdpcmDriver(),
        alawDriver(),
        mulawDriver(),
        gsm610Driver(),
        mp3Driver(),
        nullptr,
    };
    // clang-format on
    return std::span<const Driver* const>(table, std::size(table) - 1);
}

}  // namespace acm
