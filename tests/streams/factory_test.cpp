// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "UKoACMConversionStream.h"
#include "streams/factory_util.h"

using namespace convtest;

namespace {

// Formats compared with their derived fields filled in (PCM completes itself on demand).
bool Same(const TKoWaveFormat& a, const TKoWaveFormat& b) {
    return a.IsComplete() && b.IsComplete() && a.SameAs(b);
}

size_t StagesOf(TKoStream& chain) {
    auto* combined = dynamic_cast<TKoCombinedStream*>(&chain);
    return combined ? combined->Count() : 1;
}

}  // namespace

TEST(StreamFactory, WithoutAWantedFormatChainsAreTheFileAlone) {
    TempDir dir;
    const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
    WriteToneFile(in, 22050, 16, 2, 3001);
    TKoWaveStreamFactory factory;
    auto reader = factory.OpenReadChain(in);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(dynamic_cast<TKoMMIOWaveStream*>(reader.get()));
    auto* format = dynamic_cast<TKoWaveStreamFormat*>(reader->GetFormat());
    ASSERT_TRUE(format);
    EXPECT_EQ(format->Fact().SampleCount, 3001u);

    auto writer = factory.OpenWriteChain(out, *format);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(dynamic_cast<TKoMMIOWaveStream*>(writer.get())) << "a copy needs no converter";
    const auto audio = ReadInPieces(*reader);
    ASSERT_EQ(writer->Write(MakeArea(audio.data(), int32_t(audio.size()))), int32_t(audio.size()));
    ASSERT_TRUE(writer->Close());
    writer.reset();

    auto copy = factory.OpenReadChain(out);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(
        Same(dynamic_cast<TKoWaveStreamFormat*>(copy->GetFormat())->Format(), format->Format()));
    EXPECT_EQ(ReadInPieces(*copy), audio);
}

TEST(StreamFactory, TheSourceFormatAsWantedFormatNeedsNoConverter) {
    TempDir dir;
    const std::string in = dir.file("in.wav");
    WriteToneFile(in, 8000, 8, 1, 100);
    TKoWaveStreamFactory factory;
    factory.SetWantedFormat(*TKoWaveFormat::CreatePCM(8000, 8, 1));
    auto reader = factory.OpenReadChain(in);
    ASSERT_TRUE(reader);
    EXPECT_EQ(StagesOf(*reader), 1u);
    auto writer = factory.OpenWriteChain(dir.file("out.wav"),
                                         *dynamic_cast<TKoWaveStreamFormat*>(reader->GetFormat()));
    ASSERT_TRUE(writer);
    EXPECT_EQ(StagesOf(*writer), 1u);
}

// A read chain delivers the wanted format through as many stages as the path has: IMA ADPCM
// decodes only into 16-bit PCM at its own rate, so 8-bit 8 kHz takes a second stage.
TEST(StreamFactory, ReadChainConvertsIntoTheWantedFormat) {
    TempDir dir;
    const std::string tone = dir.file("tone.wav"), ima = dir.file("ima.wav");
    const size_t frames = 22050 / 4 + 3;
    WriteToneFile(tone, 22050, 16, 1, frames);
    ASSERT_EQ(ConvertFile(tone, ima, *Template(WAVE_FORMAT_IMA_ADPCM)), Outcome::Converted);

    TKoWaveStreamFactory factory;
    auto wanted = TKoWaveFormat::CreatePCM(8000, 8, 1);
    factory.SetWantedFormat(*wanted);
    auto reader = factory.OpenReadChain(ima);
    ASSERT_TRUE(reader);
    EXPECT_EQ(StagesOf(*reader), 3u);
    auto* format = dynamic_cast<TKoWaveStreamFormat*>(reader->GetFormat());
    ASSERT_TRUE(format);
    EXPECT_TRUE(Same(format->Format(), *wanted));
    bool failed = false;
    const auto bytes = ReadInPieces(*reader, &failed);
    EXPECT_FALSE(failed);
    const double expected = frames * 8000.0 / 22050;
    EXPECT_GE(double(bytes.size()), expected - 1) << "the tail made it through both stages";
    EXPECT_LE(double(bytes.size()), expected + 1017 * 8000.0 / 22050 + 2);
    EXPECT_TRUE(reader->Close());
}

