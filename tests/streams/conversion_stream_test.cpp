// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "UKoACMConversionStream.h"
#include "streams/conversion_util.h"

using namespace convtest;

namespace {

// A source that hands out at most a few bytes per read, or fails after some bytes.
class TTrickleStream : public TFormatStream {
  public:
    TTrickleStream(const TKoWaveFormat& Format, std::vector<uint8_t> Data, int32_t Most,
                   int64_t FailAfter = -1)
        : TFormatStream(Format, std::move(Data)), most_(Most), failAfter_(FailAfter) {}
    int32_t Read(const TKoArea& Area) override {
        if (failAfter_ >= 0 && position >= failAfter_) return -1;
        return TFormatStream::Read(MakeArea(Area.Start, std::min(Area.Size, most_)));
    }

  private:
    int32_t most_;
    int64_t failAfter_;
};

struct Codec {
    const char* name;
    uint16_t tag;
    uint32_t rate;
    uint16_t channels;
    double minSnr;       // dB over the whole input
    double minTailSnr;   // dB over its last tenth
    size_t extraFrames;  // decoded frames beyond the input that are acceptable
    size_t maxLag;       // codec delay to search for, in frames
};

// Margins a few dB under what the codecs reach on the test sweeps (GSM, made for speech,
// starts rough). Up to one codec block of extra length; MP3 adds its encoder delay and a
// frame.
const Codec kCodecs[] = {
    {"alaw", WAVE_FORMAT_ALAW, 8000, 1, 35, 35, 0, 0},
    {"mulaw_stereo", WAVE_FORMAT_MULAW, 22050, 2, 34, 34, 0, 0},
    {"ima_mono", WAVE_FORMAT_IMA_ADPCM, 22050, 1, 36, 34, 1017, 0},
    {"ima_stereo", WAVE_FORMAT_IMA_ADPCM, 44100, 2, 38, 38, 2041, 0},
    {"msadpcm_mono", WAVE_FORMAT_ADPCM, 11025, 1, 29, 25, 500, 0},
    {"msadpcm_stereo", WAVE_FORMAT_ADPCM, 44100, 2, 38, 34, 2036, 0},
    {"gsm_8k", WAVE_FORMAT_GSM610, 8000, 1, 13, 22, 320, 0},
    {"mp3_stereo", WAVE_FORMAT_MPEGLAYER3, 44100, 2, 22, 22, 1105 + 2 * 1152, 2400},
    {"mp3_mono_22k", WAVE_FORMAT_MPEGLAYER3, 22050, 1, 21, 19, 1105 + 2 * 1152, 2400},
};

void PrintTo(const Codec& c, std::ostream* os) {
    *os << c.name;
}

std::vector<uint8_t> Encode(const TKoWaveFormat& Pcm, const TKoWaveFormat& Codec,
                            const std::vector<uint8_t>& Input) {
    TFormatStream sink(Codec);
    auto writer = TKoACMConversionStream::CreateWriteConverter(Pcm, sink, true);
    EXPECT_TRUE(writer);
    if (!writer) return {};
    EXPECT_TRUE(WriteInPieces(*writer, Input));
    EXPECT_TRUE(writer->Close());
    EXPECT_EQ(sink.closes, 0) << "a converter leaves the stream below it to its owner";
    return sink.bytes;
}

std::vector<uint8_t> Decode(const TKoWaveFormat& Codec, const TKoWaveFormat& Pcm,
                            std::vector<uint8_t> Coded, int32_t Trickle = 1 << 30) {
    TTrickleStream source(Codec, std::move(Coded), Trickle);
    auto reader = TKoACMConversionStream::CreateReadConverter(source, Pcm, true);
    EXPECT_TRUE(reader);
    if (!reader) return {};
    bool failed = false;
    auto out = ReadInPieces(*reader, &failed);
    EXPECT_FALSE(failed);
    uint8_t byte;
    EXPECT_EQ(reader->Read(MakeArea(&byte, 1)), 0) << "the end stays the end";
    EXPECT_TRUE(reader->Close());
    return out;
}

}  // namespace

