// SPDX-License-Identifier: GPL-3.0-or-later
// IMA ADPCM through its driver: records, round trips, files of other tools,
// our files in other tools, cut and damaged data.
#include <gtest/gtest.h>

#include "pcm16_codec_util.h"

using namespace codectest;

namespace {

const acm::Driver* ima() {
    return acm::imaAdpcmDriver();
}

IMAADPCMWAVEFORMAT imaRecord(uint32_t rate, uint16_t channels, uint16_t blockAlign) {
    IMAADPCMWAVEFORMAT f{};
    f.wfx = {WAVE_FORMAT_IMA_ADPCM, channels, rate, 0, blockAlign, 4, 2};
    f.wSamplesPerBlock = static_cast<uint16_t>((blockAlign - 4 * channels) * 2 / channels + 1);
    f.wfx.nAvgBytesPerSec = rate * blockAlign / f.wSamplesPerBlock;
    return f;
}

Bytes bytesOf(const IMAADPCMWAVEFORMAT& f) {
    const auto* p = reinterpret_cast<const uint8_t*>(&f);
    return Bytes(p, p + sizeof f);
}

TEST(ImaAdpcm, Records) {
    struct Row {
        uint32_t rate;
        uint16_t channels, blockAlign, samplesPerBlock;
        uint32_t avgBytes;
    };
    const Row rows[] = {
        {8000, 1, 256, 505, 4055},     {8000, 2, 512, 505, 8110},     {11025, 1, 256, 505, 5588},
        {11025, 2, 512, 505, 11177},   {22050, 1, 512, 1017, 11100},  {22050, 2, 1024, 1017, 22201},
        {44100, 1, 1024, 2041, 22125}, {44100, 2, 2048, 2041, 44251},
    };
    ASSERT_EQ(ima()->formats().size(), std::size(rows));
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.rate) + "/" + std::to_string(r.channels));
        const Bytes fmt = tableFormat(ima(), r.rate, r.channels);
        ASSERT_EQ(fmt.size(), sizeof(IMAADPCMWAVEFORMAT));
        const auto* f = reinterpret_cast<const IMAADPCMWAVEFORMAT*>(fmt.data());
        EXPECT_EQ(f->wfx.nBlockAlign, r.blockAlign);
        EXPECT_EQ(f->wSamplesPerBlock, r.samplesPerBlock);
        EXPECT_EQ(f->wfx.nAvgBytesPerSec, r.avgBytes);
        EXPECT_EQ(f->wfx.wBitsPerSample, 4);
        EXPECT_EQ(f->wfx.cbSize, 2);
    }
}

TEST(ImaAdpcm, RoundTrips) {
    // Margins sit 2 dB under what these rows measure (and what sox's
    // encoder reaches on them, within 0.5 dB): speech 15-18 dB (sharp
    // glottal pulses outrun the step), music 22-48 dB, and the loud chirp
    // with square bursts 8-12 dB, where the step climbs 8 indices a sample
    // at most and trails every edge. A wrong nibble order, sign or step
    // table costs far more.
    expectBlockRoundTrips(
        ima(), {{"speech", speechLike, 13}, {"music", musicLike, 20}, {"loud", loudSignal, 6}});
}

TEST(ImaAdpcm, LoudStartIsFollowedAtOnce) {
    // The first block's step comes from its opening samples: starting from
    // the smallest step, a loud start would take a dozen samples to catch up.
    Samples in(2000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<int16_t>(std::lround(30000 * std::sin(2 * std::numbers::pi * i / 8)));
    const Bytes fmt = tableFormat(ima(), 8000, 1);
    const Samples out = driverDecode(ima(), fmt, driverEncode(ima(), fmt, in));
    const Samples head(in.begin(), in.begin() + 32);
    EXPECT_GT(snrDb(head, out), 15);  // 22 dB here, 5 dB from the smallest step
}

TEST(ImaAdpcm, FilesOfOtherTools) {
    // sox: 256 bytes per channel at any rate; ffmpeg: 1,024 at 22,050 Hz.
    for (const char* name : {"ima_sox_22050_stereo", "ima_sox_16000", "ima_ffmpeg_22050"})
        expectDecodesLikeSox(ima(), name);
}

TEST(ImaAdpcm, OtherToolsDecodeOurFiles) {
    const bool sox = haveTool("sox"), ffmpeg = haveTool("ffmpeg");
    if (!sox && !ffmpeg) GTEST_SKIP() << "neither sox nor ffmpeg";
    for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
        SCOPED_TRACE(ch);
        const Samples in = speechLike(22050, 0.5, ch);
        const Bytes fmt = tableFormat(ima(), 22050, ch);
        const Bytes coded = driverEncode(ima(), fmt, in);
        const Samples ours = driverDecode(ima(), fmt, coded);
        const uint32_t frames = uint32_t(in.size() / ch);
        if (sox) {
            EXPECT_EQ(toolDecode("sox", fmt, coded, frames, "ima"), ours);
        }
        if (ffmpeg) {
            // ffmpeg rounds the step differently, so only close to ours.
            const Samples theirs = toolDecode("ffmpeg", fmt, coded, frames, "ima");
            ASSERT_GE(theirs.size(), in.size());
            EXPECT_GT(snrDb(in, theirs), snrDb(in, ours) - 3);
        }
    }
}

