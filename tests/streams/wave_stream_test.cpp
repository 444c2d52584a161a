// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <random>

#include "UKoWaveStream.h"
#include "streams/memory_stream.h"
#include "streams/wave_test_util.h"

namespace {

// A non-PCM format with the given extra bytes (the codec manager would fill these in).
std::unique_ptr<TKoWaveFormat> codecFormat(uint16_t tag, uint16_t align, const Bytes& extra) {
    auto format = std::make_unique<TKoWaveFormat>(int32_t(18 + extra.size()));
    WAVEFORMATEX* record = format->Data();
    record->wFormatTag = tag;
    record->nChannels = 1;
    record->nSamplesPerSec = 8000;
    record->nAvgBytesPerSec = 4055;
    record->nBlockAlign = align;
    record->wBitsPerSample = 4;
    record->cbSize = uint16_t(extra.size());
    std::copy(extra.begin(), extra.end(), reinterpret_cast<uint8_t*>(record) + 18);
    format->MarkComplete();
    return format;
}

Bytes codecFmtPayload(uint16_t tag, uint16_t align, const Bytes& extra) {
    Bytes out;
    appendLe(out, tag, 2);
    appendLe(out, 1, 2);
    appendLe(out, 8000, 4);
    appendLe(out, 4055, 4);
    appendLe(out, align, 2);
    appendLe(out, 4, 2);
    appendLe(out, extra.size(), 2);
    return out + extra;
}

}  // namespace

// The exact bytes of written files: an 18-byte PCM `fmt `, `fact` only for a non-zero count,
// pad bytes after odd chunks other than `data`, and sizes patched by Close; by name and over a
// stream alike. Odd audio is evened inside `data` (a frame of silence, or a zero byte after
// the blocks of a codec), so that no pad byte ends the file; `fact` keeps the true count.
TEST(WaveWriter, WritesTheFileLayout) {
    const Bytes ima = {0xF9, 0x01};
    struct Row {
        const char* name;
        std::unique_ptr<TKoWaveStreamFormat> format;
        Bytes data;
        Bytes expected;
    } rows[] = {
        {"PCM without count: data header at 38", pcmStreamFormat(44100, 16, 2, 0), pattern(8),
         riff("WAVE", chunk("fmt ", fmtRecord(1, 2, 44100, 16)) + chunk("data", pattern(8)))},
        {"8-bit PCM with count and odd data: one more frame of 0x80",
         pcmStreamFormat(8000, 8, 1, 5), pattern(5),
         riff("WAVE", chunk("fmt ", fmtRecord(1, 1, 8000, 8)) + factChunk(5) +
                          chunk("data", pattern(5) + Bytes{0x80}))},
        {"24-bit mono, odd frame count: one more frame of zeros", pcmStreamFormat(8000, 24, 1, 0),
         pattern(9),
         riff("WAVE", chunk("fmt ", fmtRecord(1, 1, 8000, 24)) +
                          chunk("data", pattern(9) + Bytes{0, 0, 0}))},
        {"24-bit stereo stays as it is", pcmStreamFormat(8000, 24, 2, 0), pattern(12),
         riff("WAVE", chunk("fmt ", fmtRecord(1, 2, 8000, 24)) + chunk("data", pattern(12)))},
        {"no data at all",
         pcmStreamFormat(8000, 16, 1, 0),
         {},
         riff("WAVE", chunk("fmt ", fmtRecord(1, 1, 8000, 16)) + chunk("data", {}))},
        {"codec format with extra bytes and count",
         TKoWaveStreamFormat::CreateForFormat(codecFormat(17, 256, ima).get()), pattern(256),
         riff("WAVE", chunk("fmt ", codecFmtPayload(17, 256, ima)) + factChunk(505) +
                          chunk("data", pattern(256)))},
        {"odd format record", TKoWaveStreamFormat::CreateForFormat(codecFormat(0x55, 1, {7}).get()),
         pattern(3),
         riff("WAVE",
              chunk("fmt ", codecFmtPayload(0x55, 1, {7})) + chunk("data", pattern(3) + Bytes{0}))},
        {"A-law: the code of sample 0",
         TKoWaveStreamFormat::CreateForFormat(codecFormat(6, 1, {}).get()), pattern(7),
         riff("WAVE",
              chunk("fmt ", codecFmtPayload(6, 1, {})) + chunk("data", pattern(7) + Bytes{0xD5}))},
        {"u-law: the code of sample 0",
         TKoWaveStreamFormat::CreateForFormat(codecFormat(7, 1, {}).get()), pattern(7),
         riff("WAVE",
              chunk("fmt ", codecFmtPayload(7, 1, {})) + chunk("data", pattern(7) + Bytes{0xFF}))},
        {"GSM blocks of 65 bytes: a zero byte after the last",
         TKoWaveStreamFormat::CreateForFormat(codecFormat(49, 65, {0x40, 0x01}).get()), pattern(65),
         riff("WAVE", chunk("fmt ", codecFmtPayload(49, 65, {0x40, 0x01})) +
                          chunk("data", pattern(65) + Bytes{0}))},
    };
    TKoWaveFact count(505);
    rows[5].format->AssignFact(&count);

    TempDir dir;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = dir.file("out.wav");
        TMemoryStream memory;
        auto byName = TKoMMIOWaveStream::CreateWriteFile(name, *row.format);
        auto overStream = TKoMMIOWaveStream::CreateWriteStream(memory, *row.format);
        ASSERT_TRUE(byName && overStream);
        for (TKoMMIOWaveStream* s : {byName.get(), overStream.get()}) {
            EXPECT_EQ(s->GetPosition(), 0);
            // Written in two pieces to cross a write boundary.
            const int32_t half = int32_t(row.data.size() / 2);
            EXPECT_EQ(s->Write(MakeArea(row.data.data(), half)), half);
            const int32_t rest = int32_t(row.data.size()) - half;
            EXPECT_EQ(s->Write(MakeArea(row.data.data() + half, rest)), rest);
            EXPECT_EQ(s->GetSize(), int64_t(row.data.size()));
            EXPECT_TRUE(s->Close());
        }
        EXPECT_EQ(readFile(name), row.expected);
        EXPECT_EQ(memory.bytes, row.expected);
    }
}

