// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UKoACMStream.h"
#include "streams/conversion_util.h"

using namespace convtest;

namespace {

std::vector<uint8_t> Bytes(const TKoArea& Area) {
    return std::vector<uint8_t>(AreaData(Area), AreaData(Area) + Area.Size);
}

void Fill(const TKoArea& Area, uint8_t First) {
    for (int32_t i = 0; i < Area.Size; ++i) AreaData(Area)[i] = uint8_t(First + i);
}

// A header prepared over two owned blocks of an open stream, unprepared at the end.
struct Prepared {
    std::unique_ptr<TKoACMStream> stream;
    std::vector<uint8_t> src, dst;
    TKoACMStreamHeader header;

    Prepared(const TKoWaveFormat& From, const TKoWaveFormat& To, size_t SrcSize, size_t DstSize)
        : stream(TKoACMStream::Open(From, To, true)), src(SrcSize), dst(DstSize) {
        EXPECT_TRUE(stream);
        header.SetSource(MakeArea(src.data(), int32_t(src.size())));
        header.SetDestination(MakeArea(dst.data(), int32_t(dst.size())));
        EXPECT_TRUE(stream->Prepare(header));
    }
    ~Prepared() {
        if (header.IsPrepared()) stream->Unprepare(header);
    }
};

}  // namespace

TEST(ACMStreamBuffers, SourceBufferKeepsItsBytesAtTheBlockStart) {
    TKoACMStreamSourceBuffer buffer(16);
    const TKoArea block = buffer.GetMemory();
    EXPECT_EQ(buffer.GetFree(), block) << "an empty buffer is all free";
    Fill(MakeArea(block.Start, 10), 0);
    buffer.Append(10);
    EXPECT_EQ(buffer.GetFree(), MakeArea(block.Start + 10, 6));

    buffer.Consume(4);
    EXPECT_EQ(buffer.GetData().Start, block.Start);
    EXPECT_EQ(Bytes(buffer.GetData()), (std::vector<uint8_t>{4, 5, 6, 7, 8, 9}));

    EXPECT_THROW(buffer.Consume(0), EKoError);
    EXPECT_THROW(buffer.Consume(7), EKoError) << "more than it holds";
    EXPECT_THROW(buffer.Append(0), EKoError);
    EXPECT_THROW(buffer.Append(11), EKoError) << "past the block end";
    EXPECT_EQ(buffer.GetData().Size, 6) << "a refused step changes nothing";

    buffer.Consume(6);
    EXPECT_EQ(buffer.GetFree(), block);
}

TEST(ACMStreamBuffers, DestinationBufferTakesOutputOnlyWhenEmpty) {
    TKoACMStreamDestinationBuffer buffer(100);
    const TKoArea block = buffer.GetMemory();
    buffer.Append(40);
    EXPECT_EQ(buffer.GetData(), MakeArea(block.Start, 40));
    buffer.Append(10);
    EXPECT_EQ(buffer.GetData().Size, 40) << "new output would overwrite undelivered bytes";

    buffer.Consume(0);
    buffer.Consume(41);
    EXPECT_EQ(buffer.GetData().Size, 40) << "out-of-range consumes do nothing";
    buffer.Consume(15);
    EXPECT_EQ(buffer.GetData(), MakeArea(block.Start + 15, 25)) << "read off without moving";
    buffer.Consume(25);
    EXPECT_FALSE(AreaNotEmpty(buffer.GetData()));

    buffer.Append(30);
    EXPECT_EQ(buffer.GetData(), MakeArea(block.Start, 30)) << "starts again at the block start";
    buffer.Consume(30);
    EXPECT_THROW(buffer.Append(101), EKoError);
}

TEST(ACMStreamBuffers, DataMustLieInsideTheBlock) {
    TKoACMStreamSourceBuffer buffer(32);
    const TKoArea block = buffer.GetMemory();
    EXPECT_THROW(buffer.SetData(MakeArea(block.Start + 1, 32)), EKoError);
    EXPECT_THROW(buffer.SetData(MakeArea(block.Start - 1, 2)), EKoError);
    EXPECT_THROW(buffer.SetData(MakeArea(koNoPosition, 1)), EKoError);
    buffer.SetData(MakeArea(uintptr_t(0), 0));
    buffer.SetData(MakeArea(block.Start + 8, 24));
    EXPECT_EQ(buffer.GetFree().Size, 0);

    TKoACMStreamSourceBuffer none(0);
    EXPECT_EQ(none.GetMemory().Size, 0);
    EXPECT_THROW(none.Append(1), EKoError);
}

