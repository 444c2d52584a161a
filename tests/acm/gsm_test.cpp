// SPDX-License-Identifier: GPL-3.0-or-later
// GSM 06.10 driver: round trips, files of other tools, files for other tools,
// format negotiation and damaged input.
#include <gtest/gtest.h>

#include "codec_test_util.h"
#include "drivers.h"

using namespace codectest;

namespace {

constexpr uint32_t kBlock = 65, kBlockSamples = 320;

GSM610WAVEFORMAT gsmFormat(uint32_t rate) {
    GSM610WAVEFORMAT f{{WAVE_FORMAT_GSM610, 1, rate, rate * 65 / 320, 65, 0, 2}, 320};
    return f;
}

WAVEFORMATEX pcmFormat(uint32_t rate, uint16_t channels = 1, uint16_t bits = 16) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return {WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0};
}

WAVEFORMATEX tagOnly(uint16_t tag) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    return f;
}

std::unique_ptr<acm::Codec> open(const WAVEFORMATEX* src, uint32_t cbSrc, const WAVEFORMATEX* dst,
                                 uint32_t cbDst) {
    std::unique_ptr<acm::Codec> codec;
    EXPECT_EQ(acm::gsm610Driver()->open(src, cbSrc, dst, cbDst, 0, &codec), MMSYSERR_NOERROR);
    return codec;
}

Bytes encode(const Samples& pcm, uint32_t rate, uint32_t chunk = 1000) {
    const WAVEFORMATEX src = pcmFormat(rate);
    const GSM610WAVEFORMAT dst = gsmFormat(rate);
    auto codec = open(&src, sizeof src, &dst.wfx, sizeof dst);
    return codec ? runCodec(*codec, toBytes(pcm), chunk) : Bytes{};
}

Samples decode(const Bytes& gsm, const WAVEFORMATEX* fmt, uint32_t chunk = 700) {
    const WAVEFORMATEX dst = pcmFormat(fmt->nSamplesPerSec);
    auto codec = open(fmt, acm::recordSize(fmt), &dst, sizeof dst);
    return codec ? toSamples(runCodec(*codec, gsm, chunk)) : Samples{};
}

struct RoundTrip {
    const char* name;
    uint32_t rate;
    bool music;
    double seconds;
    double minSegSnr;
};

// GSM is a speech coder: waveform SNR stays modest even when all is well,
// while a frame layout or byte-order fault drops it below 0 dB. Measured
// segmental SNR: 8-13 dB on the speech signal (lowest at 44,100 Hz, where
// the formants sit low in the coder's band), 14-17 dB on the chord; the
// margins leave about 2-4 dB.
class GsmRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(GsmRoundTrip, KeepsLengthAndWaveform) {
    const RoundTrip& p = GetParam();
    const Samples in = p.music ? musicLike(p.rate, p.seconds) : speechLike(p.rate, p.seconds);
    const Bytes gsm = encode(in, p.rate);
    const size_t blocks = (in.size() + kBlockSamples - 1) / kBlockSamples;
    ASSERT_EQ(gsm.size(), blocks * kBlock);

    const GSM610WAVEFORMAT fmt = gsmFormat(p.rate);
    const Samples out = decode(gsm, &fmt.wfx);
    EXPECT_GE(out.size(), in.size());
    EXPECT_LT(out.size(), in.size() + kBlockSamples);
    const double seg = segmentalSnrDb(in, out, 160);
    EXPECT_GT(seg, p.minSegSnr);
}

INSTANTIATE_TEST_SUITE_P(Rates, GsmRoundTrip,
                         testing::Values(RoundTrip{"speech8000", 8000, false, 1.3, 6},
                                         RoundTrip{"speech11025", 11025, false, 1.0, 6},
                                         RoundTrip{"speech22050", 22050, false, 0.6, 6},
                                         RoundTrip{"speech44100", 44100, false, 0.4, 6},
                                         RoundTrip{"music8000", 8000, true, 1.0, 10},
                                         RoundTrip{"music11025", 11025, true, 1.0, 10},
                                         RoundTrip{"music22050", 22050, true, 0.6, 10},
                                         RoundTrip{"music44100", 44100, true, 0.4, 10},
                                         // Shorter than one block: padded to one block, not lost.
                                         RoundTrip{"speechTiny", 8000, false, 0.01, -1000}),
                         [](const auto& row) { return row.param.name; });

// Files of other tools decode to exactly what sox decodes from them (both
// through libgsm). sox counts the RIFF pad byte in the data size, which
// leaves a 1-byte partial block that must be dropped, not decoded.
struct ToolFile {
    const char* name;
    const char* wav;
    const char* soxPcm;
};

class GsmToolFile : public testing::TestWithParam<ToolFile> {};

