// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "UKoMMIO.h"
#include "UKoStream.h"
#include "UKoWaveStream.h"
#include "streams/memory_stream.h"

namespace {

std::vector<uint8_t> iota(size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t(0));
    return v;
}

// Keeps a log of closes and destructions, to check the order a chain is taken down in.
class LoggingStream : public TKoStream {
  public:
    LoggingStream(std::string name, std::vector<std::string>& log, bool closes = true,
                  bool throws = false)
        : name_(std::move(name)), log_(log), closes_(closes), throws_(throws) {}
    ~LoggingStream() override { log_.push_back("~" + name_); }
    int32_t Read(const TKoArea& Area) override { return Area.Size > 0 ? 1 : 0; }
    bool Close() override {
        log_.push_back("close " + name_);
        if (throws_) throw EKoError(name_ + " failed");
        return closes_;
    }

  private:
    std::string name_;
    std::vector<std::string>& log_;
    bool closes_;
    bool throws_;
};

}  // namespace

TEST(Stream, BaseDefaultsAndSize) {
    TKoStream plain;
    uint8_t byte;
    EXPECT_EQ(plain.GetPosition(), -1);
    EXPECT_EQ(plain.GetFormat(), nullptr);
    EXPECT_EQ(plain.Read(MakeArea(&byte, 1)), -1);
    EXPECT_EQ(plain.Write(MakeArea(&byte, 1)), -1);
    EXPECT_FALSE(plain.Seek(SeekFromBeginning(0)));
    EXPECT_TRUE(plain.Close());
    EXPECT_FALSE(HKoStream::HasFormat(plain));

    TMemoryStream memory(iota(100));
    ASSERT_TRUE(memory.Seek(SeekFromBeginning(30)));
    EXPECT_EQ(memory.GetSize(), 100);
    EXPECT_EQ(memory.GetPosition(), 30) << "GetSize leaves the position where it was";
    EXPECT_EQ(&memory.AsStream(), &memory.AsStream());
}

TEST(Stream, SizeOfAStreamWithoutPositionIsUnknownWithoutSeeking) {
    TMemoryStream inner(iota(10));
    struct NoPosition : TKoProxyStream {
        using TKoProxyStream::TKoProxyStream;
        int64_t GetPosition() override { return -1; }
    } stream(inner);
    EXPECT_EQ(stream.GetSize(), -1);
    EXPECT_EQ(inner.seeks, 0);
}

TEST(Stream, SetFormatRaisesNamingTheClass) {
    TMemoryStream inner;
    TKoProxyStream proxy(inner);
    auto format = std::make_unique<TKoWaveStreamFormat>();
    try {
        proxy.SetFormat(format.get());
        FAIL() << "SetFormat must raise";
    } catch (const EKoError& error) {
        EXPECT_EQ(std::string(error.what()), "TKoProxyStreamCan't set a format in TKoStream");
    }
}

TEST(Stream, ProxyForwardsAndLeavesTheInnerStreamAlive) {
    TMemoryStream inner(iota(8));
    {
        TKoProxyStream proxy(inner);
        uint8_t got[4];
        ASSERT_TRUE(proxy.Seek(SeekFromBeginning(2)));
        EXPECT_EQ(proxy.Read(MakeArea(got, 4)), 4);
        EXPECT_EQ(got[0], 2);
        EXPECT_EQ(proxy.GetPosition(), 6);
        EXPECT_EQ(proxy.Write(MakeArea(got, 4)), 4);
    }
    EXPECT_EQ(inner.bytes.size(), 10u);
}

TEST(ChildStream, ReadsStayInsideTheWindow) {
    TMemoryStream parent(iota(100));
    TKoChildStream child(parent, 10, 20);
    std::vector<uint8_t> got(64);

    EXPECT_EQ(child.Read(MakeArea(got.data(), 5)), 5);
    EXPECT_EQ(got[0], 10);
    EXPECT_EQ(child.GetPosition(), 5);
    EXPECT_EQ(child.Read(MakeArea(got.data(), 64)), 15) << "at most the remainder";
    EXPECT_EQ(got[14], 29);
    const int seeks = parent.seeks, reads = parent.reads;
    EXPECT_EQ(child.Read(MakeArea(got.data(), 64)), 0);
    EXPECT_EQ(child.Read(MakeArea(got.data(), -1)), 0) << "a negative request has no room";
    EXPECT_EQ(parent.seeks, seeks) << "the end is found without the parent";
    EXPECT_EQ(parent.reads, reads);
    EXPECT_EQ(child.GetSize(), 20);
}

TEST(ChildStream, WritesGrowTheWindow) {
    TMemoryStream parent(std::vector<uint8_t>(4, 0xEE));
    TKoChildStream child(parent, 4, 0);
    const int seeks = parent.seeks;
    uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(child.Write(MakeArea(data, 0)), 0);
    EXPECT_EQ(parent.seeks, seeks) << "an empty write leaves the parent alone";
    EXPECT_EQ(child.Write(MakeArea(data, 6)), 6);
    EXPECT_EQ(child.Window().Size, 6);
    ASSERT_TRUE(child.Seek(SeekFromBeginning(2)));
    EXPECT_EQ(child.Write(MakeArea(data, 2)), 2);
    EXPECT_EQ(child.Window().Size, 6) << "rewriting inside does not shrink the window";
    EXPECT_EQ(parent.bytes, (std::vector<uint8_t>{0xEE, 0xEE, 0xEE, 0xEE, 1, 2, 1, 2, 5, 6}));
}

