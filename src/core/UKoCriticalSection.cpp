// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoCriticalSection.h"

void TKoCriticalSection::Enter() {
    mutex_.lock();
}

void TKoCriticalSection::Leave() {
    mutex_.unlock();
}
