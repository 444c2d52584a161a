// SPDX-License-Identifier: GPL-3.0-or-later
// Chains built with Threaded on: the thread stage on top, sized by BufferTime, the same bytes
// as without it, and failures of the stages below it reported rather than lost.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "UKoThreadStream.h"
#include "streams/factory_util.h"

using namespace convtest;

namespace {

// A memory stream with a format whose reads fail from a given position on (a bad sector).
class TFlakyFormatStream : public TFormatStream {
  public:
    using TFormatStream::TFormatStream;
    int64_t readLimit = -1;

    int32_t Read(const TKoArea& Area) override {
        if (readLimit < 0) return TFormatStream::Read(Area);
        if (position >= readLimit) return -1;
        return TFormatStream::Read(
            MakeArea(Area.Start, int32_t(std::min<int64_t>(Area.Size, readLimit - position))));
    }
};

struct ChainRun {
    std::vector<uint8_t> bytes;  // what the read chain delivered, or what reached the bottom
    bool transfersOk = true;     // every Read/Write did what was asked
    bool closeOk = false;
};

const auto kPcm = [] { return TKoWaveFormat::CreatePCM(22050, 16, 2); };
const std::vector<uint8_t> kTone = AsBytes(Sine16(22050, 2, 22050 * 3));  // 264,600 bytes

// Reads the tone through a read chain over a stream that reports its format.
ChainRun ReadThrough(bool threaded, const TKoWaveFormat* wanted, int64_t readLimit) {
    TFlakyFormatStream bottom(*kPcm(), kTone);
    bottom.readLimit = readLimit;
    TKoWaveStreamFactory factory;
    factory.Threaded = threaded;
    factory.BufferTime = 1000;
    if (wanted) factory.SetWantedFormat(*wanted);
    TKoReadStreamFactory reads(bottom);
    auto chain = factory.BuildReadChain(reads);
    EXPECT_TRUE(chain);
    if (!chain) return {};
    ChainRun run;
    bool failed = false;
    run.bytes = ReadInPieces(*chain, &failed);
    run.transfersOk = !failed;
    try {
        run.closeOk = chain->Close();
    } catch (const std::exception&) {
        run.closeOk = false;
    }
    return run;
}

// Writes the tone through a write chain into a stream that reports the file format.
ChainRun WriteThrough(bool threaded, const TKoWaveFormat* wanted, int64_t writeLimit) {
    auto source = TKoWaveStreamFormat::CreateForFormat(kPcm().get());
    TFormatStream bottom(wanted ? *wanted : *kPcm());
    bottom.writeLimit = writeLimit;
    ChainRun run;
    {
        TKoWaveStreamFactory factory;
        factory.Threaded = threaded;
        factory.BufferTime = 1000;
        if (wanted) factory.SetWantedFormat(*wanted);
        TKoWriteStreamFactory writes(bottom);
        auto chain = factory.BuildWriteChain(writes, *source);
        EXPECT_TRUE(chain);
        if (!chain) return {};
        run.transfersOk = WriteInPieces(*chain, kTone);
        try {
            run.closeOk = chain->Close();
        } catch (const std::exception&) {
            run.closeOk = false;
        }
    }
    run.bytes = bottom.bytes;
    return run;
}

struct Row {
    const char* name;
    bool write;
    std::unique_ptr<TKoWaveFormat> (*wanted)();  // nullptr: no conversion
};

std::unique_ptr<TKoWaveFormat> NoFormat() {
    return nullptr;
}
std::unique_ptr<TKoWaveFormat> Mulaw() {
    return Enumerated(WAVE_FORMAT_MULAW, 22050, 2);
}
std::unique_ptr<TKoWaveFormat> Ima() {
    return Enumerated(WAVE_FORMAT_IMA_ADPCM, 22050, 2);
}

const Row kRows[] = {
    {"read, no conversion", false, NoFormat},
    {"read through a converter", false, Mulaw},
    {"write, no conversion", true, NoFormat},
    {"write through a converter", true, Ima},
};

ChainRun Through(const Row& row, bool threaded, int64_t limit) {
    auto wanted = row.wanted();
    return row.write ? WriteThrough(threaded, wanted.get(), limit)
                     : ReadThrough(threaded, wanted.get(), limit);
}

TEST(ThreadedChain, DeliversTheSameBytesAsAnUnthreadedOne) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        const ChainRun plain = Through(row, false, -1);
        const ChainRun threaded = Through(row, true, -1);
        EXPECT_TRUE(plain.transfersOk && plain.closeOk);
        EXPECT_TRUE(threaded.transfersOk);
        EXPECT_TRUE(threaded.closeOk);
        EXPECT_GT(threaded.bytes.size(), 1000u);
        EXPECT_TRUE(threaded.bytes == plain.bytes);
    }
}

// The limits lie inside what every row moves (the IMA file is about 67,000 bytes). Whether a
// failure also shows as a short transfer depends on what the FIFO held at that
// moment; Close must report it in every case.
TEST(ThreadedChain, FailuresBelowTheThreadStageAreReported) {
    for (const Row& row : kRows) {
        for (int64_t limit : {int64_t(0), int64_t(5000), int64_t(40000)}) {
            SCOPED_TRACE(std::string(row.name) + ", failing after " + std::to_string(limit));
            const ChainRun threaded = Through(row, true, limit);
            EXPECT_FALSE(threaded.transfersOk && threaded.closeOk) << "the failure was hidden";
            EXPECT_FALSE(threaded.closeOk);
            if (!row.write) {
                const ChainRun plain = Through(row, false, -1);
                EXPECT_LT(threaded.bytes.size(), plain.bytes.size());
            }
        }
    }
}

TEST(ThreadedChain, ThreadStageOnTopSizedByBufferTime) {
    struct SizeRow {
        const char* name;
        int32_t bufferTime;
        int32_t capacity;  // for 44,100 Hz 16-bit stereo
    } sizes[] = {{"default three seconds", 3000, 529200},
                 {"ten milliseconds", 10, 1764},
                 {"below the FIFO's floor", 1, 1024}};
    auto pcm = TKoWaveFormat::CreatePCM(44100, 16, 2);
    auto source = TKoWaveStreamFormat::CreateForFormat(pcm.get());
    for (const SizeRow& size : sizes) {
        for (bool write : {false, true}) {
            SCOPED_TRACE(std::string(size.name) + (write ? ", write" : ", read"));
            TFormatStream bottom(*pcm);
            TKoWaveStreamFactory factory;
            factory.Threaded = true;
            factory.BufferTime = size.bufferTime;
            TKoReadStreamFactory reads(bottom);
            TKoWriteStreamFactory writes(bottom);
            auto chain =
                write ? factory.BuildWriteChain(writes, *source) : factory.BuildReadChain(reads);
            ASSERT_TRUE(chain);
            auto* combined = dynamic_cast<TKoCombinedStream*>(chain.get());
            ASSERT_TRUE(combined);
            auto* top = dynamic_cast<TKoThreadStream*>(&combined->Member(combined->Count() - 1));
            ASSERT_TRUE(top);
            EXPECT_EQ(top->Direction(),
                      write ? TKoThreadDirection::WriteBehind : TKoThreadDirection::ReadAhead);
            EXPECT_EQ(top->Capacity(), size.capacity);
            EXPECT_EQ(chain->GetFormat(), top->Inner().GetFormat());
            EXPECT_TRUE(chain->Close());
        }
    }
}

}  // namespace