class ConversionRoundTrip : public testing::TestWithParam<Codec> {};

// PCM -> codec -> PCM through a writer and a reader keeps the whole signal, its tail
// included: the input ends inside a codec block, so a converter that never tells the codec
// that the data have ended loses up to a block (or the MP3 encoder's buffered frames).
TEST_P(ConversionRoundTrip, KeepsTheWholeSignal) {
    const Codec& c = GetParam();
    auto codec = Enumerated(c.tag, c.rate, c.channels);
    ASSERT_TRUE(codec);
    auto pcm = TKoWaveFormat::CreatePCM(c.rate, 16, c.channels);
    const size_t frames = c.rate * 3 / 10 + 13;
    const auto input = Sine16(c.rate, c.channels, frames);

    const auto coded = Encode(*pcm, *codec, AsBytes(input));
    ASSERT_FALSE(coded.empty());
    const auto decoded = AsSamples(Decode(*codec, *pcm, coded));
    const size_t decodedFrames = decoded.size() / c.channels;
    EXPECT_GE(decodedFrames, frames);
    EXPECT_LE(decodedFrames, frames + c.extraFrames);

    const size_t lag = c.maxLag ? BestLag(input, decoded, c.channels, c.maxLag * c.channels) : 0;
    EXPECT_GE(Snr(input, decoded, input.size(), lag), c.minSnr) << "lag " << lag;
    // The last tenth on its own: a dropped or silent tail fails here even when the whole
    // still scores well.
    const size_t tail = input.size() / 10 / c.channels * c.channels;
    const std::vector<int16_t> lastInput(input.end() - tail, input.end());
    const std::vector<int16_t> lastDecoded(decoded.begin() + (input.size() - tail), decoded.end());
    EXPECT_GE(Snr(lastInput, lastDecoded, tail, lag), c.minTailSnr);

    // The same file read through a source that delivers a few bytes at a time.
    EXPECT_EQ(Decode(*codec, *pcm, coded, 7).size(), decoded.size() * 2);
}

INSTANTIATE_TEST_SUITE_P(Codecs, ConversionRoundTrip, testing::ValuesIn(kCodecs),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ConversionStream, ResamplerTailReachesTheDestination) {
    auto from = TKoWaveFormat::CreatePCM(44100, 16, 2);
    auto to = TKoWaveFormat::CreatePCM(22050, 16, 2);
    const size_t frames = 44100 / 5 + 7;
    for (bool quality : {true, false}) {
        SCOPED_TRACE(quality ? "quality" : "speed");
        TFormatStream sink(*to);
        auto writer = TKoACMConversionStream::CreateWriteConverter(*from, sink, quality);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(WriteInPieces(*writer, AsBytes(Sine16(44100, 2, frames))));
        ASSERT_TRUE(writer->Close());
        const auto out = AsSamples(sink.bytes);
        EXPECT_NEAR(double(out.size() / 2), frames / 2.0, 1.0);
        const auto ideal = Sine16(22050, 2, out.size() / 2);
        // Away from the cut-off edges the result is the tone itself.
        const std::vector<int16_t> midIdeal(ideal.begin() + 200, ideal.end() - 200);
        const std::vector<int16_t> midOut(out.begin() + 200, out.end() - 200);
        EXPECT_GE(Snr(midIdeal, midOut, midIdeal.size()), quality ? 60 : 35);
    }
}

