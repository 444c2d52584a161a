// SPDX-License-Identifier: GPL-3.0-or-later
// Bare targets as the tools of their formats read them: A-law and u-law hold exactly the audio
// of the WAVE target, GSM decodes in sox and ffmpeg as the WAVE target does, and MP3 is an MPEG
// file with the source's tags and an Info frame that gives back the source's length.
#include <gtest/gtest.h>

#include <cstdio>

#include "barestream.h"
#include "streams/factory_util.h"

using namespace convtest;

namespace {

std::string Output(const std::string& Command) {
    std::string out;
    if (FILE* pipe = ::popen(Command.c_str(), "r")) {
        char buffer[512];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
        ::pclose(pipe);
    }
    return out;
}

// Frames of 16-bit audio the command writes to stdout at Channels channels.
long DecodedFrames(const std::string& Command, int Channels) {
    return long(Output(Command).size() / (2 * size_t(Channels)));
}

std::shared_ptr<const TWaveMetadata> Tags() {
    auto m = std::make_shared<TWaveMetadata>();
    Bytes info = bytesOf("INFO") + chunk("INAM", bytesOf(std::string("Title\0", 6))) +
                 chunk("IART", bytesOf(std::string("An Artist\0", 10))) +
                 chunk("IPRD", bytesOf(std::string("Album\0", 6))) +
                 chunk("ICMT", bytesOf(std::string("Comment\0", 8)));
    m->Chunks.push_back({FOURCC_LIST, TWaveChunkPlace::BeforeData, info});
    return m;
}

struct Row {
    const char* name;
    uint16_t tag;
    uint32_t rate;
    uint16_t channels;
    size_t frames;
    uint32_t kbps;
};

const Row kRows[] = {
    {"alaw", 6, 8000, 1, 8001, 0},
    {"ulaw_stereo", 7, 22050, 2, 22050, 0},
    {"gsm", 49, 8000, 1, 16000, 0},
    {"mp3_stereo", 85, 44100, 2, 57330, 128},
    {"mp3_mono_22k", 85, 22050, 1, 22050, 0},
};

}  // namespace

class BareTargets : public testing::TestWithParam<Row> {};

TEST_P(BareTargets, OtherToolsReadTheWholeStream) {
    const Row& r = GetParam();
    TempDir dir;
    const std::string in = dir.file("in.wav"), wave = dir.file("out.wav"),
                      bare = dir.file("out.bare");
    WriteToneFile(in, r.rate, 16, r.channels, r.frames, Tags());
    auto wanted = Enumerated(r.tag, r.rate, r.channels, r.kbps);
    ASSERT_TRUE(wanted);
    ASSERT_EQ(ConvertFile(in, wave, *wanted), Outcome::Converted);
    ASSERT_EQ(ConvertFile(in, bare, *wanted, false, true), Outcome::Converted);
    const Bytes bytes = readFile(bare);
    ASSERT_FALSE(bytes.empty());
    ASSERT_NE(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");

    if (r.tag == 6 || r.tag == 7) {
        // The WAVE target's audio, without the frame that evens an odd data chunk.
        auto wav = TKoMMIOWaveStream::OpenReadFile(wave);
        ASSERT_TRUE(wav);
        Bytes audio = readAll(*wav, 4096);
        audio.resize(r.frames * r.channels);
        EXPECT_EQ(bytes, audio);
        return;
    }
    if (r.tag == 49) {
        EXPECT_EQ(bytes.size() % 33, 0u);
        EXPECT_EQ(bytes[0] >> 4, 0xD);
        if (!HaveTool("sox")) GTEST_SKIP() << "needs sox";
        // The same encoder's frames in either form: sox decodes the same samples.
        const std::string raw = " -t raw -e signed -b 16 -L - 2>/dev/null";
        const std::string fromBare = Output("sox -t gsm -r 8000 -c 1 '" + bare + "'" + raw);
        const std::string fromWave = Output("sox '" + wave + "'" + raw);
        EXPECT_EQ(fromBare.size() / 2, r.frames);
        EXPECT_EQ(fromBare, fromWave.substr(0, fromBare.size()));
        if (HaveTool("ffmpeg")) {
            EXPECT_EQ(
                DecodedFrames("ffmpeg -v error -f gsm -ar 8000 -i '" + bare + "' -f s16le -", 1),
                long(r.frames));
        }
        return;
    }

    // MP3: an MPEG file with an ID3 tag, the tags ffprobe reads, decoded by every decoder to
    // the source's length (the Info frame's delay and padding honoured) or within a frame.
    if (HaveTool("file")) {
        const std::string type = Output("file -b '" + bare + "'");
        EXPECT_NE(type.find("ID3"), std::string::npos) << type;
        EXPECT_NE(type.find("MPEG ADTS, layer III"), std::string::npos) << type;
    }
    if (HaveTool("ffprobe")) {
        const std::string tags =
            Output("ffprobe -v error -show_entries format_tags -of default=nw=1 '" + bare + "'");
        for (const char* want : {"TAG:title=Title\n", "TAG:artist=An Artist\n", "TAG:album=Album\n",
                                 "TAG:comment=Comment\n"})
            EXPECT_NE(tags.find(want), std::string::npos) << want << tags;
    }
    const long frames = long(r.frames);
    if (HaveTool("mpg123")) {
        EXPECT_EQ(DecodedFrames("mpg123 -q -s '" + bare + "'", r.channels), frames);
    }
    if (HaveTool("ffmpeg")) {
        EXPECT_EQ(DecodedFrames("ffmpeg -v error -i '" + bare + "' -f s16le -", r.channels),
                  frames);
    }
    if (HaveTool("gst-launch-1.0")) {
        EXPECT_NEAR(DecodedFrames("gst-launch-1.0 -q filesrc location='" + bare +
                                      "' ! decodebin ! audioconvert ! audio/x-raw,format=S16LE ! "
                                      "fdsink",
                                  r.channels),
                    frames, 1152);
    }
    EXPECT_TRUE(TKoBareStream::Verify(bare, *wanted, 0));
}

INSTANTIATE_TEST_SUITE_P(Formats, BareTargets, testing::ValuesIn(kRows),
                         [](const auto& row) { return std::string(row.param.name); });
