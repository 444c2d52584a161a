// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "UKoFIFO.h"
#include "pipe_test_streams.h"

namespace {

// Opens the internal steps for the tests that need a state the public calls never produce.
class TOpenFIFO : public TKoFIFO {
  public:
    using TKoFIFO::DataEvent;
    using TKoFIFO::EndEvent;
    using TKoFIFO::SpaceEvent;
    using TKoFIFO::TKoFIFO;
    using TKoFIFO::WaitForData;
    using TKoFIFO::WaitForSpace;
};

int32_t Put(TKoFIFO& fifo, uint64_t from, int32_t count) {
    std::vector<uint8_t> bytes = PatternBytes(from, size_t(count));
    return fifo.PutMemory(MakeArea(bytes.data(), count));
}

// Gets up to `count` bytes and checks they continue the pattern at `from`.
int32_t GetChecked(TKoFIFO& fifo, uint64_t from, int32_t count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count));
    const int32_t n = fifo.GetMemory(MakeArea(bytes.data(), count));
    EXPECT_EQ(PatternMismatch(bytes.data(), size_t(std::max(n, 0)), from), size_t(std::max(n, 0)));
    return n;
}

// Lets a blocked call reach its wait; the tests never depend on this being long enough.
void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

TEST(FIFO, CapacityHasAFloorOf1024) {
    struct Row {
        const char* name;
        int32_t asked, expected;
    } rows[] = {{"zero", 0, 1024},
                {"small", 100, 1024},
                {"negative", -5, 1024},
                {"exact floor", 1024, 1024},
                {"larger", 4096, 4096}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKoFIFO fifo(row.asked);
        EXPECT_EQ(fifo.Capacity(), row.expected);
        // All of it is usable.
        EXPECT_EQ(Put(fifo, 0, row.expected + 10), row.expected);
    }
}

TEST(FIFO, WrapsAroundTheBufferEndKeepingOrder) {
    TKoFIFO fifo(0);
    ASSERT_EQ(Put(fifo, 0, 1000), 1000);
    ASSERT_EQ(GetChecked(fifo, 0, 900), 900);
    // 24 bytes fit at the end of the buffer and 900 at its start.
    ASSERT_EQ(Put(fifo, 1000, 1000), 924);
    EXPECT_EQ(fifo.FilledSize(), 1024);
    EXPECT_EQ(GetChecked(fifo, 900, 1100), 1024);
    EXPECT_EQ(fifo.FilledSize(), 0);
}

TEST(FIFO, EndedFifoHandsOutWhatIsLeftThenNothing) {
    TKoFIFO fifo(0);
    ASSERT_EQ(Put(fifo, 0, 600), 600);
    fifo.End();
    // A producer with room still adds bytes after the end.
    EXPECT_EQ(Put(fifo, 600, 600), 424);
    // Full and ended: no wait.
    EXPECT_EQ(Put(fifo, 1024, 10), 0);
    EXPECT_EQ(GetChecked(fifo, 0, 1000), 1000);
    EXPECT_EQ(GetChecked(fifo, 1000, 1000), 24);
    // Empty and ended: no wait, on every later call.
    EXPECT_EQ(GetChecked(fifo, 0, 10), 0);
    EXPECT_EQ(GetChecked(fifo, 0, 10), 0);
}

TEST(FIFO, ProducerAddingNothingEndsTheFifo) {
    TKoFIFO fifo(0);
    uint8_t byte = 0;
    EXPECT_EQ(fifo.PutMemory(MakeArea(&byte, 0)), 0);
    EXPECT_EQ(GetChecked(fifo, 0, 10), 0);  // would block for ever if the FIFO were open
}

TEST(FIFO, FullPutWaitsForTheConsumerOrTheEnd) {
    for (bool byEnd : {false, true}) {
        SCOPED_TRACE(byEnd ? "released by the end" : "released by a get");
        TKoFIFO fifo(0);
        ASSERT_EQ(Put(fifo, 0, 1024), 1024);
        std::atomic<int32_t> result{-100};
        std::thread producer([&] { result = Put(fifo, 1024, 100); });
        Pause();
        EXPECT_EQ(result.load(), -100) << "a put on a full FIFO must wait";
        if (byEnd)
            fifo.End();
        else
            EXPECT_EQ(GetChecked(fifo, 0, 50), 50);
        producer.join();
        EXPECT_EQ(result.load(), byEnd ? 0 : 50);
    }
}

TEST(FIFO, EmptyGetWaitsForTheProducerOrTheEnd) {
    for (bool byEnd : {false, true}) {
        SCOPED_TRACE(byEnd ? "released by the end" : "released by a put");
        TKoFIFO fifo(0);
        std::atomic<int32_t> result{-100};
        std::thread consumer([&] { result = GetChecked(fifo, 0, 100); });
        Pause();
        EXPECT_EQ(result.load(), -100) << "a get on an empty FIFO must wait";
        if (byEnd)
            fifo.End();
        else
            EXPECT_EQ(Put(fifo, 0, 30), 30);
        consumer.join();
        EXPECT_EQ(result.load(), byEnd ? 0 : 30);
    }
}