TEST(ConversionStream, InterfaceOfAConverter) {
    auto pcm = TKoWaveFormat::CreatePCM(8000, 16, 1);
    auto ulaw = Enumerated(WAVE_FORMAT_MULAW, 8000, 1);
    ASSERT_TRUE(ulaw);
    TFormatStream sink(*ulaw);
    auto writer = TKoACMConversionStream::CreateWriteConverter(*pcm, sink, false);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->GetPosition(), -1);
    EXPECT_EQ(writer->GetSize(), -1);
    EXPECT_FALSE(writer->Seek(SeekFromBeginning(0)));
    ASSERT_TRUE(writer->GetFormat());
    EXPECT_TRUE(writer->GetFormat()->Format().SameAs(*pcm)) << "a writer takes its input format";
    EXPECT_EQ(writer->GetFormat()->Fact().SampleCount, 0u);

    uint8_t bytes[4] = {};
    EXPECT_EQ(writer->Write(MakeArea(bytes, 0)), 0);
    EXPECT_THROW(writer->Read(MakeArea(bytes, 4)), EKoError) << "reading a writer";
    EXPECT_THROW(writer->Write(MakeArea(uintptr_t(0), 4)), EKoError);
    EXPECT_THROW(writer->Write(MakeArea(bytes, -1)), EKoError);
    EXPECT_TRUE(writer->Close());
    EXPECT_TRUE(sink.bytes.empty()) << "nothing written, nothing converted";
    EXPECT_EQ(writer->Write(MakeArea(bytes, 4)), -1) << "closed";

    TFormatStream source(*ulaw, std::vector<uint8_t>(100, 0xFF));
    auto reader = TKoACMConversionStream::CreateReadConverter(source, *pcm, false);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->GetFormat()->Format().SameAs(*pcm)) << "a reader delivers the target";
    EXPECT_EQ(reader->Read(MakeArea(bytes, 0)), 0);
    EXPECT_EQ(source.reads, 0) << "an empty read converts nothing";
    EXPECT_THROW(reader->Write(MakeArea(bytes, 4)), EKoError) << "writing a reader";
    EXPECT_EQ(reader->Read(MakeArea(bytes, 4)), 4);
}

TEST(ConversionStream, ReaderTakesAPartialTargetAndRefusesTheImpossible) {
    auto stereo = TKoWaveFormat::CreatePCM(44100, 16, 2);
    TFormatStream source(*stereo, AsBytes(Sine16(44100, 2, 1000)));
    auto ima =
        TKoACMConversionStream::CreateReadConverter(source, *Template(WAVE_FORMAT_IMA_ADPCM), true);
    ASSERT_TRUE(ima);
    const TKoWaveFormat& made = ima->GetFormat()->Format();
    EXPECT_EQ(made.FormatTag(), WAVE_FORMAT_IMA_ADPCM);
    EXPECT_EQ(made.SamplesPerSec(), 44100u) << "unconstrained fields follow the source";
    EXPECT_EQ(made.Channels(), 2u);

    EXPECT_EQ(TKoACMConversionStream::CreateReadConverter(
                  source, *Template(WAVE_FORMAT_GSM610, 0, 2), true),
              nullptr)
        << "GSM has no stereo";
    TMemoryStream formatless;
    EXPECT_EQ(TKoACMConversionStream::CreateReadConverter(formatless, *stereo, true), nullptr);
    EXPECT_EQ(TKoACMConversionStream::CreateWriteConverter(*stereo, formatless, true), nullptr);
}

TEST(ConversionStream, ReaderKeepsACompleteTargetAsItIs) {
    // A suggestion would pick the codec's default bit rate; the caller asked for 320 kbit/s.
    auto mp3 = Enumerated(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 320);
    ASSERT_TRUE(mp3);
    auto pcm = TKoWaveFormat::CreatePCM(44100, 16, 2);
    TFormatStream source(*pcm, AsBytes(Sine16(44100, 2, 4000)));
    auto reader = TKoACMConversionStream::CreateReadConverter(source, *mp3, true);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->GetFormat()->Format().SameAs(*mp3));
    const auto out = ReadInPieces(*reader);
    EXPECT_GT(out.size(), 0u);
}

