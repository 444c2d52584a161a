// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoMemory.h"

#include <cstring>
#include <new>

namespace {

void RequireCount(int32_t Count) {
    if (Count < 0) throw EKoError();
}

}  // namespace

// memcpy and friends may not be handed null pointers even for zero bytes.
void HKoMemory::Copy(const void* Source, void* Dest, int32_t Count) {
    RequireCount(Count);
    if (Count > 0) std::memcpy(Dest, Source, static_cast<size_t>(Count));
}

void HKoMemory::Move(const void* Source, void* Dest, int32_t Count) {
    RequireCount(Count);
    if (Count > 0) std::memmove(Dest, Source, static_cast<size_t>(Count));
}

void HKoMemory::Zero(void* Dest, int32_t Count) {
    RequireCount(Count);
    if (Count > 0) std::memset(Dest, 0, static_cast<size_t>(Count));
}

TKoArea MemAlloc(int32_t Size) {
    if (Size < 0) throw EKoError();
    if (Size == 0) return EmptyArea();
    return MakeArea(::operator new(static_cast<size_t>(Size)), Size);
}

void MemFree(TKoArea& Block) {
    if (Block.Start != 0 && Block.Size != 0) ::operator delete(AreaData(Block));
    Block = EmptyArea();
}

void MemResize(TKoArea& Block, int32_t NewSize) {
    TKoArea fresh = MemAlloc(NewSize);
    if (fresh.Start != 0 && Block.Start != 0) {
        const uint32_t oldSize = static_cast<uint32_t>(Block.Size);
        const uint32_t newSize = static_cast<uint32_t>(fresh.Size);
        HKoMemory::Copy(AreaData(Block), AreaData(fresh),
                        static_cast<int32_t>(oldSize < newSize ? oldSize : newSize));
    }
    MemFree(Block);
    Block = fresh;
}

TKoMemChunk& TKoMemChunk::operator=(TKoMemChunk&& other) noexcept {
    if (this != &other) {
        MemFree(block_);
        block_ = other.block_;
        other.block_ = {};
    }
    return *this;
}
