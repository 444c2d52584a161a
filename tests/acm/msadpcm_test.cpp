// SPDX-License-Identifier: GPL-3.0-or-later
// Microsoft ADPCM through its driver: records, predictor choice, round
// trips, files of other tools, our files in other tools, cut and damaged data.
#include <gtest/gtest.h>

#include "pcm16_codec_util.h"

using namespace codectest;

namespace acm {
void limitMsAdpcmVectorLevel(int level);
}

namespace {

const acm::Driver* ms() {
    return acm::msAdpcmDriver();
}

constexpr int16_t kStdCoef[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                    {240, 0}, {460, -208}, {392, -232}};

// A record with room for `numCoef` pairs, the standard ones first.
Bytes msRecord(uint32_t rate, uint16_t channels, uint16_t blockAlign, uint16_t numCoef = 7) {
    Bytes b(sizeof(WAVEFORMATEX) + 4 + 4 * numCoef);
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(b.data());
    const uint16_t spb = static_cast<uint16_t>((blockAlign - 7 * channels) * 2 / channels + 2);
    *wfx = {WAVE_FORMAT_ADPCM,
            channels,
            rate,
            rate * blockAlign / spb,
            blockAlign,
            4,
            static_cast<uint16_t>(4 + 4 * numCoef)};
    auto put16 = [&](size_t at, int v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(18, spb);
    put16(20, numCoef);
    for (int i = 0; i < numCoef && i < 7; ++i) {
        put16(22 + 4 * i, kStdCoef[i][0]);
        put16(24 + 4 * i, kStdCoef[i][1]);
    }
    return b;
}

TEST(MsAdpcm, Records) {
    struct Row {
        uint32_t rate;
        uint16_t channels, blockAlign, samplesPerBlock;
        uint32_t avgBytes;
    };
    const Row rows[] = {
        {8000, 1, 256, 500, 4096},     {8000, 2, 512, 500, 8192},     {11025, 1, 256, 500, 5644},
        {11025, 2, 512, 500, 11289},   {22050, 1, 512, 1012, 11155},  {22050, 2, 1024, 1012, 22311},
        {44100, 1, 1024, 2036, 22179}, {44100, 2, 2048, 2036, 44359},
    };
    ASSERT_EQ(ms()->formats().size(), std::size(rows));
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + "/" + std::to_string(r.channels));
        const Bytes fmt = tableFormat(ms(), r.rate, r.channels);
        ASSERT_EQ(fmt.size(), sizeof(ADPCMWAVEFORMAT));
        const auto* f = reinterpret_cast<const ADPCMWAVEFORMAT*>(fmt.data());
        EXPECT_EQ(f->wfx.nBlockAlign, r.blockAlign);
        EXPECT_EQ(f->wSamplesPerBlock, r.samplesPerBlock);
        EXPECT_EQ(f->wfx.nAvgBytesPerSec, r.avgBytes);
        EXPECT_EQ(f->wfx.cbSize, 32);
        EXPECT_EQ(f->wNumCoef, 7);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(f->aCoef[i].iCoef1, kStdCoef[i][0]);
            EXPECT_EQ(f->aCoef[i].iCoef2, kStdCoef[i][1]);
        }
    }
}

TEST(MsAdpcm, RoundTrips) {
    // Margins sit 2-3 dB under what these rows measure (sox's encoder
    // reaches the same within 1 dB): speech 18-24 dB, music 31-59 dB, the
    // loud chirp with square bursts 22 dB. A wrong predictor, nibble order
    // or adaptation costs far more.
    expectBlockRoundTrips(
        ms(), {{"speech", speechLike, 16}, {"music", musicLike, 29}, {"loud", loudSignal, 19}});
}