TEST(ConversionStream, FailuresAreReported) {
    auto pcm = TKoWaveFormat::CreatePCM(22050, 16, 1);
    auto ima = Enumerated(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    ASSERT_TRUE(ima);
    const auto input = AsBytes(Sine16(22050, 1, 22050 / 2 + 100));

    // How much a healthy writer has handed down before its close, and in all.
    size_t beforeClose = 0, total = 0;
    {
        TFormatStream sink(*ima);
        auto writer = TKoACMConversionStream::CreateWriteConverter(*pcm, sink, true);
        ASSERT_TRUE(writer && WriteInPieces(*writer, input));
        beforeClose = sink.bytes.size();
        ASSERT_TRUE(writer->Close());
        total = sink.bytes.size();
        ASSERT_GT(total, beforeClose) << "the close has output of its own to write";
    }
    {
        SCOPED_TRACE("the destination fails while data are written");
        TFormatStream sink(*ima);
        sink.writeLimit = int64_t(beforeClose / 2);
        auto writer = TKoACMConversionStream::CreateWriteConverter(*pcm, sink, true);
        ASSERT_TRUE(writer);
        EXPECT_FALSE(WriteInPieces(*writer, input));
        uint8_t byte = 0;
        EXPECT_EQ(writer->Write(MakeArea(&byte, 1)), -1) << "a broken writer stays broken";
        EXPECT_FALSE(writer->Close());
        EXPECT_FALSE(writer->Close()) << "and says so again";
    }
    {
        SCOPED_TRACE("the destination fails only in the close");
        TFormatStream sink(*ima);
        sink.writeLimit = int64_t(total - 1);
        auto writer = TKoACMConversionStream::CreateWriteConverter(*pcm, sink, true);
        ASSERT_TRUE(writer && WriteInPieces(*writer, input));
        EXPECT_FALSE(writer->Close());
    }
    {
        SCOPED_TRACE("the source fails");
        TTrickleStream source(*pcm, input, 1 << 30, 5000);
        auto reader = TKoACMConversionStream::CreateReadConverter(source, *ima, true);
        ASSERT_TRUE(reader);
        bool failed = false;
        ReadInPieces(*reader, &failed);
        EXPECT_TRUE(failed);
    }
}

// A chain closes from the outer end inwards: the converter's last output reaches the stage
// below before that stage is completed, and a failure anywhere is the chain's failure.
TEST(ConversionStream, ChainClosesOuterEndFirst) {
    auto pcm = TKoWaveFormat::CreatePCM(8000, 16, 1);
    auto gsm = Enumerated(WAVE_FORMAT_GSM610, 8000, 1);
    ASSERT_TRUE(gsm);
    const auto input = AsBytes(Sine16(8000, 1, 1000));  // 3 blocks and a bit
    for (int64_t limit : {int64_t(-1), int64_t(4 * 65 - 1)}) {
        SCOPED_TRACE(limit < 0 ? "healthy" : "the file is full before the last block");
        auto sink = std::make_unique<TFormatStream>(*gsm);
        TFormatStream* file = sink.get();
        file->writeLimit = limit;
        auto writer = TKoACMConversionStream::CreateWriteConverter(*pcm, *file, true);
        ASSERT_TRUE(writer);
        std::vector<std::unique_ptr<TKoStream>> stages;
        stages.push_back(std::move(sink));
        stages.push_back(std::move(writer));
        TKoCombinedStream chain(std::move(stages));
        ASSERT_EQ(chain.Write(MakeArea(input.data(), int32_t(input.size()))),
                  int32_t(input.size()));
        EXPECT_EQ(file->bytes.size(), 0u) << "a GSM writer holds less than its source buffer";
        EXPECT_EQ(chain.Close(), limit < 0);
        EXPECT_EQ(file->closes, 1);
        if (limit < 0) {
            EXPECT_EQ(file->bytes.size(), 4u * 65) << "four blocks, the last padded";
        }
    }
}