TEST(ChildStream, SeekRules) {
    struct Row {
        const char* name;
        TKoSeekRequest request;
        bool moves;
        int64_t position;  // after the seek, from position 4 in a window of 10
    } rows[] = {
        {"to the start", SeekFromBeginning(0), true, 0},
        {"to the end from the start", SeekFromBeginning(10), true, 10},
        {"past the end", SeekFromBeginning(11), false, 4},
        {"before the start", SeekFromBeginning(-1), false, 4},
        {"end", SeekFromEnd(0), true, 10},
        {"past the end from the end", SeekFromEnd(1), false, 4},
        {"back from the end", SeekFromEnd(-10), true, 0},
        {"too far back from the end", SeekFromEnd(-11), false, 4},
        {"forward", SeekFromCurrent(6), true, 10},
        {"too far forward", SeekFromCurrent(7), false, 4},
        {"back", SeekFromCurrent(-4), true, 0},
        {"too far back", SeekFromCurrent(-5), false, 4},
        {"beyond 4 GiB", SeekFromCurrent(int64_t(1) << 33), false, 4},
    };
    TMemoryStream parent(iota(20));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TKoChildStream child(parent, 5, 10);
        ASSERT_TRUE(child.Seek(SeekFromBeginning(4)));
        EXPECT_EQ(child.Seek(row.request), row.moves);
        EXPECT_EQ(child.GetPosition(), row.position);
    }
    TKoChildStream child(parent, 5, 10);
    EXPECT_THROW(child.Seek(TKoSeekRequest{0, TKoSeekOrigin(3)}), EKoError);
}

TEST(MMIOStream, SeekAnswersFalseWhereItCannotMove) {
    TMemoryStream backing(iota(20));
    auto stream = TKoMMIOStream::OpenStream(backing, momRead);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->Seek(SeekFromBeginning(4)));
    EXPECT_FALSE(stream->Seek(SeekFromCurrent(-5)));
    // The failed seek left the position at 4.
    ASSERT_TRUE(stream->Seek(SeekFromCurrent(-1)));
    uint8_t byte = 0;
    EXPECT_EQ(stream->Read(MakeArea(&byte, 1)), 1);
    EXPECT_EQ(byte, 3);
    EXPECT_THROW(stream->Seek(TKoSeekRequest{0, TKoSeekOrigin(3)}), EKoError);
    ASSERT_TRUE(stream->Close());
    EXPECT_FALSE(stream->Seek(SeekFromBeginning(0)));
}

TEST(CombinedStream, ForwardsToTheLastAndTakesDownOuterEndFirst) {
    std::vector<std::string> log;
    {
        std::vector<std::unique_ptr<TKoStream>> chain;
        chain.push_back(std::make_unique<LoggingStream>("file", log));
        auto middle = std::make_unique<TMemoryStream>(iota(4));
        TMemoryStream* last = middle.get();
        chain.push_back(std::make_unique<LoggingStream>("codec", log));
        chain.push_back(std::move(middle));
        TKoCombinedStream combined(std::move(chain));
        EXPECT_EQ(combined.Count(), 3u);
        uint8_t got[4];
        EXPECT_EQ(combined.Read(MakeArea(got, 4)), 4);
        EXPECT_EQ(last->position, 4);
        EXPECT_TRUE(combined.Seek(SeekFromBeginning(1)));
        EXPECT_EQ(combined.GetPosition(), 1);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"close codec", "close file", "~codec", "~file"}));
}

TEST(CombinedStream, CloseReportsFailureAfterClosingEveryMember) {
    std::vector<std::string> log;
    std::vector<std::unique_ptr<TKoStream>> chain;
    chain.push_back(std::make_unique<LoggingStream>("file", log, /*closes=*/false));
    chain.push_back(std::make_unique<LoggingStream>("codec", log));
    TKoCombinedStream combined(std::move(chain));
    EXPECT_FALSE(combined.Close());
    EXPECT_FALSE(combined.Close()) << "the answer stays";
    EXPECT_EQ(log, (std::vector<std::string>{"close codec", "close file"}));

    log.clear();
    std::vector<std::unique_ptr<TKoStream>> raising;
    raising.push_back(std::make_unique<LoggingStream>("file", log, true, /*throws=*/true));
    raising.push_back(std::make_unique<LoggingStream>("codec", log, true, /*throws=*/true));
    TKoCombinedStream both(std::move(raising));
    try {
        both.Close();
        FAIL() << "the first failure must come through";
    } catch (const EKoError& error) {
        EXPECT_EQ(std::string(error.what()), "codec failed");
    }
    EXPECT_EQ(log, (std::vector<std::string>{"close codec", "close file"}));
}

TEST(CombinedStream, EmptyChainRaises) {
    EXPECT_THROW(TKoCombinedStream(std::vector<std::unique_ptr<TKoStream>>{}), EKoError);
}

TEST(StreamAdapter, MapsTheCLibraryOrigins) {
    TMemoryStream memory(iota(10));
    TStream& adapter = memory.AsStream();
    EXPECT_EQ(adapter.Seek(-2, tsFromEnd), 8);
    EXPECT_EQ(adapter.Seek(-3, tsFromCurrent), 5);
    EXPECT_EQ(adapter.Seek(1, tsFromBeginning), 1);
    EXPECT_EQ(adapter.Seek(11, tsFromBeginning), -1);
    EXPECT_EQ(memory.position, 1);
    EXPECT_THROW(adapter.Seek(0, 3), EKoError);
    uint8_t got[3];
    EXPECT_EQ(adapter.Read(got, 3), 3);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(adapter.Write(got, 3), 3);
    EXPECT_EQ(memory.bytes[4], 1);
}