TEST_P(GsmToolFile, DecodesLikeSox) {
    Wave wave;
    ASSERT_TRUE(readWave(dataPath(GetParam().wav), &wave));
    ASSERT_TRUE(acm::gsm610Driver()->describe(wave.wfx(), wave.fmt.size(), nullptr));
    const Samples expected = toSamples(readFile(dataPath(GetParam().soxPcm)));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(decode(wave.data, wave.wfx()), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, GsmToolFile,
    testing::Values(ToolFile{"soxPadByte", "gsm_sox_8000.wav", "gsm_sox_8000.s16"},
                    // A rate off the offered grid: read anyway.
                    ToolFile{"soxRate16000", "gsm_sox_16000.wav", "gsm_sox_16000.s16"},
                    ToolFile{"ffmpeg", "gsm_ffmpeg_8000.wav", "gsm_ffmpeg_8000.s16"}),
    [](const auto& row) { return row.param.name; });

// Our files decode in sox to exactly our samples and in ffmpeg to the same
// audio, at full length. An odd block count puts a pad byte after the data.
TEST(GsmInterop, OurFileDecodesInOtherTools) {
    const bool sox = haveTool("sox"), ffmpeg = haveTool("ffmpeg");
    if (!sox && !ffmpeg) GTEST_SKIP() << "neither sox nor ffmpeg installed";
    const Samples in = speechLike(8000, 1.0);
    const Bytes gsm = encode(in, 8000);
    ASSERT_EQ(gsm.size() / kBlock % 2, 1u);
    const GSM610WAVEFORMAT fmt = gsmFormat(8000);
    const Samples ours = decode(gsm, &fmt.wfx);
    const std::string path =
        testing::TempDir() + "sonbar_gsm_ours_" + std::to_string(::getpid()) + ".wav";
    writeWave(path, &fmt.wfx, gsm, static_cast<uint32_t>(in.size()));
    if (sox) {
        EXPECT_EQ(soxDecode(path), ours);
    }
    if (ffmpeg) {
        const Samples theirs = ffmpegDecode(path);
        ASSERT_GE(theirs.size(), in.size());
        EXPECT_GT(snrDb(ours, theirs), 40.0);
    }
}

// Damaged data never crashes: random blocks decode to bounded noise of the
// right length; records that misstate the block layout are refused.
TEST(GsmDamage, RandomAndTruncatedBlocks) {
    std::mt19937 rng(3);
    Bytes junk(65 * 40 + 17);
    for (auto& b : junk) b = static_cast<uint8_t>(rng());
    const GSM610WAVEFORMAT fmt = gsmFormat(8000);
    EXPECT_EQ(decode(junk, &fmt.wfx).size(), 40u * kBlockSamples);
    // One byte short of a block pair: nothing, rather than a half-decoded frame.
    EXPECT_TRUE(decode(Bytes(junk.begin(), junk.begin() + 64), &fmt.wfx).empty());
}

TEST(GsmDamage, LyingRecordsAreRefused) {
    struct Case {
        const char* name;
        void (*edit)(GSM610WAVEFORMAT&);
        uint32_t cb;
    };
    const Case cases[] = {
        {"blockAlign64", [](GSM610WAVEFORMAT& f) { f.wfx.nBlockAlign = 64; }, 20},
        {"samplesPerBlock160", [](GSM610WAVEFORMAT& f) { f.wSamplesPerBlock = 160; }, 20},
        {"cbSizeBeyondBuffer", [](GSM610WAVEFORMAT&) {}, 18},
        {"cbSize0", [](GSM610WAVEFORMAT& f) { f.wfx.cbSize = 0; }, 20},
        {"stereo", [](GSM610WAVEFORMAT& f) { f.wfx.nChannels = 2; }, 20},
        {"rate0", [](GSM610WAVEFORMAT& f) { f.wfx.nSamplesPerSec = 0; }, 20},
        {"rate999", [](GSM610WAVEFORMAT& f) { f.wfx.nSamplesPerSec = 999; }, 20},
    };
    const WAVEFORMATEX pcm = pcmFormat(8000);
    for (const Case& c : cases) {
        GSM610WAVEFORMAT f = gsmFormat(8000);
        c.edit(f);
        const auto* wfx = &f.wfx;
        const uint32_t pcmRate = f.wfx.nSamplesPerSec;
        const WAVEFORMATEX out = pcmFormat(pcmRate);
        EXPECT_FALSE(acm::gsm610Driver()->describe(wfx, c.cb, nullptr)) << c.name;
        EXPECT_EQ(acm::gsm610Driver()->open(wfx, c.cb, &out, sizeof out, 0, nullptr),
                  ACMERR_NOTPOSSIBLE)
            << c.name;
        EXPECT_EQ(acm::gsm610Driver()->open(&pcm, sizeof pcm, wfx, c.cb, 0, nullptr),
                  ACMERR_NOTPOSSIBLE)
            << c.name;
    }
}

// What the driver offers and converts: 16-bit mono PCM <-> GSM at one rate.
TEST(GsmNegotiation, SuggestAndOpen) {
    const acm::Driver& d = *acm::gsm610Driver();
    struct Case {
        const char* name;
        WAVEFORMATEX src;
        uint32_t flags;
        WAVEFORMATEX tmpl;
        MMRESULT result;
        uint16_t tag;  // of the suggestion
    };
    const GSM610WAVEFORMAT gsm16k = gsmFormat(16000);
    const Case cases[] = {
        {"encodeGrid", pcmFormat(22050), 0, {}, MMSYSERR_NOERROR, WAVE_FORMAT_GSM610},
        {"encodeAsked", pcmFormat(8000), ACM_FORMATSUGGESTF_WFORMATTAG, tagOnly(WAVE_FORMAT_GSM610),
         MMSYSERR_NOERROR, WAVE_FORMAT_GSM610},
        {"encodeOffGrid", pcmFormat(16000), 0, {}, ACMERR_NOTPOSSIBLE, 0},
        {"encodeStereo", pcmFormat(8000, 2), 0, {}, ACMERR_NOTPOSSIBLE, 0},
        {"encode8Bit", pcmFormat(8000, 1, 8), 0, {}, ACMERR_NOTPOSSIBLE, 0},
        {"encodeOtherRate", pcmFormat(8000), ACM_FORMATSUGGESTF_NSAMPLESPERSEC, pcmFormat(11025),
         ACMERR_NOTPOSSIBLE, 0},
        {"decode", gsm16k.wfx, 0, {}, MMSYSERR_NOERROR, WAVE_FORMAT_PCM},
        {"decodeOtherRate", gsm16k.wfx, ACM_FORMATSUGGESTF_NSAMPLESPERSEC, pcmFormat(8000),
         ACMERR_NOTPOSSIBLE, 0},
        {"decodeStereo", gsm16k.wfx, ACM_FORMATSUGGESTF_NCHANNELS, pcmFormat(16000, 2),
         ACMERR_NOTPOSSIBLE, 0},
        {"decode8Bit", gsm16k.wfx, ACM_FORMATSUGGESTF_WBITSPERSAMPLE, pcmFormat(16000, 1, 8),
         ACMERR_NOTPOSSIBLE, 0},
        {"decodeToGsm", gsm16k.wfx, ACM_FORMATSUGGESTF_WFORMATTAG, tagOnly(WAVE_FORMAT_GSM610),
         ACMERR_NOTPOSSIBLE, 0},
    };
    for (const Case& c : cases) {
        // The source record may carry cbSize 2 beyond WAVEFORMATEX.
        GSM610WAVEFORMAT src{c.src, 320};
        GSM610WAVEFORMAT out{c.tmpl, 0};
        ASSERT_EQ(d.suggest(&src.wfx, &out.wfx, sizeof out, c.flags), c.result) << c.name;
        if (c.result != MMSYSERR_NOERROR) continue;
        EXPECT_EQ(out.wfx.wFormatTag, c.tag) << c.name;
        EXPECT_EQ(out.wfx.nSamplesPerSec, c.src.nSamplesPerSec) << c.name;
        EXPECT_EQ(out.wfx.nChannels, 1) << c.name;
        // The suggestion is a pair the driver then opens, both ways round.
        EXPECT_EQ(d.open(&src.wfx, acm::recordSize(&src.wfx), &out.wfx, acm::recordSize(&out.wfx),
                         0, nullptr),
                  MMSYSERR_NOERROR)
            << c.name;
        if (c.tag == WAVE_FORMAT_GSM610) {
            EXPECT_EQ(out.wfx.nAvgBytesPerSec, c.src.nSamplesPerSec * 65 / 320) << c.name;
            std::string text;
            EXPECT_TRUE(d.describe(&out.wfx, sizeof out, &text));
            EXPECT_EQ(text, acm::thousands(c.src.nSamplesPerSec) + " Hz, Mono");
        }
    }
    // GSM to GSM, or to a PCM of another rate, is not a conversion of this driver.
    const GSM610WAVEFORMAT g8 = gsmFormat(8000);
    const WAVEFORMATEX p11 = pcmFormat(11025);
    EXPECT_EQ(d.open(&g8.wfx, sizeof g8, &g8.wfx, sizeof g8, 0, nullptr), ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(d.open(&g8.wfx, sizeof g8, &p11, sizeof p11, 0, nullptr), ACMERR_NOTPOSSIBLE);
}

}  // namespace