TEST(MsAdpcm, PicksThePredictorThatFits) {
    // Signals with one clearly best predictor: in most blocks the header
    // must name it (a fixed or badly chosen predictor would not).
    struct Row {
        const char* name;
        Samples (*make)();
        int predictor;
    };
    const Row rows[] = {
        // Uncorrelated samples: predicting zero is best.
        {"white noise",
         [] {
             std::mt19937 rng(1);
             std::uniform_int_distribution<int> d(-20000, 20000);
             Samples s(500 * 20);
             for (auto& x : s) x = static_cast<int16_t>(d(rng));
             return s;
         },
         2},
        // A slow, smooth wave: extrapolating the line through the last two
        // samples (2 s1 - s2) is best.
        {"slow sine",
         [] {
             Samples s(500 * 20);
             for (size_t i = 0; i < s.size(); ++i)
                 s[i] = static_cast<int16_t>(std::lround(20000 * std::sin(i * 0.01)));
             return s;
         },
         1},
    };
    for (const Row& r : rows) {
        const Samples in = r.make();
        const Bytes fmt = tableFormat(ms(), 8000, 1);
        const Bytes coded = driverEncode(ms(), fmt, in);
        int hits = 0;
        for (size_t at = 0; at < coded.size(); at += 256) hits += coded[at] == r.predictor;
        EXPECT_GE(hits, 18) << r.name;
    }
}

TEST(MsAdpcm, EveryVectorBuildEncodesAlike) {
    // The trial loop exists for several vector units; where this processor
    // has them, each must give the same bytes as the baseline build.
    const Samples in = speechLike(22050, 0.3, 2);
    std::vector<Bytes> coded;
    for (int level : {0, 1, 2}) {
        acm::limitMsAdpcmVectorLevel(level);
        for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
            const Samples sig = ch == 1 ? channel(in, 2, 0) : in;
            coded.push_back(driverEncode(ms(), tableFormat(ms(), 22050, ch), sig));
        }
    }
    acm::limitMsAdpcmVectorLevel(2);
    for (size_t i = 2; i < coded.size(); ++i) EXPECT_EQ(coded[i], coded[i % 2]) << i;
}

TEST(MsAdpcm, FilesOfOtherTools) {
    // sox: 256 bytes per channel at 11,025 Hz; ffmpeg: 1,024 at 22,050 Hz.
    for (const char* name : {"msadpcm_sox_11025_stereo", "msadpcm_ffmpeg_22050"})
        expectDecodesLikeSox(ms(), name);
}

TEST(MsAdpcm, OtherToolsDecodeOurFiles) {
    const bool sox = haveTool("sox"), ffmpeg = haveTool("ffmpeg");
    if (!sox && !ffmpeg) GTEST_SKIP() << "neither sox nor ffmpeg";
    for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
        SCOPED_TRACE(ch);
        const Samples in = musicLike(22050, 0.5, ch);
        const Bytes fmt = tableFormat(ms(), 22050, ch);
        const Bytes coded = driverEncode(ms(), fmt, in);
        const Samples ours = driverDecode(ms(), fmt, coded);
        const uint32_t frames = uint32_t(in.size() / ch);
        if (sox) {
            EXPECT_EQ(toolDecode("sox", fmt, coded, frames, "ms"), ours);
        }
        if (ffmpeg) {
            // ffmpeg's prediction rounds toward zero; its samples drift a
            // little from ours within a block (3-5 dB less here).
            const Samples theirs = toolDecode("ffmpeg", fmt, coded, frames, "ms");
            ASSERT_GE(theirs.size(), in.size());
            EXPECT_GT(snrDb(in, theirs), snrDb(in, ours) - 8);
            EXPECT_GT(snrDb(in, theirs), 30);
        }
    }
}

TEST(MsAdpcm, CutFinalBlockGivesTheSamplesPresent) {
    for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
        const Bytes fmt = tableFormat(ms(), 11025, ch);  // 256 bytes a channel, 500 samples
        const uint32_t align = 256u * ch;
        const Bytes coded = driverEncode(ms(), fmt, speechLike(11025, 0.1, ch));
        const Samples full = driverDecode(ms(), fmt, coded);
        for (uint32_t tail : {0u, 6u, 7u, 14u, 15u, 100u, align - 1}) {
            const Bytes cut(coded.begin(), coded.end() - align + tail);
            const Samples got = driverDecode(ms(), fmt, cut);
            const uint32_t header = 7u * ch;
            const uint32_t frames = tail < header ? 0 : 2 + (tail - header) * 2 / ch;
            ASSERT_EQ(got.size(), full.size() - 500 * ch + frames * ch) << ch << " tail " << tail;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin())) << ch << " tail " << tail;
        }
    }
}