TEST(WaveReader, ReadsLayoutsAndRefusesWhatItCannotRead) {
    const Bytes audio = pattern(40);
    const Bytes fmt = chunk("fmt ", pcmFmt());
    const Bytes data = chunk("data", audio);
    const Bytes list = chunk("LIST", bytesOf("INFO") + chunk("ISFT", bytesOf("tool")));
    Bytes lyingExtra = fmtRecord(17, 1, 8000, 4, {1, 2});
    lyingExtra[16] = 30;
    // 17 bytes: half of cbSize is there, and it claims 22 extra bytes.
    Bytes halfExtraSize = fmtRecord(0xFFFE, 2, 48000, 16, {}, true);
    halfExtraSize[16] = 22;
    halfExtraSize.resize(17);
    Bytes unpadded = riff("WAVE", chunk("fmt ", pcmFmt(1, 8000, 8)) + chunk("data", pattern(41)));
    unpadded.pop_back();
    struct Row {
        const char* name;
        Bytes image;
        bool opens;
        uint32_t samples = 0;
        uint32_t tag = 1;
        Bytes audio = {};
    } rows[] = {
        {"16-byte PCM record, no fact: count from the block size", riff("WAVE", fmt + data), true,
         10, 1, audio},
        {"18-byte PCM record", riff("WAVE", chunk("fmt ", fmtRecord(1, 2, 44100, 16)) + data), true,
         10, 1, audio},
        {"LIST chunks before, between and after", riff("WAVE", list + fmt + list + data + list),
         true, 10, 1, audio},
        {"odd chunk with its pad byte before the data",
         riff("WAVE", fmt + chunk("odd ", pattern(3)) + data), true, 10, 1, audio},
        {"fact chunk wins over the block size", riff("WAVE", fmt + factChunk(7) + data), true, 7, 1,
         audio},
        {"fact of 0 stays 0", riff("WAVE", fmt + factChunk(0) + data), true, 0, 1, audio},
        {"fact shorter than 4 bytes is ignored",
         riff("WAVE", fmt + chunk("fact", pattern(3)) + data), true, 10, 1, audio},
        {"non-PCM without fact has no count",
         riff("WAVE", chunk("fmt ", fmtRecord(3, 1, 8000, 32)) + data), true, 0, 3, audio},
        {"PCM with less than 8 bits: no count, no fault",
         riff("WAVE", chunk("fmt ", pcmFmt(1, 8000, 4)) + data), true, 0, 1, audio},
        {"PCM with no channels: no count, no fault",
         riff("WAVE", chunk("fmt ", pcmFmt(0, 8000, 16)) + data), true, 0, 1, audio},
        {"empty data chunk at the very end", riff("WAVE", fmt + chunk("data", {})), true, 0, 1, {}},
        {"data claims more than the file holds",
         riff("WAVE", fmt + chunkWithSize("data", 1000, audio)), true, 250, 1, audio},
        {"RIFF size claims more than the file holds", riff("WAVE", fmt + data, 100000), true, 10, 1,
         audio},
        {"fmt, data, fact", riff("WAVE", fmt + data + factChunk(7)), true, 7, 1, audio},
        {"fmt, data, LIST, fact", riff("WAVE", fmt + data + list + factChunk(7)), true, 7, 1,
         audio},
        {"odd data with its pad byte at the end",
         riff("WAVE", chunk("fmt ", pcmFmt(1, 8000, 8)) + chunk("data", pattern(41))), true, 41, 1,
         pattern(41)},
        {"odd data without a pad byte at the end", unpadded, true, 41, 1, pattern(41)},
        {"no data chunk", riff("WAVE", fmt + list), false},
        {"no fmt chunk", riff("WAVE", data), false},
        {"fmt after data", riff("WAVE", data + fmt), false},
        {"fmt shorter than its size says", riff("WAVE", chunkWithSize("fmt ", 40, pcmFmt())),
         false},
        {"fmt too short for a record", riff("WAVE", chunk("fmt ", pattern(6)) + data), false},
        {"cbSize claims more than the fmt chunk holds",
         riff("WAVE", chunk("fmt ", lyingExtra) + data), false},
        {"cbSize cut in half", riff("WAVE", chunk("fmt ", halfExtraSize) + data), false},
        {"RIFF size smaller than its chunks", riff("WAVE", fmt + data, 30), false},
        {"form type is not WAVE", riff("AVI ", fmt + data), false},
        {"not RIFF", bytesOf("RIFX") + riff("WAVE", fmt + data), false},
        {"empty file", {}, false},
        {"header only", bytesOf("RIFF"), false},
    };
    TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = dir.file("in.wav");
        writeFile(name, row.image);
        TMemoryStream memory(row.image);
        auto byName = TKoMMIOWaveStream::OpenReadFile(name);
        auto overStream = TKoMMIOWaveStream::OpenReadStream(memory);
        EXPECT_EQ(byName != nullptr, row.opens);
        EXPECT_EQ(overStream != nullptr, row.opens);
        if (!byName || !overStream) continue;
        for (TKoMMIOWaveStream* s : {byName.get(), overStream.get()}) {
            const TKoWaveStreamFormat* format = s->GetFormat();
            ASSERT_NE(format, nullptr);
            EXPECT_TRUE(format->Format().IsComplete());
            EXPECT_EQ(format->Format().FormatTag(), row.tag);
            EXPECT_EQ(format->Fact().SampleCount, row.samples);
            EXPECT_EQ(s->GetSize(), int64_t(s->DataChunk().cksize));
            EXPECT_EQ(readAll(*s), row.audio);
            if (row.audio.size() == s->DataChunk().cksize) {
                EXPECT_EQ(s->GetPosition(), s->GetSize());
            }
            EXPECT_TRUE(s->Close());
        }
    }
}