TEST(ImaAdpcm, CutFinalBlockGivesTheSamplesPresent) {
    const Bytes fmt = tableFormat(ima(), 8000, 2);  // 512-byte blocks of 505 samples
    const Samples in = musicLike(8000, 0.1, 2);
    const Bytes coded = driverEncode(ima(), fmt, in);
    const Samples full = driverDecode(ima(), fmt, coded);
    // Cut inside the header, right after it, inside a row, after a row.
    for (uint32_t tail : {0u, 5u, 8u, 13u, 16u, 17u, 504u}) {
        const Bytes cut(coded.begin(), coded.end() - 512 + tail);
        const Samples got = driverDecode(ima(), fmt, cut);
        const uint32_t frames = tail < 8 ? 0 : 1 + 8 * ((tail - 8) / 8);
        ASSERT_EQ(got.size(), full.size() - 2 * 505 + 2 * frames) << "tail " << tail;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin())) << "tail " << tail;
    }
}

TEST(ImaAdpcm, DamagedDataDecodesWithoutHarm) {
    std::mt19937 rng(3);
    for (uint16_t ch : {uint16_t{1}, uint16_t{2}}) {
        const Bytes fmt = bytesOf(imaRecord(11025, ch, uint16_t(256 * ch)));
        Bytes noise(256 * ch * 20 + 77);
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        const Samples out = driverDecode(ima(), fmt, noise);
        EXPECT_GE(out.size(), 20u * 505u * ch) << ch;

        // A step index beyond the table reads as the largest one.
        Bytes block(256 * ch, 0x77);
        Bytes clamped = block;
        for (uint16_t c = 0; c < ch; ++c) {
            block[4 * c + 2] = 200;
            clamped[4 * c + 2] = 88;
        }
        EXPECT_EQ(driverDecode(ima(), fmt, block), driverDecode(ima(), fmt, clamped));
    }
}

TEST(ImaAdpcm, RecordsThatLieAreRefused) {
    struct Row {
        const char* name;
        void (*spoil)(IMAADPCMWAVEFORMAT&);
    };
    const Row rows[] = {
        {"samples per block too high", [](IMAADPCMWAVEFORMAT& f) { f.wSamplesPerBlock += 8; }},
        {"samples per block too low", [](IMAADPCMWAVEFORMAT& f) { f.wSamplesPerBlock -= 8; }},
        {"no extra bytes", [](IMAADPCMWAVEFORMAT& f) { f.wfx.cbSize = 0; }},
        {"block smaller than the headers", [](IMAADPCMWAVEFORMAT& f) { f.wfx.nBlockAlign = 4; }},
        {"3 bits", [](IMAADPCMWAVEFORMAT& f) { f.wfx.wBitsPerSample = 3; }},
        {"3 channels", [](IMAADPCMWAVEFORMAT& f) { f.wfx.nChannels = 3; }},
        {"rate 0", [](IMAADPCMWAVEFORMAT& f) { f.wfx.nSamplesPerSec = 0; }},
        {"cbSize beyond the buffer", [](IMAADPCMWAVEFORMAT& f) { f.wfx.cbSize = 40; }},
    };
    for (const Row& r : rows) {
        IMAADPCMWAVEFORMAT f = imaRecord(22050, 2, 512);
        r.spoil(f);
        const WAVEFORMATEX pcm = pcm16(f.wfx.nSamplesPerSec, f.wfx.nChannels);
        EXPECT_FALSE(ima()->describe(&f.wfx, sizeof f, nullptr)) << r.name;
        EXPECT_EQ(ima()->open(&f.wfx, sizeof f, &pcm, sizeof pcm, 0, nullptr), ACMERR_NOTPOSSIBLE)
            << r.name;
    }
}

}  // namespace