TEST(MsAdpcm, CoefficientsComeFromTheRecord) {
    // One pair only, (0, 0): a block naming predictor 0 must decode as the
    // standard table's predictor 2, which is (0, 0) too.
    const Bytes own = msRecord(8000, 1, 256, 1);
    Bytes custom = own;
    custom[22] = custom[23] = 0;
    const Bytes coded = driverEncode(ms(), tableFormat(ms(), 8000, 1), musicLike(8000, 0.05, 1));
    Bytes block(coded.begin(), coded.begin() + 256);
    block[0] = 0;
    Bytes asStandard = block;
    asStandard[0] = 2;
    EXPECT_EQ(driverDecode(ms(), custom, block),
              driverDecode(ms(), tableFormat(ms(), 8000, 1), asStandard));
    // A predictor index past the table reads as the first pair.
    Bytes past = block;
    past[0] = 9;
    EXPECT_EQ(driverDecode(ms(), custom, past), driverDecode(ms(), custom, block));
}

TEST(MsAdpcm, DamagedDataDecodesWithoutHarm) {
    std::mt19937 rng(5);
    // Extreme coefficients and random blocks: predictions and deltas run to
    // their limits, which must neither overflow nor read out of bounds.
    Bytes extreme = msRecord(8000, 2, 512, 2);
    for (size_t at = 22; at < extreme.size(); at += 2) {
        extreme[at] = 0x00;
        extreme[at + 1] = 0x80;  // -32768
    }
    for (const Bytes& fmt : {msRecord(8000, 1, 256), msRecord(8000, 2, 512), extreme}) {
        const uint32_t align = reinterpret_cast<const WAVEFORMATEX*>(fmt.data())->nBlockAlign;
        Bytes noise(align * 20 + 33);
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        const Samples out = driverDecode(ms(), fmt, noise);
        EXPECT_GE(out.size(), 20u * samplesPerBlock(fmt) * fmt[2]);
        // Every residual at its most: the delta triples at each sample.
        Bytes loud(align, 0x88);
        EXPECT_EQ(driverDecode(ms(), fmt, loud).size(), samplesPerBlock(fmt) * fmt[2]);
    }
}

TEST(MsAdpcm, RecordsThatLieAreRefused) {
    struct Row {
        const char* name;
        void (*spoil)(Bytes&);
    };
    const Row rows[] = {
        {"samples per block too high", [](Bytes& b) { b[18] += 2; }},
        {"samples per block too low", [](Bytes& b) { b[18] -= 2; }},
        {"no coefficients", [](Bytes& b) { b[20] = 0; }},
        {"more coefficients than bytes", [](Bytes& b) { b[20] = 8; }},
        {"cbSize without the counts", [](Bytes& b) { b[16] = 2; }},
        {"block smaller than the headers", [](Bytes& b) { b[12] = 10, b[13] = 0; }},
        {"8 bits", [](Bytes& b) { b[14] = 8; }},
        {"cbSize beyond the buffer", [](Bytes& b) { b[16] = 64; }},
    };
    for (const Row& r : rows) {
        Bytes fmt = msRecord(22050, 2, 512);
        r.spoil(fmt);
        const auto* wfx = reinterpret_cast<const WAVEFORMATEX*>(fmt.data());
        const WAVEFORMATEX pcm = pcm16(22050, 2);
        EXPECT_FALSE(ms()->describe(wfx, uint32_t(fmt.size()), nullptr)) << r.name;
        EXPECT_EQ(ms()->open(wfx, uint32_t(fmt.size()), &pcm, sizeof pcm, 0, nullptr),
                  ACMERR_NOTPOSSIBLE)
            << r.name;
    }
}

}  // namespace
