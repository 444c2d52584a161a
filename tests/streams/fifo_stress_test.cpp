// SPDX-License-Identifier: GPL-3.0-or-later
// A producer and a consumer moving many megabytes through FIFOs of several sizes with random
// request sizes and all four transfer kinds; every byte must arrive once and in order.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "UKoFIFO.h"
#include "UKoThreadStream.h"
#include "pipe_test_streams.h"

namespace {

// Sanitizers slow the byte loops down tenfold or more; the interleavings matter, not the bulk.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t kTotalBytes = 24 << 20;
#else
constexpr int64_t kTotalBytes = 200 << 20;
#endif

// Request sizes from a byte to a few times the capacity, with small ones common, so that both
// the full/empty waits and the wrap at the buffer end are hit often.
int32_t RandomSize(std::mt19937& random, int32_t capacity) {
    switch (random() % 4) {
        case 0:
            return int32_t(1 + random() % 16);
        case 1:
            return int32_t(1 + random() % uint32_t(capacity));
        default:
            return int32_t(1 + random() % uint32_t(3 * capacity));
    }
}

void Produce(TKoFIFO& fifo, int64_t total, uint32_t seed) {
    std::mt19937 random(seed);
    TPatternSource source(total);
    std::vector<uint8_t> block;
    int64_t at = 0;
    while (at < total) {
        const int32_t size =
            int32_t(std::min<int64_t>(RandomSize(random, fifo.Capacity()), total - at));
        int32_t n;
        if (random() % 2) {
            block = PatternBytes(uint64_t(at), size_t(size));
            n = fifo.PutMemory(MakeArea(block.data(), size));
        } else {
            source.Seek(SeekFromBeginning(at));
            n = fifo.FillFromStream(source, size);
        }
        ASSERT_GT(n, 0);
        ASSERT_LE(n, size);
        at += n;
    }
    fifo.End();
}

// Returns the bytes received; stops at the first byte out of order.
int64_t Consume(TKoFIFO& fifo, uint32_t seed) {
    std::mt19937 random(seed);
    TPatternSink sink;
    std::vector<uint8_t> block;
    int64_t at = 0;
    for (;;) {
        const int32_t size = RandomSize(random, fifo.Capacity());
        int32_t n;
        if (random() % 2) {
            block.resize(size_t(size));
            n = fifo.GetMemory(MakeArea(block.data(), size));
            if (n > 0 && PatternMismatch(block.data(), size_t(n), uint64_t(at)) != size_t(n)) {
                ADD_FAILURE() << "bytes out of order after " << at;
                fifo.End();  // releases the producer
                return at;
            }
        } else {
            sink.received = at;
            n = fifo.DrainToStream(sink, size);
            if (!sink.intact) {
                ADD_FAILURE() << "bytes out of order after " << at;
                fifo.End();  // releases the producer
                return at;
            }
        }
        if (n == 0) return at;
        at += n;
    }
}

TEST(FIFOStress, EveryByteArrivesOnceAndInOrder) {
    const int32_t capacities[] = {1024, 1500, 4099, 65536, 1 << 20};
    const int64_t each = kTotalBytes / int64_t(std::size(capacities));
    uint32_t seed = 1;
    for (int32_t capacity : capacities) {
        SCOPED_TRACE(capacity);
        TKoFIFO fifo(capacity);
        int64_t received = 0;
        std::thread consumer([&, seed] { received = Consume(fifo, seed + 100); });
        Produce(fifo, each, seed);
        fifo.End();  // also when Produce stopped on a failed assertion
        consumer.join();
        EXPECT_EQ(received, each);
        ++seed;
    }
}

// The same through a pair of thread streams: write-behind into a slow sink, read-ahead from a
// source with short reads, the user side with random request sizes.
TEST(FIFOStress, ThreadStreamsKeepEveryByteInOrder) {
    const int64_t total = kTotalBytes / 8;
    std::mt19937 random(7);
    {
        TPatternSink sink(3000);
        auto writer = TKoThreadStream::CreateWriteBehind(sink, 1024);
        std::vector<uint8_t> block;
        for (int64_t at = 0; at < total;) {
            const int32_t size = int32_t(std::min<int64_t>(RandomSize(random, 1024), total - at));
            block = PatternBytes(uint64_t(at), size_t(size));
            ASSERT_EQ(writer->Write(MakeArea(block.data(), size)), size);
            at += size;
        }
        EXPECT_TRUE(writer->Close());
        EXPECT_EQ(sink.received, total);
        EXPECT_TRUE(sink.intact);
    }
    {
        TPatternSource source(total, 777);
        auto reader = TKoThreadStream::CreateReadAhead(source, 4096);
        std::vector<uint8_t> block;
        int64_t at = 0;
        for (;;) {
            const int32_t size = RandomSize(random, 4096);
            block.resize(size_t(size));
            const int32_t n = reader->Read(MakeArea(block.data(), size));
            ASSERT_GE(n, 0);
            ASSERT_EQ(PatternMismatch(block.data(), size_t(n), uint64_t(at)), size_t(n));
            at += n;
            // Only the last read of the input may come back short.
            if (n < size) break;
        }
        EXPECT_EQ(at, total);
        EXPECT_EQ(reader->Read(MakeArea(block.data(), 1)), 0);
        EXPECT_TRUE(reader->Close());
    }
}

}  // namespace
