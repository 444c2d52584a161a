// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <random>

#include "UKoACMFormat.h"
#include "UKoWaveStreamFactory.h"
#include "splitencoder.h"
#include "streams/conversion_util.h"

namespace {

using acmtest::Codec;
using acmtest::Pcm;
using convtest::TFormatStream;

// A sweep broken by loud noise and by silence, so that an adaptive codec's state swings
// across the joins instead of settling.
std::vector<uint8_t> Signal(const TKoWaveFormat& Format, size_t Frames) {
    if (Frames == 0) return {};
    const uint16_t ch = uint16_t(Format.Channels());
    auto samples = convtest::Sine16(Format.SamplesPerSec(), ch, Frames);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> noise(-30000, 30000);
    for (size_t i = 0; i < Frames; ++i) {
        const size_t phase = (i / 3001) % 4;
        for (size_t c = 0; c < ch; ++c) {
            int16_t& s = samples[i * ch + c];
            if (phase == 1) s = int16_t(noise(random));
            if (phase == 3) s = 0;
        }
    }
    if (Format.BitsPerSample() == 16) return convtest::AsBytes(samples);
    std::vector<uint8_t> bytes;  // 8-bit
    for (int16_t s : samples) bytes.push_back(uint8_t((s >> 8) + 128));
    return bytes;
}

// The target's audio bytes from one chain, as the factory builds it without threads.
std::vector<uint8_t> Single(const TKoWaveFormat& Source, const TKoWaveFormat& Target,
                            const std::vector<uint8_t>& Audio) {
    TFormatStream file(Target);
    TKoWriteStreamFactory stages(file);
    TKoWaveStreamFactory factory;
    factory.SetWantedFormat(Target);
    auto chain = factory.BuildWriteChain(stages, *TKoWaveStreamFormat::CreateForFormat(&Source));
    EXPECT_TRUE(chain);
    if (!chain) return {};
    EXPECT_TRUE(convtest::WriteInPieces(*chain, Audio));
    EXPECT_TRUE(chain->Close());
    return file.bytes;
}

struct Split {
    std::vector<uint8_t> bytes;
    int64_t joins = 0, inexact = 0;
    bool closed = false;
};

// The same through the split stage, with ranges of RangeUnits blocks so that short signals
// cross many joins.
Split Splitting(const TKoWaveFormat& Source, const TKoWaveFormat& Target,
                const std::vector<uint8_t>& Audio, uint32_t RangeUnits, int64_t WriteLimit = -1) {
    auto path = HKoACMFormat::ConversionPath(Source, Target);
    EXPECT_TRUE(path);
    auto plan = TKoSplitWriteStream::Plan(Source, *path, true);
    EXPECT_TRUE(plan);
    if (!plan) return {};
    plan->RangeUnits = RangeUnits;
    TFormatStream file(Target);
    file.writeLimit = WriteLimit;
    Split result;
    {
        TKoSplitWriteStream split(Source, *path, true, *plan, 3, file);
        convtest::WriteInPieces(split, Audio);
        result.closed = split.Close();
        result.joins = split.Joins();
        result.inexact = split.InexactJoins();
    }
    result.bytes = file.bytes;
    return result;
}

}  // namespace

// Ranges encoded at once and joined give the bytes of one chain, for every codec with block
// boundaries and for lengths around the range and block sizes.
TEST(SplitEncoder, SameBytesAsOneChain) {
    struct Row {
        const char* name;
        std::unique_ptr<TKoWaveFormat> source, target;
    } rows[] = {
        {"PCM 16 to 24 bits", Pcm(22050, 16, 2), Pcm(22050, 24, 2)},
        {"A-law", Pcm(8000, 16, 1), Codec(WAVE_FORMAT_ALAW, 8000, 1)},
        {"u-law from 8 bits", Pcm(11025, 8, 2), Codec(WAVE_FORMAT_MULAW, 11025, 2)},
        {"IMA ADPCM mono", Pcm(22050, 16, 1), Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1)},
        {"IMA ADPCM stereo", Pcm(44100, 16, 2), Codec(WAVE_FORMAT_IMA_ADPCM, 44100, 2)},
        {"MS ADPCM", Pcm(22050, 16, 2), Codec(WAVE_FORMAT_ADPCM, 22050, 2)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto path = HKoACMFormat::ConversionPath(*row.source, *row.target);
        ASSERT_TRUE(path);
        const auto plan = TKoSplitWriteStream::Plan(*row.source, *path, true);
        ASSERT_TRUE(plan);
        const uint32_t range = 2 * (plan->PrimeUnits + plan->OverlapUnits) + 3;
        const size_t frames = plan->SourceUnit / row.source->BlockAlign();  // per block
        const size_t rangeFrames = range * frames;
        const size_t overlapFrames = plan->OverlapUnits * frames;
        for (size_t length : {size_t(0), frames / 2 + 1, rangeFrames - 1, rangeFrames,
                              rangeFrames + overlapFrames, 7 * rangeFrames + frames / 3 + 5}) {
            SCOPED_TRACE(length);
            const auto audio = Signal(*row.source, length);
            const auto expected = Single(*row.source, *row.target, audio);
            const auto split = Splitting(*row.source, *row.target, audio, range);
            EXPECT_TRUE(split.closed);
            EXPECT_EQ(split.bytes, expected);
            EXPECT_EQ(split.inexact, 0);
            if (length > 3 * rangeFrames) {
                EXPECT_GE(split.joins, 6);
            }
        }
    }
}

// Only conversions whose state restarts at block boundaries split: a resampler or a dither
// runs on across them, and MP3 frames have no boundaries of that kind.
TEST(SplitEncoder, PlansOnlyExactSplits) {
    struct Row {
        const char* name;
        std::unique_ptr<TKoWaveFormat> source, target;
        bool quality;
        bool splits;
    } rows[] = {
        {"PCM at one rate", Pcm(44100, 16, 2), Pcm(44100, 24, 2), true, true},
        {"dithered store to 16 bits", Pcm(44100, 24, 2), Pcm(44100, 16, 2), true, false},
        {"the same without dither", Pcm(44100, 24, 2), Pcm(44100, 16, 2), false, true},
        {"stereo to mono, dithered", Pcm(44100, 16, 2), Pcm(44100, 16, 1), true, false},
        {"resampled", Pcm(44100, 16, 2), Pcm(22050, 16, 2), false, false},
        {"IMA through a resampler", Pcm(44100, 16, 1), Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1),
         false, false},
        {"from IMA", Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1), Pcm(22050, 16, 1), false, false},
        {"GSM: its state never meets again", Pcm(8000, 16, 1), Codec(WAVE_FORMAT_GSM610, 8000, 1),
         true, false},
        {"MP3", Pcm(44100, 16, 2), Codec(WAVE_FORMAT_MPEGLAYER3, 44100, 2, 128), true, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto path = HKoACMFormat::ConversionPath(*row.source, *row.target);
        ASSERT_TRUE(path);
        EXPECT_EQ(TKoSplitWriteStream::Plan(*row.source, *path, row.quality).has_value(),
                  row.splits);
    }
}

// A destination that fails a write fails the stage, at the latest when it closes.
TEST(SplitEncoder, FailedWriteFailsClose) {
    const auto source = Pcm(22050, 16, 1);
    const auto target = Codec(WAVE_FORMAT_IMA_ADPCM, 22050, 1);
    const auto audio = Signal(*source, 200000);
    const auto split = Splitting(*source, *target, audio, 40, /*WriteLimit=*/5000);
    EXPECT_FALSE(split.closed);
    EXPECT_LE(split.bytes.size(), 5000u);
}
