// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "UKoThreadStream.h"
#include "pipe_test_streams.h"

namespace {

std::vector<int32_t> ReadSizes(TKoStream& stream, int32_t request, int calls, uint64_t& at) {
    std::vector<int32_t> sizes;
    std::vector<uint8_t> buffer(static_cast<size_t>(request));
    for (int i = 0; i < calls; ++i) {
        const int32_t n = stream.Read(MakeArea(buffer.data(), request));
        sizes.push_back(n);
        if (n > 0) {
            EXPECT_EQ(PatternMismatch(buffer.data(), size_t(n), at), size_t(n)) << "read " << i;
            at += uint64_t(n);
        }
    }
    return sizes;
}

int32_t WritePattern(TKoStream& stream, uint64_t from, int32_t count) {
    std::vector<uint8_t> bytes = PatternBytes(from, size_t(count));
    return stream.Write(MakeArea(bytes.data(), count));
}

TEST(ThreadStream, ReadAheadDeliversTheInputThenItsEnd) {
    struct Row {
        const char* name;
        int64_t inputSize;
        int32_t maxPerRead;  // short reads of the inner stream
        std::vector<int32_t> expected;
    } rows[] = {
        {"whole requests then the rest", 10000, 0, {4096, 4096, 1808, 0, 0}},
        {"inner reads shorter than the FIFO", 10000, 333, {4096, 4096, 1808, 0, 0}},
        {"empty input", 0, 0, {0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPatternSource source(row.inputSize, row.maxPerRead);
        auto stream = TKoThreadStream::CreateReadAhead(source, 1024);
        uint64_t at = 0;
        EXPECT_EQ(ReadSizes(*stream, 4096, int(row.expected.size()), at), row.expected);
        EXPECT_TRUE(stream->Close());
        EXPECT_EQ(source.closes, 0) << "the chain closes the inner stream, not the thread stream";
    }
}

TEST(ThreadStream, WriteBehindPassesEverythingOnBeforeItGoes) {
    for (bool explicitClose : {true, false}) {
        SCOPED_TRACE(explicitClose ? "Close" : "destructor");
        // The sink takes 97 bytes a call, so the 1,024-byte FIFO is full most of the time.
        TPatternSink sink(97);
        {
            auto stream = TKoThreadStream::CreateWriteBehind(sink, 1024);
            EXPECT_EQ(WritePattern(*stream, 0, 10000), 10000);
            EXPECT_EQ(WritePattern(*stream, 10000, 5), 5);
            if (explicitClose) {
                EXPECT_TRUE(stream->Close());
                EXPECT_EQ(sink.received, 10005);
                EXPECT_EQ(WritePattern(*stream, 10005, 5), -1) << "closed";
            }
        }
        EXPECT_EQ(sink.received, 10005);
        EXPECT_TRUE(sink.intact);
        EXPECT_EQ(sink.closes, 0);
    }
}

TEST(ThreadStream, StreamSurface) {
    TPatternSource source(100);
    TPatternSink sink;
    auto reader = TKoThreadStream::CreateReadAhead(source, 0);
    auto writer = TKoThreadStream::CreateWriteBehind(sink, 5000);
    EXPECT_EQ(reader->Capacity(), 1024);
    EXPECT_EQ(writer->Capacity(), 5000);
    for (TKoThreadStream* stream : {reader.get(), writer.get()}) {
        EXPECT_EQ(stream->GetPosition(), -1);
        EXPECT_FALSE(stream->Seek(SeekFromBeginning(0)));
        EXPECT_EQ(stream->GetFormat(), stream->Inner().GetFormat());
    }
    // Using the wrong direction would make the user a second producer or consumer of the FIFO.
    uint8_t byte = 0;
    EXPECT_EQ(reader->Write(MakeArea(&byte, 1)), -1);
    EXPECT_EQ(writer->Read(MakeArea(&byte, 1)), -1);
    EXPECT_EQ(reader->Read(MakeArea(&byte, 0)), 0);
}

TEST(ThreadStream, ReadAheadStoppedEarlyLeavesTheInnerStreamUsable) {
    TPatternSource source(1 << 20);
    {
        auto stream = TKoThreadStream::CreateReadAhead(source, 1024);
        uint8_t byte = 0;
        ASSERT_EQ(stream->Read(MakeArea(&byte, 1)), 1);
    }
    // The thread stopped at the first full FIFO, not at the end of the input.
    EXPECT_LE(source.GetPosition(), 2 * 1024 + 1);
    uint8_t next = 0;
    EXPECT_EQ(source.Read(MakeArea(&next, 1)), 1);
}

// A failing inner stream must never pass for a complete one: the data stop early and Close
// says so. A raised exception keeps its message.
TEST(ThreadStream, ReadAheadInnerFailureIsReported) {
    struct Row {
        const char* name;
        TFailure how;
        int64_t failAt;
    } rows[] = {{"read fails at once", TFailure::MinusOne, 0},
                {"read fails midway", TFailure::MinusOne, 5000},
                {"read raises midway", TFailure::Raise, 5000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPatternSource source(100000);
        source.FailAt(row.failAt, row.how);
        auto stream = TKoThreadStream::CreateReadAhead(source, 1024);
        uint64_t at = 0;
        std::vector<int32_t> sizes = ReadSizes(*stream, 100000, 2, at);
        EXPECT_EQ(sizes, (std::vector<int32_t>{int32_t(row.failAt), 0}));
        if (row.how == TFailure::Raise) {
            try {
                stream->Close();
                ADD_FAILURE() << "no exception";
            } catch (const EKoError& e) {
                EXPECT_EQ(std::string(e.what()), "source broke");
            }
        } else {
            EXPECT_FALSE(stream->Close());
        }
        EXPECT_FALSE(stream->Close()) << "the answer holds";
    }
}

TEST(ThreadStream, WriteBehindInnerFailureIsReported) {
    struct Row {
        const char* name;
        TFailure how;
        int64_t failAt;
        int32_t written;  // one Write of this many bytes
        bool shortWrite;  // whether that Write must come back short
    } rows[] = {
        // Far more than the FIFO holds: the writer is released by the failure.
        {"fails with -1 under a long write", TFailure::MinusOne, 5000, 200000, true},
        {"accepts nothing under a long write", TFailure::Zero, 5000, 200000, true},
        {"raises under a long write", TFailure::Raise, 5000, 200000, true},
        // Everything fits the FIFO before the sink fails: only Close can tell.
        {"fails after the write returned", TFailure::MinusOne, 100, 1000, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TPatternSink sink;
        sink.FailAt(row.failAt, row.how);
        auto stream = TKoThreadStream::CreateWriteBehind(sink, 1024);
        const int32_t n = WritePattern(*stream, 0, row.written);
        if (row.shortWrite) {
            EXPECT_LT(n, row.written);
            EXPECT_GE(n, 0);
        } else {
            EXPECT_EQ(n, row.written);
        }
        if (row.how == TFailure::Raise) {
            EXPECT_THROW(stream->Close(), EKoError);
        } else {
            EXPECT_FALSE(stream->Close());
        }
        EXPECT_EQ(sink.received, row.failAt);
        EXPECT_TRUE(sink.intact);
        // A later write goes nowhere and says so.
        EXPECT_EQ(WritePattern(*stream, 0, 10), -1);
    }
}

TEST(ThreadStream, WriteBehindFailureLetsTheDestructorReturn) {
    TPatternSink sink;
    sink.FailAt(3000, TFailure::MinusOne);
    {
        auto stream = TKoThreadStream::CreateWriteBehind(sink, 1024);
        WritePattern(*stream, 0, 100000);
        // No Close: the destructor must neither hang nor throw.
    }
    EXPECT_EQ(sink.received, 3000);
}

// Once the copy thread has failed, a write that still finds room in the FIFO must not pass for
// a successful one: those bytes would go nowhere.
TEST(ThreadStream, WriteBehindRefusesBytesAfterTheFailure) {
    TPatternSink sink;
    sink.FailAt(0, TFailure::MinusOne);
    auto stream = TKoThreadStream::CreateWriteBehind(sink, 1024);
    ASSERT_EQ(WritePattern(*stream, 0, 100), 100);
    while (!stream->Failed()) std::this_thread::yield();
    EXPECT_EQ(WritePattern(*stream, 100, 100), 0);
    EXPECT_FALSE(stream->Close());
}

// In a chain the thread stream is closed first and reports; the members below still close.
TEST(ThreadStream, ChainReportsTheFailureAndClosesTheInnerStream) {
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing sink" : "healthy sink");
        std::vector<std::unique_ptr<TKoStream>> members;
        members.push_back(std::make_unique<TPatternSink>(50));
        auto* sink = static_cast<TPatternSink*>(members.back().get());
        if (failing) sink->FailAt(2000, TFailure::MinusOne);
        members.push_back(TKoThreadStream::CreateWriteBehind(*sink, 1024));
        TKoCombinedStream chain(std::move(members));

        const int32_t n = WritePattern(chain, 0, 4000);
        EXPECT_EQ(n < 4000, failing);
        EXPECT_EQ(chain.Close(), !failing);
        EXPECT_EQ(sink->closes, 1);
        EXPECT_EQ(sink->received, failing ? 2000 : 4000);
    }
}

}  // namespace
