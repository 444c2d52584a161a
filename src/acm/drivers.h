// Accessors of the codec drivers, one per file under drivers/.
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