// A data chunk that overstates the file: reads give less, then nothing, while the position
// still runs to the chunk's end, by name and over a stream alike.
TEST(WaveReader, DataChunkLongerThanTheFileEndsWithEmptyReads) {
    const Bytes image =
        riff("WAVE", chunk("fmt ", pcmFmt()) + chunkWithSize("data", 100, pattern(30)));
    TempDir dir;
    writeFile(dir.file("long.wav"), image);
    TMemoryStream memory(image);
    auto byName = TKoMMIOWaveStream::OpenReadFile(dir.file("long.wav"));
    auto overStream = TKoMMIOWaveStream::OpenReadStream(memory);
    ASSERT_TRUE(byName && overStream);
    for (TKoMMIOWaveStream* s : {byName.get(), overStream.get()}) {
        uint8_t got[40];
        EXPECT_EQ(s->Read(MakeArea(got, 40)), 30);
        EXPECT_EQ(s->GetPosition(), 40);
        EXPECT_EQ(s->Read(MakeArea(got, 40)), 0);
        EXPECT_EQ(s->Read(MakeArea(got, 40)), 0);
        EXPECT_EQ(s->GetPosition(), 100);
        EXPECT_EQ(s->GetSize(), 100);
    }
}

TEST(WaveReader, FormatOfAWrittenFileReadsBack) {
    TempDir dir;
    const std::string name = dir.file("t.wav");
    for (uint32_t count : {0u, 12345u}) {
        SCOPED_TRACE(count);
        auto written = pcmStreamFormat(22050, 24, 2, count);
        auto out = TKoMMIOWaveStream::CreateWriteFile(name, *written);
        ASSERT_TRUE(out);
        Bytes audio = pattern(600);
        ASSERT_EQ(out->Write(MakeArea(audio.data(), 600)), 600);
        ASSERT_TRUE(out->Close());

        auto format = TKoMMIOWaveStream::ReadFileFormat(name);
        ASSERT_TRUE(format);
        EXPECT_TRUE(format->Format().SameAs(written->Format()));
        // Without a fact chunk the reader counts PCM frames: 600 / 6.
        EXPECT_EQ(format->Fact().SampleCount, count ? count : 100u);

        auto in = TKoMMIOWaveStream::OpenReadFile(name);
        ASSERT_TRUE(in);
        EXPECT_EQ(readAll(*in, 4096), audio);
    }
    EXPECT_EQ(TKoMMIOWaveStream::ReadFileFormat(dir.file("missing.wav")), nullptr);
}