TEST(FIFO, RemovingNothingRaisesAndChangesNothing) {
    // An empty area, and sinks that accept nothing in either of the two ways a stream can say so.
    struct Row {
        const char* name;
        TFailure sinkFailure;  // None: GetMemory with an empty area
    } rows[] = {{"empty area", TFailure::None},
                {"write fails", TFailure::MinusOne},
                {"write takes nothing", TFailure::Zero}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKoFIFO fifo(0);
        ASSERT_EQ(Put(fifo, 0, 100), 100);
        try {
            if (row.sinkFailure == TFailure::None) {
                uint8_t byte;
                fifo.GetMemory(MakeArea(&byte, 0));
            } else {
                TPatternSink sink;
                sink.FailAt(0, row.sinkFailure);
                fifo.DrainToStream(sink, 1024);
            }
            ADD_FAILURE() << "no error";
        } catch (const EKoError& e) {
            EXPECT_EQ(std::string(e.what()), "TKoFIFO.Consumed(0)");
        }
        EXPECT_EQ(fifo.FilledSize(), 100);
        EXPECT_EQ(GetChecked(fifo, 0, 1000), 100);
    }
}

TEST(FIFO, StreamTransfersUseAtMostTwoCallsAndTheLimit) {
    struct Row {
        const char* name;
        int32_t limit, maxPerCall;
        int32_t expected, expectedCalls;
    } rows[] = {
        // Free space after the set-up: 24 bytes at the end, 900 at the start.
        {"both pieces", 5000, 0, 924, 2},
        {"limit ends in the second piece", 500, 0, 500, 2},
        {"limit inside the first piece", 10, 0, 10, 1},
        // A short first transfer means the stream has no more for now: no second call.
        {"short first transfer", 5000, 20, 20, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKoFIFO fifo(0);
        ASSERT_EQ(Put(fifo, 0, 1000), 1000);
        ASSERT_EQ(GetChecked(fifo, 0, 900), 900);

        TPatternSource source(1 << 20, row.maxPerCall);
        EXPECT_EQ(fifo.FillFromStream(source, row.limit), row.expected);
        EXPECT_EQ(source.reads, row.expectedCalls);

        // Take the set-up's bytes out; the source's bytes now wrap the same way when drained.
        ASSERT_EQ(GetChecked(fifo, 900, 100), 100);
        TPatternSink sink(row.maxPerCall);
        const int32_t drained = fifo.DrainToStream(sink, row.limit);
        EXPECT_EQ(drained, std::min(row.expected, row.maxPerCall ? row.maxPerCall : row.limit));
        EXPECT_TRUE(sink.intact);
        EXPECT_EQ(fifo.FilledSize(), row.expected - drained);
    }
}

TEST(FIFO, InputEndOrFailureEndsTheFifo) {
    for (TFailure how : {TFailure::None, TFailure::MinusOne}) {
        SCOPED_TRACE(how == TFailure::None ? "end of input" : "read failure");
        TKoFIFO fifo(0);
        TPatternSource source(how == TFailure::None ? 0 : 1000);
        source.FailAt(0, how);
        EXPECT_EQ(fifo.FillFromStream(source, 1024), 0);
        EXPECT_EQ(GetChecked(fifo, 0, 10), 0);
    }
}

TEST(FIFO, StreamClaimingMoreThanAskedIsRefused) {
    class TBoaster : public TKoStream {
      public:
        int32_t Read(const TKoArea& Area) override { return Area.Size + 1; }
        int32_t Write(const TKoArea& Area) override { return Area.Size + 1; }
    } boaster;
    TKoFIFO fifo(0);
    EXPECT_THROW(fifo.FillFromStream(boaster, 100), EKoError);
    EXPECT_EQ(fifo.FilledSize(), 0);
    ASSERT_EQ(Put(fifo, 0, 10), 10);
    EXPECT_THROW(fifo.DrainToStream(boaster, 100), EKoError);
    EXPECT_EQ(fifo.FilledSize(), 10);
}

// The end beats free space for the producer, data beat the end for the consumer. Only a test
// can signal both events of a pair with the buffer in the state that makes the wait happen.
TEST(FIFO, WaitTieBreaks) {
    TOpenFIFO full(0);
    ASSERT_EQ(Put(full, 0, 1024), 1024);
    full.SpaceEvent().Signal();
    full.EndEvent().Signal();
    EXPECT_FALSE(full.WaitForSpace());

    TOpenFIFO empty(0);
    empty.DataEvent().Signal();
    empty.EndEvent().Signal();
    EXPECT_TRUE(empty.WaitForData());
}

}  // namespace
