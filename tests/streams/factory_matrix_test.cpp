// SPDX-License-Identifier: GPL-3.0-or-later
// Conversions between the formats the codec manager offers, file to file through the stream
// factories: each codec to and from PCM, codec to codec, rate, sample size and channel
// changes, complete formats and partial templates. Every file written is checked for the
// format asked for, the sample count in its `fact` chunk, and (with ffmpeg) its audio: the
// whole tone, to the last sample, within the codec's error.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "streams/factory_util.h"

using namespace convtest;

namespace {

using MakeFormat = std::function<std::unique_ptr<TKoWaveFormat>()>;

MakeFormat Complete(uint16_t Tag, uint32_t Rate, uint16_t Channels, uint32_t Kbps = 0) {
    return [=] { return Enumerated(Tag, Rate, Channels, Kbps); };
}
MakeFormat Pcm(uint32_t Rate, uint16_t Bits, uint16_t Channels, uint16_t Tag = 1) {
    return [=] {
        auto f = TKoWaveFormat::CreatePCM(Rate, Bits, Channels);
        if (Tag != 1) {
            // IEEE float: the same layout under its own tag.
            f->SetFormatTag(Tag);
            WAVEFORMATEX* w = f->Data();
            w->nBlockAlign = uint16_t(Channels * Bits / 8);
            w->nAvgBytesPerSec = Rate * w->nBlockAlign;
            w->cbSize = 0;
            f->MarkComplete();
        }
        return f;
    };
}
MakeFormat Partial(uint16_t Tag, uint32_t Rate = 0, uint16_t Channels = 0, uint16_t Bits = 0) {
    return [=] { return Template(Tag, Rate, Channels, Bits); };
}

struct Step {
    MakeFormat wanted;
    double minSnr;      // dB against the ideal tone at the file's rate and channels
    size_t extra = 0;   // frames the file may hold beyond the tone (codec blocks, delay)
    size_t maxLag = 0;  // frames of codec delay to search for (MP3)
};

struct Row {
    const char* name;
    uint32_t rate;  // of the tone file the first step reads
    uint16_t bits;
    uint16_t channels;
    std::vector<Step> steps;  // each converts the previous step's file
    bool speed = false;
};

constexpr size_t kMp3 = 1105 + 2 * 1152;  // encoder delay and a frame

void PrintTo(const Row& r, std::ostream* os) {
    *os << r.name;
}

std::vector<Row> Rows() {
    return {
        {"pcm_to_ima", 44100, 16, 2, {{Complete(17, 44100, 2), 38, 2041}}},
        {"pcm_to_msadpcm_template", 44100, 16, 2, {{Partial(2), 35, 2036}}},
        {"pcm_to_alaw_8k_mono", 44100, 16, 2, {{Complete(6, 8000, 1), 35}}},
        {"pcm_to_alaw_mono_template", 8000, 16, 2, {{Partial(6, 0, 1), 35}}},
        {"pcm_to_ulaw", 44100, 16, 2, {{Complete(7, 22050, 2), 34}}},
        {"pcm_to_gsm_template_goes_mono", 44100, 16, 2, {{Partial(49), 18, 320}}},
        {"pcm_to_gsm_8k", 8000, 16, 1, {{Complete(49, 8000, 1), 13, 320}}},
        {"pcm_to_mp3_and_back",
         44100,
         16,
         2,
         {{Complete(85, 44100, 2, 128), 23, kMp3, 2400}, {Partial(1), 23, kMp3, 2400}}},
        {"pcm8_to_mp3_template", 22050, 8, 1, {{Partial(85), 21, kMp3, 2400}}},
        {"pcm_rate_template", 44100, 16, 2, {{Partial(1, 22050), 80}}},
        {"pcm_rate_bits_channels", 44100, 16, 2, {{Pcm(16000, 8, 1), 32}}},
        {"pcm_up_to_96k_24", 44100, 16, 1, {{Pcm(96000, 24, 2), 80}}},
        {"pcm_to_float_48k", 22050, 16, 2, {{Pcm(48000, 32, 2, 3), 80}}},
        {"codec_to_codec",
         22050,
         16,
         1,
         {{Complete(17, 22050, 1), 34, 1017},
          {Partial(2), 33, 2 * 1017},
          {Partial(49), 17, 3 * 1017},
          {Partial(6), 17, 4 * 1017},
          {Partial(85), 14, 4 * 1017 + kMp3, 2400},
          {Partial(7), 14, 4 * 1017 + kMp3, 2400}}},
        {"mp3_to_ima",
         44100,
         16,
         2,
         {{Complete(85, 44100, 2, 192), 27, kMp3, 2400},
          {Complete(17, 44100, 2), 27, kMp3 + 2041, 2400}}},
        {"gsm_to_pcm_44k", 8000, 16, 1, {{Partial(49), 13, 320}, {Pcm(44100, 16, 2), 13, 2000}}},
        {"speed_mp3", 44100, 16, 2, {{Complete(85, 44100, 2, 128), 23, kMp3, 2400}}, true},
        {"speed_rate", 44100, 16, 2, {{Partial(1, 22050), 80}}, true},
    };
}

// What each step must leave: the known fields of the wanted format (all of them when it is
// complete), and the tone's sample count at the file's rate.
void CheckHeader(const TKoWaveStreamFormat& file, const TKoWaveFormat& wanted, double frames) {
    const TKoWaveFormat& f = file.Format();
    if (wanted.IsComplete()) {
        EXPECT_TRUE(f.SameAs(wanted)) << "the file is in another format than asked for";
    }
    const uint32_t known = wanted.KnownFields();
    EXPECT_EQ(f.FormatTag(), wanted.FormatTag());
    if (known & KoWaveFields::Channels) {
        EXPECT_EQ(f.Channels(), wanted.Channels());
    }
    if (known & KoWaveFields::SamplesPerSec) {
        EXPECT_EQ(f.SamplesPerSec(), wanted.SamplesPerSec());
    }
    if (known & KoWaveFields::BitsPerSample) {
        EXPECT_EQ(f.BitsPerSample(), wanted.BitsPerSample());
    }
    EXPECT_NEAR(double(file.Fact().SampleCount), frames, 1.0) << "the fact chunk's count";
}

}  // namespace

