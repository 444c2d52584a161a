// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoACM.h"

#include <limits>

#include "UKoException.h"
#include "acm.h"

int32_t HKoACM::MaxFormatSize() {
    uint32_t size = 0;
    if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != MMSYSERR_NOERROR)
        throw EKoError();
    if (size > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) throw EKoError();
    return static_cast<int32_t>(size);
}