TEST(ACMStreamHeader, StateIsChecked) {
    auto pcm = TKoWaveFormat::CreatePCM(22050, 16, 1);
    auto ima = Enumerated(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    ASSERT_TRUE(ima);
    Prepared p(*pcm, *ima, 4096, 4096);
    TKoACMStreamHeader& h = p.header;
    ASSERT_TRUE(h.IsPrepared());

    EXPECT_FALSE(p.stream->Prepare(h)) << "preparing twice";
    EXPECT_THROW(h.SetSource(MakeArea(p.src.data(), 10)), EKoError);
    EXPECT_THROW(h.SetDestination(MakeArea(p.dst.data(), 10)), EKoError);
    EXPECT_THROW(h.SetSourceLength(4097), EKoError) << "past the prepared length";
    h.SetSourceLength(100);
    EXPECT_EQ(h.SourceLength(), 100);
    EXPECT_THROW(h.SetSourceLength(-1), EKoError);

    h.SetSourceLength(0);
    EXPECT_THROW(p.stream->Convert(h), EKoError) << "nothing to convert";
    EXPECT_TRUE(p.stream->Convert(h, true)) << "the end may come without input";

    ASSERT_TRUE(p.stream->Unprepare(h));
    EXPECT_EQ(h.SourceLength(), 4096) << "unprepare restores the prepared lengths";
    EXPECT_FALSE(p.stream->Unprepare(h));
    EXPECT_THROW(p.stream->Convert(h), EKoError);
    EXPECT_THROW(h.SourceLengthUsed(), EKoError);
    EXPECT_THROW(h.SetSource(MakeArea(uintptr_t(0), 0)), EKoError) << "an empty area";
}

TEST(ACMStreamHeader, DestroyingAPreparedHeaderDoesNotThrow) {
    auto pcm = TKoWaveFormat::CreatePCM(8000, 16, 1);
    auto alaw = Enumerated(WAVE_FORMAT_ALAW, 8000, 1);
    ASSERT_TRUE(alaw);
    auto stream = TKoACMStream::Open(*pcm, *alaw, false);
    ASSERT_TRUE(stream);
    std::vector<uint8_t> src(64), dst(64);
    {
        TKoACMStreamHeader h;
        h.SetSource(MakeArea(src.data(), 64));
        h.SetDestination(MakeArea(dst.data(), 64));
        ASSERT_TRUE(stream->Prepare(h));
        h.SetSourceLength(10);  // unprepare needs the prepared lengths back
    }
    EXPECT_TRUE(stream->Close());
    EXPECT_TRUE(stream->Close()) << "a second close gives the same answer";
    EXPECT_THROW(stream->DestinationSizeFor(10), EKoError) << "a closed stream is not used";
}

TEST(ACMStream, LessThanABlockIsTakenWithoutBlockAlignmentAndFinishedByTheEnd) {
    auto pcm = TKoWaveFormat::CreatePCM(22050, 16, 1);
    auto ima = Enumerated(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    ASSERT_TRUE(ima);
    Prepared p(*pcm, *ima, 8192, 8192);
    const int32_t pcmBlock = 2 * (ima->Data()->nBlockAlign - 4) * 2 + 2;  // 1,017 samples
    p.header.SetSourceLength(100);
    ASSERT_TRUE(p.stream->Convert(p.header));
    EXPECT_EQ(p.header.SourceLengthUsed(), 100) << "the partial block is kept by the codec";
    EXPECT_EQ(p.header.DestinationLengthUsed(), 0);

    // Whole blocks only once a block is there: the rest stays with the caller.
    p.header.SetSourceLength(pcmBlock + 50);
    ASSERT_TRUE(p.stream->Convert(p.header));
    EXPECT_EQ(p.header.SourceLengthUsed(), pcmBlock - 100);
    EXPECT_EQ(p.header.DestinationLengthUsed(), int32_t(ima->BlockAlign()));

    p.header.SetSourceLength(150);
    ASSERT_TRUE(p.stream->Convert(p.header, true));
    EXPECT_EQ(p.header.SourceLengthUsed(), 150);
    EXPECT_EQ(p.header.DestinationLengthUsed(), int32_t(ima->BlockAlign()))
        << "the end pads the partial block";
    p.header.SetSourceLength(0);
    ASSERT_TRUE(p.stream->Convert(p.header, true));
    EXPECT_EQ(p.header.DestinationLengthUsed(), 0) << "a second end has nothing left";
}

// The sizing rule over conversions of every codec in both directions, at rates where block
// sizes differ: both buffers hold two blocks, stay at the ceiling unless two blocks (or the
// source floor) need more, and a full source buffer's output fits the destination buffer.
TEST(ACMStream, BufferSizesHoldTwoBlocksAndAFullSourceBuffersOutput) {
    struct Row {
        const char* name;
        uint16_t tag;
        uint32_t rate;
        uint16_t channels;
    };
    const Row rows[] = {
        {"ima 8k mono", WAVE_FORMAT_IMA_ADPCM, 8000, 1},
        {"ima 44k stereo", WAVE_FORMAT_IMA_ADPCM, 44100, 2},
        {"msadpcm 44k stereo", WAVE_FORMAT_ADPCM, 44100, 2},
        {"msadpcm 11k mono", WAVE_FORMAT_ADPCM, 11025, 1},
        {"alaw 8k mono", WAVE_FORMAT_ALAW, 8000, 1},
        {"mulaw 44k stereo", WAVE_FORMAT_MULAW, 44100, 2},
        {"gsm 8k", WAVE_FORMAT_GSM610, 8000, 1},
        {"gsm 44k", WAVE_FORMAT_GSM610, 44100, 1},
        {"mp3 44k stereo", WAVE_FORMAT_MPEGLAYER3, 44100, 2},
        {"mp3 8k mono", WAVE_FORMAT_MPEGLAYER3, 8000, 1},
    };
    struct Pair {
        std::string name;
        std::unique_ptr<TKoWaveFormat> from, to;
    };
    std::vector<Pair> pairs;
    for (const Row& r : rows) {
        auto codec = Enumerated(r.tag, r.rate, r.channels);
        ASSERT_TRUE(codec) << r.name;
        pairs.push_back({std::string("encode ") + r.name,
                         TKoWaveFormat::CreatePCM(r.rate, 16, r.channels), KoClone(*codec)});
        pairs.push_back({std::string("decode ") + r.name, KoClone(*codec),
                         TKoWaveFormat::CreatePCM(r.rate, 16, r.channels)});
    }
    pairs.push_back({"resample up 8k to 96k", TKoWaveFormat::CreatePCM(8000, 16, 1),
                     TKoWaveFormat::CreatePCM(96000, 32, 2)});
    pairs.push_back({"resample down 96k to 8k", TKoWaveFormat::CreatePCM(96000, 16, 2),
                     TKoWaveFormat::CreatePCM(8000, 8, 1)});

    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.name);
        auto stream = TKoACMStream::Open(*p.from, *p.to, true);
        ASSERT_TRUE(stream);
        const int32_t s = stream->SourceBufferSize(*p.from, *p.to);
        const int32_t d = stream->DestinationBufferSize(*p.from, *p.to);
        const int32_t twoIn = 2 * int32_t(p.from->BlockAlign());
        const int32_t twoOut = 2 * int32_t(p.to->BlockAlign());
        EXPECT_GE(s, twoIn);
        EXPECT_GE(d, twoOut);
        EXPECT_LE(s, std::max(TKoACMStream::BufferCeiling, twoIn));
        EXPECT_LE(d, std::max(TKoACMStream::BufferCeiling, stream->DestinationSizeFor(std::max(
                                                               twoIn, TKoACMStream::SourceFloor))));
        EXPECT_LE(stream->DestinationSizeFor(s), d) << "s=" << s << " d=" << d;
        // A codec fed a few bytes per call spends its time on the calls.
        EXPECT_GE(s, std::min(TKoACMStream::SourceFloor, TKoACMStream::BufferCeiling));
    }
}