TEST(WaveStreamFormat, AssignsFromFormatsAndGivesItsFormatAway) {
    auto pcm = TKoWaveFormat::CreatePCM(8000, 8, 1);
    TKoWaveStreamFormat streamFormat;
    TKoWaveFact fact(9);
    streamFormat.AssignFact(&fact);
    streamFormat.Assign(pcm.get());
    EXPECT_TRUE(streamFormat.Format().SameAs(*pcm));
    EXPECT_EQ(streamFormat.Fact().SampleCount, 0u) << "a plain format brings no count";

    auto partial = std::make_unique<TKoWaveFormat>(18);
    partial->SetFormatTag(2);
    EXPECT_THROW(streamFormat.Assign(partial.get()), EKoError);
    EXPECT_THROW(streamFormat.AssignFormat(nullptr), EKoError);
    EXPECT_THROW(TKoWaveStreamFormat::CreateForFormat(nullptr), EKoError);

    TKoWaveFormat target(18);
    target.Assign(&streamFormat);
    EXPECT_TRUE(target.SameAs(*pcm));

    streamFormat.AssignFact(&fact);
    auto copy = KoClone(streamFormat);
    EXPECT_TRUE(copy->Format().SameAs(*pcm));
    EXPECT_EQ(copy->Fact().SampleCount, 9u);
}

