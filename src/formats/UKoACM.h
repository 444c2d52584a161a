// SPDX-License-Identifier: GPL-3.0-or-later
// Codec manager queries that the format model needs.
#pragma once

#include <cstdint>

class HKoACM {
  public:
    HKoACM() = delete;

    // Size in bytes of the largest format record of any installed codec. Raises EKoError
    // when the codec manager fails.
    static int32_t MaxFormatSize();
};