TEST(ACMStream, ExpandingDecoderIsCappedAtTheCeiling) {
    auto ima = Enumerated(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    auto pcm = TKoWaveFormat::CreatePCM(22050, 16, 1);
    ASSERT_TRUE(ima);
    auto stream = TKoACMStream::Open(*ima, *pcm, true);
    ASSERT_TRUE(stream);
    ASSERT_GT(stream->DestinationSizeFor(8192), 8192) << "a decoder expands about fourfold";
    EXPECT_EQ(stream->DestinationBufferSize(*ima, *pcm), 8192);
    EXPECT_EQ(stream->SourceBufferSize(*ima, *pcm), stream->SourceSizeFor(8192));
    EXPECT_LT(stream->SourceBufferSize(*ima, *pcm), 8192);
}

TEST(ACMStream, OpenAndQueryRefuseWhatNoCodecConverts) {
    auto stereo = TKoWaveFormat::CreatePCM(8000, 16, 2);
    auto gsm = Enumerated(WAVE_FORMAT_GSM610, 8000, 1);
    auto mono = TKoWaveFormat::CreatePCM(8000, 16, 1);
    ASSERT_TRUE(gsm);
    EXPECT_FALSE(TKoACMStream::CanConvert(*stereo, *gsm, true)) << "GSM takes mono only";
    EXPECT_EQ(TKoACMStream::Open(*stereo, *gsm, true), nullptr);
    EXPECT_TRUE(TKoACMStream::CanConvert(*mono, *gsm, false));
    auto stream = TKoACMStream::Open(*mono, *gsm, false);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->SourceBlockAlign(), 2);
}
