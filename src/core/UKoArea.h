// SPDX-License-Identifier: GPL-3.0-or-later
// Memory areas and the value records built on them: seek requests, windows and rings.
// Everything here is a plain value operation, small enough to inline; broken requirements
// raise EKoError before anything is changed.
#pragma once

#include <cstdint>

#include "UKoException.h"

// A stretch of bytes: a signed 32-bit size and a pointer-sized start (an address or an
// offset). Start == koNoPosition marks an area without a position.
struct TKoArea {
    int32_t Size = 0;
    uintptr_t Start = 0;

    friend bool operator==(const TKoArea&, const TKoArea&) = default;
};

inline constexpr uintptr_t koNoPosition = ~uintptr_t(0);

enum TKoSeekOrigin : uint8_t { koFromBeginning = 0, koFromEnd = 1, koFromCurrent = 2 };

// How to move a stream position; offsets are 64-bit since streams may exceed 2 GiB.
struct TKoSeekRequest {
    int64_t Offset = 0;
    TKoSeekOrigin Origin = koFromBeginning;

    friend bool operator==(const TKoSeekRequest&, const TKoSeekRequest&) = default;
};

// A cursor inside an extent (child streams over files), invariant 0 <= Position <= Size.
struct TKoWindow {
    int64_t Size = 0;
    int64_t Start = 0;
    int64_t Position = 0;

    friend bool operator==(const TKoWindow&, const TKoWindow&) = default;
};

// Inner is a stretch of the circular buffer Outer that continues at Outer.Start when it
// passes the end of Outer.
struct TKoRing {
    TKoArea Outer;
    TKoArea Inner;

    friend bool operator==(const TKoRing&, const TKoRing&) = default;
};

// ---- Areas

inline TKoArea MakeArea(uintptr_t Start, int32_t Size) {
    return TKoArea{Size, Start};
}
inline TKoArea MakeArea(const void* Start, int32_t Size) {
    return TKoArea{Size, reinterpret_cast<uintptr_t>(Start)};
}
inline TKoArea EmptyArea() {
    return TKoArea{};
}

// Raises when End < Start or when the distance does not fit the 32-bit size.
TKoArea AreaFromTo(uintptr_t Start, uintptr_t End);

inline uintptr_t AreaEnd(const TKoArea& A) {
    return A.Start + static_cast<uintptr_t>(static_cast<intptr_t>(A.Size));
}
inline bool AreaNotEmpty(const TKoArea& A) {
    return A.Size > 0;
}
inline void RequireNotEmpty(const TKoArea& A) {
    if (!AreaNotEmpty(A)) throw EKoError();
}
// The bytes of an area whose Start is an address.
inline uint8_t* AreaData(const TKoArea& A) {
    return reinterpret_cast<uint8_t*>(A.Start);
}

inline bool AreaContains(const TKoArea& Outer, const TKoArea& Inner) {
    return Outer.Start != koNoPosition && Inner.Start != koNoPosition &&
           Outer.Start <= Inner.Start && AreaEnd(Inner) <= AreaEnd(Outer);
}
inline bool AreasIntersect(const TKoArea& A, const TKoArea& B) {
    return AreaNotEmpty(A) && AreaNotEmpty(B) && AreaEnd(A) > B.Start && AreaEnd(B) > A.Start;
}
TKoArea AreaIntersection(const TKoArea& A, const TKoArea& B);

// Drops N bytes from the front (a negative N gives bytes back); raises when N > A.Size.
void AreaConsume(TKoArea& A, int32_t N);

// ---- Seek requests

inline TKoSeekRequest SeekFromBeginning(int64_t Offset) {
    return {Offset, koFromBeginning};
}
inline TKoSeekRequest SeekFromEnd(int64_t Offset) {
    return {Offset, koFromEnd};
}
inline TKoSeekRequest SeekFromCurrent(int64_t Offset) {
    return {Offset, koFromCurrent};
}

// ---- Windows

inline bool WindowValid(const TKoWindow& W) {
    return W.Position >= 0 && W.Position <= W.Size;
}
inline void RequireWindowValid(const TKoWindow& W) {
    if (!WindowValid(W)) throw EKoError();
}

// A window over an extent given by start and size (file offsets).
inline TKoWindow MakeWindowSpan(int64_t Start, int64_t Size, int64_t Position = 0) {
    TKoWindow W{Size, Start, Position};
    RequireWindowValid(W);
    return W;
}
inline TKoWindow MakeWindowAt(const TKoArea& Area, int64_t Position) {
    return MakeWindowSpan(static_cast<int64_t>(Area.Start), Area.Size, Position);
}
inline TKoWindow MakeWindow(const TKoArea& Area) {
    return MakeWindowAt(Area, 0);
}
inline int64_t WindowAddress(const TKoWindow& W) {
    return W.Start + W.Position;
}

// The seeks return false and leave the window unchanged when the move is not possible.
bool WindowSeekFromBeginning(TKoWindow& W, int64_t Offset);
bool WindowSeekFromEnd(TKoWindow& W, int64_t Offset);
bool WindowSeekFromCurrent(TKoWindow& W, int64_t Offset);
// Raises on an origin outside the three known ones.
bool WindowSeek(TKoWindow& W, const TKoSeekRequest& Request);
// Moves forward by N (taken unsigned) cut to what is left; returns the count moved.
int64_t WindowSkip(TKoWindow& W, int64_t N);
// Moves forward by N, growing the extent when the cursor passes its end (writers).
void WindowAdvance(TKoWindow& W, int64_t N);

// ---- Rings

inline TKoRing MakeRing(const TKoArea& Outer, const TKoArea& Inner) {
    return {Outer, Inner};
}
bool RingValid(const TKoRing& R);
// Splits Inner into its linear pieces; returns how many there are (0, 1 or 2).
int RingRegions(const TKoRing& R, TKoArea& First, TKoArea& Second);
// N > 0 consumes N bytes from the front of Inner; N < 0 gives -N bytes back in front.
void RingMoveStart(TKoRing& R, int32_t N);
// N > 0 appends N bytes to Inner; N < 0 takes -N bytes back from its end.
void RingMoveEnd(TKoRing& R, int32_t N);