class FactoryMatrix : public testing::TestWithParam<Row> {};

TEST_P(FactoryMatrix, ConvertsAndKeepsTheWholeTone) {
    const Row& row = GetParam();
    TempDir dir;
    std::string in = dir.file("tone.wav");
    const size_t toneFrames = row.rate * 3 / 10 + 29;
    WriteToneFile(in, row.rate, row.bits, row.channels, toneFrames);
    const bool ffmpeg = HaveTool("ffmpeg");

    for (size_t k = 0; k < row.steps.size(); ++k) {
        const Step& step = row.steps[k];
        SCOPED_TRACE("step " + std::to_string(k + 1));
        auto wanted = step.wanted();
        ASSERT_TRUE(wanted && wanted->IsSpecified());
        const std::string out = dir.file("step" + std::to_string(k + 1) + ".wav");
        ASSERT_EQ(ConvertFile(in, out, *wanted, row.speed), Outcome::Converted);

        auto file = HKoWaveStreamFactory::ReadFileFormat(out);
        ASSERT_TRUE(file);
        const uint32_t rate = file->Format().SamplesPerSec();
        const uint16_t channels = uint16_t(file->Format().Channels());
        const double frames = double(toneFrames) * rate / row.rate;
        CheckHeader(*file, *wanted, frames);
        in = out;

        if (!ffmpeg) continue;
        const auto decoded = DecodeWithFfmpeg(out);
        ASSERT_FALSE(decoded.empty()) << "ffmpeg cannot read the file";
        const size_t decodedFrames = decoded.size() / channels;
        EXPECT_GE(double(decodedFrames) + 1, frames) << "the end of the tone is missing";
        // The writer evens an odd count of 1- or 3-byte frames with one frame of silence.
        const double evened = file->Format().BlockAlign() % 2 != 0 ? 1 : 0;
        EXPECT_LE(double(decodedFrames), frames + 1 + evened + double(step.extra));
        const auto ideal = IdealTone(rate, channels, row.channels, size_t(frames));
        const size_t lag =
            step.maxLag ? BestLag(ideal, decoded, channels, step.maxLag * channels) : 0;
        // The first and last few milliseconds hold the resampler's and the codecs' edges.
        const size_t edge = rate / 200 * channels;
        const std::vector<int16_t> mid(ideal.begin() + edge, ideal.end() - edge);
        const std::vector<int16_t> got(decoded.begin() + edge, decoded.end());
        EXPECT_GE(Snr(mid, got, mid.size(), lag), step.minSnr) << "lag " << lag;
        // The last tenth alone: a lost or silent tail fails here.
        const size_t tail = ideal.size() / 10 / channels * channels;
        const std::vector<int16_t> lastIdeal(ideal.end() - edge - tail, ideal.end() - edge);
        const std::vector<int16_t> lastGot(decoded.begin() + (ideal.size() - edge - tail),
                                           decoded.end());
        EXPECT_GE(Snr(lastIdeal, lastGot, tail, lag), step.minSnr) << "tail, lag " << lag;
    }
}

INSTANTIATE_TEST_SUITE_P(Conversions, FactoryMatrix, testing::ValuesIn(Rows()),
                         [](const auto& row) { return std::string(row.param.name); });

// Where no codec (or no path the negotiation finds) leads to the wanted format, no chain is
// built and no file is created.
TEST(FactoryMatrix, NoChainWhereNoPathLeads) {
    struct NoPath {
        const char* name;
        uint32_t rate;
        uint16_t channels;
        MakeFormat wanted;
    };
    const NoPath rows[] = {
        {"gsm_stereo", 44100, 2, Partial(49, 0, 2)},
        {"mp3_at_96k", 96000, 2, Partial(85, 96000)},
        {"msadpcm_8_bit", 22050, 1, Partial(2, 0, 0, 8)},
        {"alaw_at_16k", 16000, 1, Partial(6, 16000)},
        {"unknown_tag", 22050, 1, Partial(0x1234)},
    };
    TempDir dir;
    for (const NoPath& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string in = dir.file(std::string(r.name) + ".wav");
        const std::string out = dir.file(std::string(r.name) + "-out.wav");
        WriteToneFile(in, r.rate, 16, r.channels, 1000);
        EXPECT_EQ(ConvertFile(in, out, *r.wanted()), Outcome::NoChain);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}
