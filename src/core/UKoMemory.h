// SPDX-License-Identifier: GPL-3.0-or-later
// Heap blocks described by a TKoArea, byte copies, and an object owning one block.
#pragma once

#include <cstdint>

#include "UKoArea.h"

// Byte operations; source first, destination second. A negative count raises EKoError.
class HKoMemory {
  public:
    HKoMemory() = delete;

    // The ranges must not overlap.
    static void Copy(const void* Source, void* Dest, int32_t Count);
    // The ranges may overlap.
    static void Move(const void* Source, void* Dest, int32_t Count);
    static void Zero(void* Dest, int32_t Count);
};

inline TKoArea MemArea(const void* Address, int32_t Size) {
    return MakeArea(Address, Size);
}
inline TKoArea MemAreaFromTo(const void* StartAddress, const void* EndAddress) {
    return AreaFromTo(reinterpret_cast<uintptr_t>(StartAddress),
                      reinterpret_cast<uintptr_t>(EndAddress));
}

// Size 0 gives {0, 0}; a negative size raises EKoError; an exhausted heap raises
// std::bad_alloc. The contents are not cleared.
TKoArea MemAlloc(int32_t Size);
// Frees the block when it has one; Block becomes {0, 0} in every case.
void MemFree(TKoArea& Block);
// Moves the block into a new one of NewSize bytes, keeping the common prefix. On failure
// Block is left as it was.
void MemResize(TKoArea& Block, int32_t NewSize);
inline uintptr_t MemEnd(const TKoArea& Block) {
    return AreaEnd(Block);
}
inline void MemZero(const TKoArea& Block) {
    HKoMemory::Zero(AreaData(Block), Block.Size);
}

// Owns one heap block and frees it on destruction.
class TKoMemChunk {
  public:
    TKoMemChunk() = default;
    // Takes ownership of Block; the caller must not free it afterwards.
    explicit TKoMemChunk(const TKoArea& Block) : block_(Block) {}
    static TKoMemChunk CreateSized(int32_t Size) { return TKoMemChunk(MemAlloc(Size)); }

    TKoMemChunk(TKoMemChunk&& other) noexcept : block_(other.block_) { other.block_ = {}; }
    TKoMemChunk& operator=(TKoMemChunk&& other) noexcept;
    TKoMemChunk(const TKoMemChunk&) = delete;
    TKoMemChunk& operator=(const TKoMemChunk&) = delete;
    ~TKoMemChunk() { MemFree(block_); }

    int32_t Size() const { return block_.Size; }
    uint8_t* Start() const { return AreaData(block_); }
    const TKoArea& Area() const { return block_; }

  private:
    TKoArea block_;
};
