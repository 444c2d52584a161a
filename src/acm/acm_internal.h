// SPDX-License-Identifier: GPL-3.0-or-later
// What the format calls (acm_format.cpp) and the stream calls (acm_stream.cpp)
// of the codec manager share: the driver table as handles see it, the check of
// a caller's record, and the guard that keeps exceptions inside.
#pragma once

#include <new>
#include <span>

#include "acm.h"
#include "driver.h"

struct AcmDriverEntry {
    const acm::Driver* driver;
};

namespace acm::detail {

std::span<const AcmDriverEntry> entries();

// The drivers a call addresses: all of them for a null handle, else the one
// it names. False for a handle that is not one of ours.
bool addressed(const void* handle, std::span<const AcmDriverEntry>* out);

// The largest format record any driver of the table has.
uint32_t maxFormatSize();

// Checks a record handed in by a caller before any driver reads it: the
// size its header claims must be one some driver could have, and the
// fields every format needs must be set.
MMRESULT checkRecord(const WAVEFORMATEX* wfx);

// Drivers may throw (allocation, library set-up); no exception crosses the
// C-style interface.
template <typename F>
MMRESULT guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

}  // namespace acm::detail