// A full disk or a failing stream must come out of Close (or the write), never vanish.
TEST(WaveWriter, ReportsFailuresToComplete) {
    auto format = pcmStreamFormat(8000, 16, 1, 0);
    Bytes audio = pattern(1000);
    if (std::filesystem::exists("/dev/full")) {
        auto out = TKoMMIOWaveStream::CreateWriteFile("/dev/full", *format);
        ASSERT_TRUE(out);
        out->Write(MakeArea(audio.data(), 1000));
        EXPECT_FALSE(out->Close());
        EXPECT_FALSE(out->Close()) << "the answer stays";
    }
    // Over a stream, writes are buffered: a small one fails when the buffer goes out (at the
    // latest by Close), one larger than the buffer at once.
    for (size_t size : {size_t(1000), size_t(TKoMMIO::kStreamWriteBuffer) + 1}) {
        SCOPED_TRACE(size);
        const Bytes data = pattern(size);
        TMemoryStream memory;
        memory.writeLimit = 500;
        auto out = TKoMMIOWaveStream::CreateWriteStream(memory, *format);
        ASSERT_TRUE(out);
        const int32_t written = out->Write(MakeArea(data.data(), int32_t(size)));
        if (size > size_t(TKoMMIO::kStreamWriteBuffer)) {
            EXPECT_LT(written, 0);
        }
        EXPECT_FALSE(out->Close());
    }
}

TEST(WaveWriter, CloseCompletesOnceAndEndsTransfers) {
    auto format = pcmStreamFormat(8000, 16, 1, 0);
    Bytes audio = pattern(10);
    TMemoryStream memory;
    auto out = TKoMMIOWaveStream::CreateWriteStream(memory, *format);
    ASSERT_EQ(out->Write(MakeArea(audio.data(), 10)), 10);
    // Rewriting the start must not cut the data chunk down to the last write.
    ASSERT_TRUE(out->Seek(SeekFromBeginning(0)));
    ASSERT_EQ(out->Write(MakeArea(audio.data(), 2)), 2);
    ASSERT_TRUE(out->Close());
    const Bytes expected =
        riff("WAVE", chunk("fmt ", fmtRecord(1, 1, 8000, 16)) + chunk("data", audio));
    EXPECT_EQ(memory.bytes, expected);
    EXPECT_TRUE(out->Close());
    EXPECT_EQ(out->Write(MakeArea(audio.data(), 2)), -1);
    EXPECT_EQ(out->Read(MakeArea(audio.data(), 2)), -1);
    EXPECT_FALSE(out->Seek(SeekFromBeginning(0)));
    EXPECT_EQ(out->GetPosition(), -1);
    out.reset();
    EXPECT_EQ(memory.bytes, expected);

    // Without Close the destructor still completes the file.
    TMemoryStream second;
    {
        auto unclosed = TKoMMIOWaveStream::CreateWriteStream(second, *format);
        ASSERT_EQ(unclosed->Write(MakeArea(audio.data(), 10)), 10);
    }
    EXPECT_EQ(second.bytes, expected);
}

// Every prefix of a valid file, and files with bytes changed at random, must open or be
// refused cleanly; what opens reads to an end.
TEST(WaveReader, SurvivesTruncatedAndDamagedFiles) {
    const Bytes audio = pattern(64);
    const Bytes full = riff("WAVE", chunk("LIST", bytesOf("INFO") + chunk("INAM", bytesOf("abc"))) +
                                        chunk("fmt ", pcmFmt()) + factChunk(16) +
                                        chunk("data", audio) + chunk("LIST", bytesOf("INFO")));
    for (size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE(length);
        TMemoryStream memory(Bytes(full.begin(), full.begin() + std::ptrdiff_t(length)));
        auto in = TKoMMIOWaveStream::OpenReadStream(memory);
        if (!in) continue;
        Bytes got = readAll(*in, 5);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), audio.begin()));
    }
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        Bytes damaged = full;
        for (int flips = 1 + int(random() % 4); flips > 0; --flips)
            damaged[random() % damaged.size()] = uint8_t(random());
        TMemoryStream memory(damaged);
        if (auto in = TKoMMIOWaveStream::OpenReadStream(memory)) {
            readAll(*in, 1 << 16);
            in->Close();
        }
    }
}

