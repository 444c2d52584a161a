// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoFIFO.h"

#include <algorithm>
#include <mutex>

#include "UKoObject.h"
#include "UKoStream.h"

namespace {

// A transfer that claims more than it was asked for would corrupt the bookkeeping.
int32_t CheckedCount(int32_t Result, int32_t Asked) {
    if (Result < 0) return 0;
    if (Result > Asked) throw EKoError();
    return Result;
}

}  // namespace

TKoFIFO::TKoFIFO(int32_t Capacity)
    : buffer_(TKoMemChunk::CreateSized(std::max(Capacity, MinCapacity))),
      freeRing_(MakeRing(buffer_.Area(), buffer_.Area())),
      filledRing_(MakeRing(buffer_.Area(), MakeArea(buffer_.Area().Start, 0))),
      endEvent_(TKoEvent::CreateManualReset()),
      dataEvent_(std::make_unique<TKoEvent>()),
      spaceEvent_(std::make_unique<TKoEvent>()) {}

TKoFIFO::~TKoFIFO() = default;

TKoRing TKoFIFO::FreeSnapshot() {
    std::lock_guard guard(lock_);
    return freeRing_;
}

TKoRing TKoFIFO::FilledSnapshot() {
    std::lock_guard guard(lock_);
    return filledRing_;
}

int32_t TKoFIFO::FilledSize() {
    return FilledSnapshot().Inner.Size;
}

// The event is trusted after the wait: every commit of added bytes resets SpaceEvent under the
// lock, so a signalled SpaceEvent always means room the consumer made since.
bool TKoFIFO::WaitForSpace() {
    if (FreeSnapshot().Inner.Size != 0) return true;
    return TKoEvent::WaitForAny({endEvent_.get(), spaceEvent_.get()}) == spaceEvent_.get();
}

bool TKoFIFO::WaitForData() {
    if (FilledSnapshot().Inner.Size != 0) return true;
    return TKoEvent::WaitForAny({dataEvent_.get(), endEvent_.get()}) == dataEvent_.get();
}

void TKoFIFO::Produced(int32_t N) {
    std::lock_guard guard(lock_);
    if (N <= 0) {
        endEvent_->Signal();
        return;
    }
    // Work on copies so that a refused move leaves both rings as they were.
    TKoRing filled = filledRing_, free = freeRing_;
    RingMoveEnd(filled, N);
    RingMoveStart(free, N);
    filledRing_ = filled;
    freeRing_ = free;
    spaceEvent_->Reset();
    dataEvent_->Signal();
}

void TKoFIFO::Consumed(int32_t N) {
    std::lock_guard guard(lock_);
    if (N == 0) throw EKoError(KoClassName(typeid(*this)) + ".Consumed(0)");
    TKoRing free = freeRing_, filled = filledRing_;
    RingMoveEnd(free, N);
    RingMoveStart(filled, N);
    freeRing_ = free;
    filledRing_ = filled;
    dataEvent_->Reset();
    spaceEvent_->Signal();
}

int32_t TKoFIFO::PutMemory(const TKoArea& Area) {
    if (Area.Size < 0) throw EKoError();
    if (!WaitForSpace()) return 0;
    TKoArea first, second;
    RingRegions(FreeSnapshot(), first, second);
    const int32_t n1 = std::min(first.Size, Area.Size);
    const int32_t n2 = std::min(second.Size, Area.Size - n1);
    if (n1 > 0) HKoMemory::Copy(AreaData(Area), AreaData(first), n1);
    if (n2 > 0) HKoMemory::Copy(AreaData(Area) + n1, AreaData(second), n2);
    Produced(n1 + n2);
    return n1 + n2;
}

int32_t TKoFIFO::GetMemory(const TKoArea& Area) {
    if (Area.Size < 0) throw EKoError();
    if (!WaitForData()) return 0;
    TKoArea first, second;
    RingRegions(FilledSnapshot(), first, second);
    const int32_t n1 = std::min(first.Size, Area.Size);
    const int32_t n2 = std::min(second.Size, Area.Size - n1);
    if (n1 > 0) HKoMemory::Copy(AreaData(first), AreaData(Area), n1);
    if (n2 > 0) HKoMemory::Copy(AreaData(second), AreaData(Area) + n1, n2);
    Consumed(n1 + n2);
    return n1 + n2;
}

// The second piece is only touched when the first was taken whole: a short transfer means the
// stream has nothing more to give (or take) right now.
int32_t TKoFIFO::FillFromStream(TKoStream& Stream, int32_t Limit) {
    Limit = std::max(Limit, 0);
    if (!WaitForSpace()) return 0;
    TKoArea first, second;
    RingRegions(FreeSnapshot(), first, second);
    int32_t r1 = 0, r2 = 0;
    if (AreaNotEmpty(first)) {
        const int32_t asked = std::min(first.Size, Limit);
        r1 = CheckedCount(Stream.Read(MakeArea(first.Start, asked)), asked);
        if (const int32_t asked2 = std::min(second.Size, Limit - r1); r1 == asked && asked2 > 0) {
            r2 = CheckedCount(Stream.Read(MakeArea(second.Start, asked2)), asked2);
        }
    }
    Produced(r1 + r2);
    return r1 + r2;
}

int32_t TKoFIFO::DrainToStream(TKoStream& Stream, int32_t Limit) {
    Limit = std::max(Limit, 0);
    if (!WaitForData()) return 0;
    TKoArea first, second;
    RingRegions(FilledSnapshot(), first, second);
    int32_t w1 = 0, w2 = 0;
    if (AreaNotEmpty(first)) {
        const int32_t asked = std::min(first.Size, Limit);
        w1 = CheckedCount(Stream.Write(MakeArea(first.Start, asked)), asked);
        if (const int32_t asked2 = std::min(second.Size, Limit - w1); w1 == asked && asked2 > 0) {
            w2 = CheckedCount(Stream.Write(MakeArea(second.Start, asked2)), asked2);
        }
    }
    Consumed(w1 + w2);
    return w1 + w2;
}
