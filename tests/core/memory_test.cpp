// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "UKoMemory.h"

namespace {

TEST(Memory, ResizeKeepsCommonPrefix) {
    TKoArea block = MemAlloc(4);
    const uint8_t values[] = {1, 2, 3, 4};
    HKoMemory::Copy(values, AreaData(block), 4);

    TKoArea grown = block;
    MemResize(grown, 6);
    EXPECT_EQ(grown.Size, 6);
    EXPECT_EQ(std::memcmp(AreaData(grown), values, 4), 0);

    MemResize(grown, 2);
    ASSERT_EQ(grown.Size, 2);
    EXPECT_EQ(AreaData(grown)[0], 1);
    EXPECT_EQ(AreaData(grown)[1], 2);

    MemResize(grown, 0);
    EXPECT_EQ(grown, EmptyArea());
    MemResize(grown, 3);  // from no block at all
    EXPECT_EQ(grown.Size, 3);
    MemFree(grown);
    EXPECT_EQ(grown, EmptyArea());
    MemFree(grown);  // freeing no block does nothing
}

TEST(Memory, RejectsNegativeSizesAndCounts) {
    EXPECT_THROW(MemAlloc(-1), EKoError);
    TKoArea block = MemAlloc(8);
    const TKoArea before = block;
    EXPECT_THROW(MemResize(block, -8), EKoError);
    EXPECT_EQ(block, before) << "a failed resize keeps the old block";
    EXPECT_THROW(HKoMemory::Copy(AreaData(block), AreaData(block), -1), EKoError);
    EXPECT_THROW(HKoMemory::Zero(AreaData(block), -1), EKoError);
    MemFree(block);
    // Zero counts are fine even without a buffer.
    HKoMemory::Copy(nullptr, nullptr, 0);
    HKoMemory::Zero(nullptr, 0);
    EXPECT_EQ(MemAlloc(0), EmptyArea());
}

TEST(Memory, MoveHandlesOverlap) {
    uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    HKoMemory::Move(bytes + 2, bytes, 4);  // slide the rest to the front
    const uint8_t front[] = {3, 4, 5, 6, 5, 6};
    EXPECT_EQ(std::memcmp(bytes, front, 6), 0);
    HKoMemory::Move(bytes, bytes + 1, 5);
    const uint8_t back[] = {3, 3, 4, 5, 6, 5};
    EXPECT_EQ(std::memcmp(bytes, back, 6), 0);

    TKoArea area = MemArea(bytes, 6);
    MemZero(area);
    EXPECT_EQ(std::count(bytes, bytes + 6, 0), 6);
    EXPECT_EQ(MemEnd(area), reinterpret_cast<uintptr_t>(bytes + 6));
    EXPECT_EQ(MemAreaFromTo(bytes + 1, bytes + 4), MemArea(bytes + 1, 3));
}

TEST(Memory, ChunkOwnsItsBlock) {
    TKoMemChunk chunk = TKoMemChunk::CreateSized(16);
    EXPECT_EQ(chunk.Size(), 16);
    ASSERT_NE(chunk.Start(), nullptr);
    chunk.Start()[15] = 7;

    TKoMemChunk moved = std::move(chunk);
    EXPECT_EQ(chunk.Size(), 0);
    EXPECT_EQ(moved.Start()[15], 7);
    moved = TKoMemChunk(MemAlloc(4));  // frees the old block (checked by the sanitizer)
    EXPECT_EQ(moved.Size(), 4);
    EXPECT_EQ(TKoMemChunk::CreateSized(0).Start(), nullptr);
}

}  // namespace
