#include "UKoCriticalSection.h"

void TKoCriticalSection::Enter() {
    mutex_.lock();
}

void TKoCriticalSection::Leave() {
    mutex_.unlock();
}
