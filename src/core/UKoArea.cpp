// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoArea.h"

#include <cstdint>
#include <limits>

TKoArea AreaFromTo(uintptr_t Start, uintptr_t End) {
    if (End < Start) throw EKoError();
    const uintptr_t size = End - Start;
    if (size > static_cast<uintptr_t>(std::numeric_limits<int32_t>::max())) throw EKoError();
    return TKoArea{static_cast<int32_t>(size), Start};
}

TKoArea AreaIntersection(const TKoArea& A, const TKoArea& B) {
    if (!AreasIntersect(A, B)) return EmptyArea();
    const uintptr_t start = A.Start > B.Start ? A.Start : B.Start;
    const uintptr_t endA = AreaEnd(A);
    const uintptr_t endB = AreaEnd(B);
    return AreaFromTo(start, endA < endB ? endA : endB);
}

void AreaConsume(TKoArea& A, int32_t N) {
    if (N > A.Size) throw EKoError();
    const int64_t size = int64_t{A.Size} - N;
    if (size > std::numeric_limits<int32_t>::max()) throw EKoError();
    A.Start += static_cast<uintptr_t>(static_cast<intptr_t>(N));
    A.Size = static_cast<int32_t>(size);
}

// ---- Windows

bool WindowSeekFromBeginning(TKoWindow& W, int64_t Offset) {
    RequireWindowValid(W);
    if (Offset < 0 || Offset > W.Size) return false;
    W.Position = Offset;
    return true;
}

bool WindowSeekFromEnd(TKoWindow& W, int64_t Offset) {
    RequireWindowValid(W);
    // Size >= 0 by the invariant, so -Size cannot overflow.
    if (Offset > 0 || Offset < -W.Size) return false;
    W.Position = W.Size + Offset;
    return true;
}

bool WindowSeekFromCurrent(TKoWindow& W, int64_t Offset) {
    RequireWindowValid(W);
    if (Offset >= 0 ? Offset > W.Size - W.Position : Offset < -W.Position) return false;
    W.Position += Offset;
    return true;
}

bool WindowSeek(TKoWindow& W, const TKoSeekRequest& Request) {
    switch (Request.Origin) {
        case koFromBeginning:
            return WindowSeekFromBeginning(W, Request.Offset);
        case koFromEnd:
            return WindowSeekFromEnd(W, Request.Offset);
        case koFromCurrent:
            return WindowSeekFromCurrent(W, Request.Offset);
    }
    throw EKoError();
}

int64_t WindowSkip(TKoWindow& W, int64_t N) {
    RequireWindowValid(W);
    const uint64_t room = static_cast<uint64_t>(W.Size - W.Position);
    uint64_t n = static_cast<uint64_t>(N);
    if (n > room) n = room;
    if (!WindowSeekFromCurrent(W, static_cast<int64_t>(n))) throw EKoError();
    return static_cast<int64_t>(n);
}

void WindowAdvance(TKoWindow& W, int64_t N) {
    RequireWindowValid(W);
    int64_t position = 0;
    if (__builtin_add_overflow(W.Position, N, &position)) throw EKoError();
    TKoWindow next = W;
    if (position > next.Size) next.Size = position;
    next.Position = position;
    RequireWindowValid(next);
    W = next;
}

// ---- Rings

bool RingValid(const TKoRing& R) {
    return AreaNotEmpty(R.Outer) && AreaContains(R.Outer, MakeArea(R.Inner.Start, 1)) &&
           static_cast<uint32_t>(R.Inner.Size) <= static_cast<uint32_t>(R.Outer.Size);
}

namespace {

void RequireRingValid(const TKoRing& R) {
    if (!RingValid(R)) throw EKoError();
}

}  // namespace

int RingRegions(const TKoRing& R, TKoArea& First, TKoArea& Second) {
    RequireRingValid(R);
    if (!AreaNotEmpty(R.Inner)) {
        First = Second = EmptyArea();
        return 0;
    }
    if (AreaContains(R.Outer, R.Inner)) {
        First = R.Inner;
        Second = EmptyArea();
        return 1;
    }
    const TKoArea first = AreaIntersection(R.Outer, R.Inner);
    if (AreaEnd(first) != AreaEnd(R.Outer)) throw EKoError();
    First = first;
    Second = MakeArea(R.Outer.Start, R.Inner.Size - first.Size);
    return 2;
}

// Start moves are done on the offset inside Outer, so that a buffer placed near address 0
// wraps correctly in both directions.
void RingMoveStart(TKoRing& R, int32_t N) {
    RequireRingValid(R);
    const int64_t outerSize = R.Outer.Size;
    int64_t offset = static_cast<int64_t>(R.Inner.Start - R.Outer.Start);
    int64_t size = R.Inner.Size;
    if (N > 0) {
        if (N > size) throw EKoError();
        offset += N;
        size -= N;
        if (offset >= outerSize) offset -= outerSize;
    } else {
        const int64_t m = -int64_t{N};
        if (size + m > outerSize) throw EKoError();
        offset -= m;
        size += m;
        if (offset < 0) offset += outerSize;
    }
    R.Inner.Start = R.Outer.Start + static_cast<uintptr_t>(offset);
    R.Inner.Size = static_cast<int32_t>(size);
}

void RingMoveEnd(TKoRing& R, int32_t N) {
    RequireRingValid(R);
    const int64_t size = R.Inner.Size;
    if (N > 0) {
        if (size + N > R.Outer.Size) throw EKoError();
    } else {
        if (-int64_t{N} > size) throw EKoError();
    }
    R.Inner.Size = static_cast<int32_t>(size + N);
}
