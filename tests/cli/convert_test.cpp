// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli convert, run as a user runs it: formats named by tag and description or by a
// template, files checked with the library's reader and with ffmpeg and sox, and every
// failure leaving no output behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "UKoWaveStreamFactory.h"
#include "cli/cli_fixture.h"

namespace fs = std::filesystem;
using clitest::Have;
using clitest::Slurp;

namespace {

class Convert : public clitest::CliTest {
  protected:
    int Run(const std::string& args) const {
        return Shell(std::string("timeout 300 ") + SONBAR_CLI + " convert " + args + " >/dev/null");
    }
    // A sweep, so that nothing in the file repeats.
    std::string Tone(const std::string& name, const std::string& soxFormat, double seconds = 1.3) {
        const std::string file = Path(name);
        EXPECT_EQ(Shell("sox -n " + soxFormat + " '" + file + "' synth " + std::to_string(seconds) +
                        " sine 300-3000 vol 0.5"),
                  0);
        return file;
    }
};

// Frames of audio in a file as a decoder other than ours reads it; -1 when it cannot.
long DecodedFrames(const std::string& tool, const std::string& file, int channels) {
    const std::string raw = file + "." + tool + ".raw";
    const std::string command = tool == "ffmpeg"
                                    ? "ffmpeg -nostdin -v error -y -i '" + file +
                                          "' -f s16le -acodec pcm_s16le '" + raw + "'"
                                    : "sox -V1 '" + file + "' -t raw -e signed -b 16 '" + raw + "'";
    if (std::system(command.c_str()) != 0) return -1;
    std::error_code error;
    const auto bytes = fs::file_size(raw, error);
    return error ? -1 : long(bytes / 2 / size_t(channels));
}

}  // namespace