// Positions past 2 GiB: a sparse file whose data chunk is 3 GiB long.
TEST(WaveReader, SeeksAndReadsBeyondTwoGigabytes) {
    TempDir dir;
    const std::string name = dir.file("big.wav");
    const int64_t dataSize = (int64_t(3) << 30) + 4;
    writeFile(name, riff("WAVE", chunk("fmt ", fmtRecord(1, 2, 44100, 16)), 4 + 26 + 8 + dataSize) +
                        chunkWithSize("data", uint32_t(dataSize), {}));
    std::filesystem::resize_file(name, uint64_t(46 + dataSize));
    {
        std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(46 + dataSize - 4);
        f.write("\x01\x02\x03\x04", 4);
    }
    auto in = TKoMMIOWaveStream::OpenReadFile(name);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->GetSize(), dataSize);
    EXPECT_EQ(in->GetFormat()->Fact().SampleCount, uint32_t(dataSize / 4));
    ASSERT_TRUE(in->Seek(SeekFromEnd(-4)));
    EXPECT_EQ(in->GetPosition(), dataSize - 4);
    uint8_t got[8];
    EXPECT_EQ(in->Read(MakeArea(got, 8)), 4);
    EXPECT_EQ(Bytes(got, got + 4), (Bytes{1, 2, 3, 4}));
}

namespace {

// Takes any amount of data without storing it (only the first bytes, where the header lies).
class SinkStream : public TKoStream {
  public:
    Bytes head = Bytes(64, 0);
    int64_t position = 0, length = 0;

    int64_t GetPosition() override { return position; }
    int32_t Write(const TKoArea& Area) override {
        for (int64_t i = 0; i < Area.Size && position + i < 64; ++i)
            head[size_t(position + i)] = AreaData(Area)[i];
        position += Area.Size;
        length = std::max(length, position);
        return Area.Size;
    }
    bool Seek(const TKoSeekRequest& Request) override {
        int64_t target = Request.Origin == koFromBeginning ? Request.Offset
                         : Request.Origin == koFromEnd     ? length + Request.Offset
                                                           : position + Request.Offset;
        if (target < 0 || target > length) return false;
        position = target;
        return true;
    }
};

}  // namespace

TEST(WaveWriter, WritesThreeGigabytesAndStopsBeforeFour) {
    SinkStream sink;
    auto format = pcmStreamFormat(44100, 16, 2, 0);
    auto out = TKoMMIOWaveStream::CreateWriteStream(sink, *format);
    ASSERT_TRUE(out);
    Bytes block(size_t(64) << 20);
    const int64_t threeGiB = int64_t(3) << 30;
    for (int64_t written = 0; written < threeGiB; written += int64_t(block.size()))
        ASSERT_EQ(out->Write(MakeArea(block.data(), int32_t(block.size()))), int32_t(block.size()));
    EXPECT_EQ(out->GetPosition(), threeGiB);
    ASSERT_TRUE(out->Close());
    Bytes header(sink.head.begin(), sink.head.begin() + 46);
    EXPECT_EQ(header, riff("WAVE", chunk("fmt ", fmtRecord(1, 2, 44100, 16)), 38 + threeGiB) +
                          chunkWithSize("data", uint32_t(threeGiB), {}));

    // One more gigabyte would pass 4 GiB: the write fails and no size wraps around.
    SinkStream second;
    out = TKoMMIOWaveStream::CreateWriteStream(second, *format);
    for (int64_t written = 0; written < threeGiB; written += int64_t(block.size()))
        ASSERT_EQ(out->Write(MakeArea(block.data(), int32_t(block.size()))), int32_t(block.size()));
    int32_t result = 0;
    for (int i = 0; i < 16 && result >= 0; ++i)
        result = out->Write(MakeArea(block.data(), int32_t(block.size())));
    EXPECT_LT(result, 0);
    EXPECT_LE(second.length, MMIO_MAX_FILE_SIZE);
    EXPECT_FALSE(out->Close()) << "the failed write left the data chunk incomplete";
}