TEST(StreamFactory, ChainsOverStreams) {
    TempDir dir;
    const std::string tone = dir.file("tone.wav");
    WriteToneFile(tone, 11025, 16, 1, 2000);
    const auto wave = readFile(tone);

    SCOPED_TRACE("a stream holding a WAVE file is read as one");
    TMemoryStream holder(std::vector<uint8_t>(wave.begin(), wave.end()));
    TKoWaveStreamFactory factory;
    factory.SetWantedFormat(*Template(WAVE_FORMAT_MULAW));
    TKoReadStreamFactory reads(holder);
    auto reader = factory.BuildReadChain(reads);
    ASSERT_TRUE(reader);
    EXPECT_EQ(dynamic_cast<TKoWaveStreamFormat*>(reader->GetFormat())->Format().FormatTag(),
              WAVE_FORMAT_MULAW);
    EXPECT_EQ(ReadInPieces(*reader).size(), 2000u);

    // A stream that already has a format is built on through a proxy and outlives the chain.
    auto pcm = TKoWaveFormat::CreatePCM(11025, 16, 1);
    TFormatStream audio(*pcm, AsBytes(Sine16(11025, 1, 500)));
    {
        TKoReadStreamFactory overAudio(audio);
        auto chain = factory.BuildReadChain(overAudio);
        ASSERT_TRUE(chain);
        EXPECT_EQ(ReadInPieces(*chain).size(), 500u);
        EXPECT_TRUE(chain->Close());
    }
    EXPECT_EQ(audio.closes, 0) << "the chain does not close a stream it does not own";
    EXPECT_EQ(audio.GetPosition(), 1000) << "the stream is still there";

    // A WAVE file written into a stream.
    TMemoryStream target;
    {
        TKoWriteStreamFactory writes(target);
        auto source = TKoWaveStreamFormat::CreateForFormat(pcm.get());
        auto writer = factory.BuildWriteChain(writes, *source);
        ASSERT_TRUE(writer);
        const auto bytes = AsBytes(Sine16(11025, 1, 700));
        ASSERT_TRUE(WriteInPieces(*writer, bytes));
        ASSERT_TRUE(writer->Close());
    }
    ASSERT_TRUE(target.Seek(SeekFromBeginning(0)));
    auto back = TKoMMIOWaveStream::OpenReadStream(target);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->GetFormat()->Format().FormatTag(), WAVE_FORMAT_MULAW);
    EXPECT_EQ(back->GetSize(), 700);
}

// When a stage is refused after others were built, everything built is taken down and
// nothing is returned; the stream under the chain is left alone.
TEST(StreamFactory, ARefusedStageDestroysTheChain) {
    // The proxy at the bottom reports the stream's own format, which no codec produces from
    // the path's last step: GSM in stereo.
    auto gsm = Enumerated(WAVE_FORMAT_GSM610, 8000, 1);
    ASSERT_TRUE(gsm);
    auto bogus = KoClone(*gsm);
    bogus->Data()->nChannels = 2;
    TFormatStream file(*bogus);
    TKoWaveStreamFactory factory;
    factory.SetWantedFormat(*gsm);
    TKoWriteStreamFactory writes(file);
    auto source =
        TKoWaveStreamFormat::CreateForFormat(TKoWaveFormat::CreatePCM(44100, 16, 2).get());
    EXPECT_EQ(factory.BuildWriteChain(writes, *source), nullptr);
    EXPECT_EQ(writes.Count(), 0u);
    EXPECT_TRUE(file.bytes.empty());
}

TEST(StreamFactory, ReadFileFormat) {
    TempDir dir;
    const std::string tone = dir.file("tone.wav"), text = dir.file("text.wav");
    WriteToneFile(tone, 48000, 16, 2, 1234);
    writeFile(text, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'W', 'A', 'V', 'E'});
    auto format = HKoWaveStreamFactory::ReadFileFormat(tone);
    ASSERT_TRUE(format);
    EXPECT_TRUE(Same(format->Format(), *TKoWaveFormat::CreatePCM(48000, 16, 2)));
    EXPECT_EQ(format->Fact().SampleCount, 1234u);
    EXPECT_EQ(HKoWaveStreamFactory::ReadFileFormat(text), nullptr);
    EXPECT_EQ(HKoWaveStreamFactory::ReadFileFormat(dir.file("missing.wav")), nullptr);
}
