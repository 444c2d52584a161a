// SPDX-License-Identifier: GPL-3.0-or-later
// Accessors of the codec drivers under drivers/. A file may hold more than one driver
// (g711.cpp) and a driver may span several files (mp3*.cpp).
#pragma once

#include "driver.h"

namespace acm {

// DRIVER ACCESSORS (one line per driver)
const Driver* pcmConverterDriver();
const Driver* msAdpcmDriver();
const Driver* imaAdpcmDriver();
const Driver* alawDriver();
const Driver* mulawDriver();
const Driver* gsm610Driver();
const Driver* mp3Driver();

}  // namespace acm