TEST_F(Convert, UsageErrors) {
    const std::string in = Tone("in.wav", "-r 8000 -b 16 -c 1", 0.1);
    const std::string out = Path("out.wav");
    struct Row {
        const char* name;
        std::string args;
        const char* message;
    } rows[] = {
        {"no tag", "IN OUT", "--tag is required"},
        {"unknown tag name", "--tag opus IN OUT", "unknown format tag 'opus'"},
        {"unknown tag number", "--tag 4660 IN OUT", "unknown format tag"},
        {"unknown description", "--tag 'ima adpcm' --attributes '22,050 Hz, 4 Bit' IN OUT",
         "`sonbar-cli formats 'ima adpcm'` lists them"},
        {"description and fields",
         "--tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo' --rate 8000 IN OUT",
         "cannot go with"},
        {"not a number", "--tag 1 --rate fast IN OUT", "--rate takes a number"},
        {"zero channels", "--tag 1 --channels 0 IN OUT", "--channels takes a number"},
        {"zero threads", "--tag 1 --threads 0 IN OUT", "--threads takes a number"},
        {"missing value", "IN OUT --tag", "--tag needs a value"},
        {"three files", "--tag 1 IN OUT OUT", "one input and one output"},
        {"unknown option", "--tag 1 --loud IN OUT", "unknown option '--loud'"},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string args = r.args;
        args.replace(args.find("IN"), 2, "'" + in + "'");
        while (args.find("OUT") != std::string::npos)
            args.replace(args.find("OUT"), 3, "'" + out + "'");
        EXPECT_EQ(Run(args), 2);
        EXPECT_NE(Err().find(r.message), std::string::npos) << Err();
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(Run("--help"), 0);
}

// Several threads write the file one thread writes, whether the conversion splits into
// ranges (several of them here) or goes through a resampler on one thread.
TEST_F(Convert, ThreadsWriteTheSameFile) {
    const std::string in = Tone("in.wav", "-r 22050 -b 16 -c 2", 20);
    for (const char* args : {"--tag ima", "--tag msadpcm", "--tag alaw --channels 1",
                             "--tag pcm --bits 24", "--tag gsm"}) {
        SCOPED_TRACE(args);
        const std::string one = Path("one.wav"), three = Path("three.wav");
        ASSERT_EQ(Run(std::string(args) + " --threads 1 '" + in + "' '" + one + "'"), 0) << Err();
        ASSERT_EQ(Run(std::string(args) + " --threads 3 '" + in + "' '" + three + "'"), 0) << Err();
        EXPECT_EQ(Shell("cmp -s '" + one + "' '" + three + "'"), 0);
    }
}

TEST_F(Convert, FailuresNameTheStepAndLeaveNoOutput) {
    const std::string in = Tone("in.wav", "-r 44100 -b 16 -c 2", 2);
    const std::string text = Path("text.wav");
    std::ofstream(text) << "not a WAVE file";

    // A conversion that cannot even start leaves an existing OUT as it was.
    const std::string existing = Path("existing.wav");
    std::ofstream(existing) << "keep me";
    EXPECT_EQ(Run("--tag 'GSM 6.10' --channels 2 '" + in + "' '" + existing + "'"), 1);
    EXPECT_NE(Err().find("no conversion path from PCM 44,100 Hz, 16 Bit, Stereo to GSM 6.10"),
              std::string::npos)
        << Err();
    EXPECT_EQ(Slurp(existing), "keep me");

    struct Row {
        const char* name;
        std::string args;
        std::string out;
        const char* message;
    } rows[] = {
        {"input is no WAVE file", "--tag 17 '" + text + "'", Path("a.wav"), "not a WAVE file"},
        {"input missing", "--tag 17 '" + Path("missing.wav") + "'", Path("b.wav"), "missing.wav"},
        {"output directory missing", "--tag 17 '" + in + "'", Path("no/such/dir.wav"),
         "cannot create"},
        {"output is the input", "--tag 17 '" + in + "'", in, "is the input file itself"},
    };
    for (Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(Run(r.args + " '" + r.out + "'"), 1);
        EXPECT_NE(Err().find(r.message), std::string::npos) << Err();
        if (r.out != in) {
            EXPECT_FALSE(fs::exists(r.out));
        }
    }
    EXPECT_TRUE(fs::exists(in)) << "the input is never removed";

    // The file system refuses to let the output grow: the write fails half-way (with the
    // codec's close or before it) and the half-written output goes.
    for (const char* target : {"--tag 17", "--tag 1 --rate 22050", "--tag 85"}) {
        SCOPED_TRACE(target);
        const std::string out = Path("full.wav");
        const int code = Shell(std::string("trap '' XFSZ; ulimit -f 20; timeout 300 ") +
                               SONBAR_CLI + " convert " + target + " '" + in + "' '" + out + "'");
        EXPECT_EQ(code, 1) << Err();
        EXPECT_NE(Err().find("failed"), std::string::npos) << Err();
        EXPECT_FALSE(fs::exists(out));
    }

    // A device named as the output is written to, but never removed.
    struct stat device {};
    if (::stat("/dev/full", &device) == 0 && S_ISCHR(device.st_mode)) {
        EXPECT_EQ(Run("--tag 17 '" + in + "' /dev/full"), 1);
        ASSERT_EQ(::stat("/dev/full", &device), 0);
        EXPECT_TRUE(S_ISCHR(device.st_mode));
    }
}

// The format asked for, by description, number, name or template, the source's length in
// the `fact` chunk at the file's rate, and all of it readable by ffmpeg and sox.
TEST_F(Convert, WritesTheFormatAskedForAndAllOfTheAudio) {
    const std::string cd = Tone("cd.wav", "-r 44100 -b 16 -c 2");
    const std::string phone = Tone("phone.wav", "-r 8000 -b 16 -c 1");
    const long cdFrames = long(44100 * 1.3), phoneFrames = 8000 * 13 / 10;
    struct Row {
        const char* name;
        std::string in;
        long frames;
        std::string args;
        uint32_t tag, rate, channels, bits;  // 0: not checked
        uint32_t avgBytes;
        bool sox;  // sox reads this format too
    } rows[] = {
        {"mp3 by description", cd, cdFrames,
         "--tag 'MPEG Layer-3' --attributes '320 kBit/s, 44,100Hz, Stereo'", 85, 44100, 2, 0, 40000,
         false},
        {"mp3 for speed", cd, cdFrames, "--speed --tag 85", 85, 44100, 2, 0, 16000, false},
        {"ima by number", cd, cdFrames, "--tag 17", 17, 44100, 2, 4, 0, true},
        {"ms adpcm by name", phone, phoneFrames, "--tag 'microsoft adpcm'", 2, 8000, 1, 4, 0, true},
        // GSM is made for 8 kHz: a template without a rate takes it rather than the source's.
        {"gsm goes mono at 8 kHz", cd, cdFrames, "--tag 'gsm 6.10'", 49, 8000, 1, 0, 0, true},
        {"u-law at a lower rate", cd, cdFrames, "--tag 7 --attributes '8,000 Hz, 8 Bit, Mono'", 7,
         8000, 1, 8, 0, true},
        {"a-law mono template", cd, cdFrames, "--tag 6 --channels 1", 6, 44100, 1, 8, 0, true},
        {"pcm template", cd, cdFrames, "--tag pcm --rate 22050 --bits 8 --channels 1", 1, 22050, 1,
         8, 0, true},
        {"pcm up for speed", phone, phoneFrames, "--speed --tag 1 --rate 48000 --bits 24", 1, 48000,
         1, 24, 0, true},
    };
    const bool ffmpeg = Have("ffmpeg");
    for (Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string out = Path("out.wav");
        std::ofstream(out) << "an older file of that name";
        ASSERT_EQ(Run(r.args + " '" + r.in + "' '" + out + "'"), 0) << Err();
        auto file = HKoWaveStreamFactory::ReadFileFormat(out);
        ASSERT_TRUE(file) << "the output is replaced by a WAVE file";
        const TKoWaveFormat& f = file->Format();
        EXPECT_EQ(f.FormatTag(), r.tag);
        EXPECT_EQ(f.SamplesPerSec(), r.rate);
        EXPECT_EQ(f.Channels(), r.channels);
        if (r.bits) {
            EXPECT_EQ(f.BitsPerSample(), r.bits);
        }
        if (r.avgBytes) {
            EXPECT_EQ(f.AvgBytesPerSec(), r.avgBytes);
        }
        const double frames = double(r.frames) * r.rate / (r.in == cd ? 44100 : 8000);
        EXPECT_NEAR(double(file->Fact().SampleCount), frames, 1.0);
        if (ffmpeg) {
            EXPECT_GE(DecodedFrames("ffmpeg", out, int(r.channels)) + 1, long(frames));
        }
        if (r.sox) {
            EXPECT_GE(DecodedFrames("sox", out, int(r.channels)) + 1, long(frames));
        }
    }
}

// A codec file as the input: decoded and encoded again through PCM.
TEST_F(Convert, CodecToCodec) {
    const std::string in = Tone("in.wav", "-r 22050 -b 16 -c 1");
    const std::string ima = Path("ima.wav"), mp3 = Path("mp3.wav"), gsm = Path("gsm.wav"),
                      back = Path("back.wav");
    ASSERT_EQ(Run("--tag 17 '" + in + "' '" + ima + "'"), 0) << Err();
    ASSERT_EQ(Run("--tag 85 '" + ima + "' '" + mp3 + "'"), 0) << Err();
    ASSERT_EQ(Run("--tag 49 '" + mp3 + "' '" + gsm + "'"), 0) << Err();
    ASSERT_EQ(Run("--tag 1 --rate 44100 --channels 2 '" + gsm + "' '" + back + "'"), 0) << Err();
    auto file = HKoWaveStreamFactory::ReadFileFormat(back);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Format().SamplesPerSec(), 44100u);
    EXPECT_EQ(file->Format().Channels(), 2u);
    // Each codec may add up to a block (MP3: its delay and a frame), never take any away.
    const long frames = long(22050 * 1.3) * 2;
    auto reader = TKoMMIOWaveStream::OpenReadFile(back);
    ASSERT_TRUE(reader);
    const long got = long(reader->GetSize() / 4);
    EXPECT_GE(got, frames);
    EXPECT_LE(got, frames + 2 * (1017 + 1105 + 2 * 1152 + 320 + 50));
}
