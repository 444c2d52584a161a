// SPDX-License-Identifier: GPL-3.0-or-later
// `convert --threaded` runs both chains through thread streams; it must write the very same
// file as `convert`, and a failure below the thread stream must still fail the conversion.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/cli_fixture.h"

namespace fs = std::filesystem;
using clitest::Have;
using clitest::Slurp;

namespace {

class ConvertThreaded : public clitest::CliTest {
  protected:
    int Convert(const std::string& args) const {
        return Shell(std::string("timeout 300 ") + SONBAR_CLI + " convert " + args);
    }
};

struct Row {
    const char* name;
    const char* input;               // sox's options for the tone file
    std::vector<const char*> steps;  // convert options; each step reads the previous file
};

// The conversions the factory tests run, as convert options.
const Row kRows[] = {
    {"pcm_to_ima", "-r 44100 -b 16 -c 2", {"--tag 17 --attributes '44,100 Hz, 4 Bit, Stereo'"}},
    {"pcm_to_msadpcm_template", "-r 44100 -b 16 -c 2", {"--tag 2"}},
    {"pcm_to_alaw_8k_mono",
     "-r 44100 -b 16 -c 2",
     {"--tag 6 --attributes '8,000 Hz, 8 Bit, Mono'"}},
    {"pcm_to_alaw_mono_template", "-r 8000 -b 16 -c 2", {"--tag 6 --channels 1"}},
    {"pcm_to_ulaw", "-r 44100 -b 16 -c 2", {"--tag 7 --attributes '22,050 Hz, 8 Bit, Stereo'"}},
    {"pcm_to_gsm_template_goes_mono", "-r 44100 -b 16 -c 2", {"--tag 49"}},
    {"pcm_to_gsm_8k", "-r 8000 -b 16 -c 1", {"--tag 49 --attributes '8,000 Hz, Mono'"}},
    {"pcm_to_mp3_and_back",
     "-r 44100 -b 16 -c 2",
     {"--tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo'", "--tag 1"}},
    {"pcm8_to_mp3_template", "-r 22050 -b 8 -c 1", {"--tag 85"}},
    {"pcm_rate_template", "-r 44100 -b 16 -c 2", {"--tag 1 --rate 22050"}},
    {"pcm_rate_bits_channels",
     "-r 44100 -b 16 -c 2",
     {"--tag 1 --attributes '16,000 Hz, 8 Bit, Mono'"}},
    {"pcm_up_to_96k_24",
     "-r 44100 -b 16 -c 1",
     {"--tag 1 --attributes '96,000 Hz, 24 Bit, Stereo'"}},
    {"pcm_to_float_48k",
     "-r 22050 -b 16 -c 2",
     {"--tag 3 --attributes '48,000 Hz, 32 Bit, Stereo'"}},
    {"codec_to_codec",
     "-r 22050 -b 16 -c 1",
     {"--tag 17 --attributes '22,050 Hz, 4 Bit, Mono'", "--tag 2", "--tag 49", "--tag 6",
      "--tag 85", "--tag 7"}},
    {"mp3_to_ima",
     "-r 44100 -b 16 -c 2",
     {"--tag 85 --attributes '192 kBit/s, 44,100Hz, Stereo'",
      "--tag 17 --attributes '44,100 Hz, 4 Bit, Stereo'"}},
    {"gsm_to_pcm_44k",
     "-r 8000 -b 16 -c 1",
     {"--tag 49", "--tag 1 --attributes '44,100 Hz, 16 Bit, Stereo'"}},
    {"speed_mp3",
     "-r 44100 -b 16 -c 2",
     {"--speed --tag 85 --attributes '128 kBit/s, 44,100Hz, Stereo'"}},
    {"speed_rate", "-r 44100 -b 16 -c 2", {"--speed --tag 1 --rate 22050"}},
};

TEST_F(ConvertThreaded, WritesTheSameFileAsConvert) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        std::string in = Path(std::string(row.name) + ".wav");
        // Longer than the 3-second FIFOs, so that they fill, wrap and wait.
        ASSERT_EQ(Shell(std::string("sox -n ") + row.input + " '" + in + "' synth 4 sine 300-3000"),
                  0);
        for (size_t i = 0; i < row.steps.size(); ++i) {
            SCOPED_TRACE(row.steps[i]);
            const std::string plain =
                Path(std::string(row.name) + "-" + std::to_string(i) + ".wav");
            const std::string threaded =
                Path(std::string(row.name) + "-" + std::to_string(i) + "-t.wav");
            ASSERT_EQ(Convert(std::string(row.steps[i]) + " '" + in + "' '" + plain + "'"), 0)
                << Err();
            // Two threads whatever the machine's load: a file this short is never split, and
            // a split MP3 would be laid out otherwise.
            ASSERT_EQ(Convert(std::string("--threaded --threads 2 ") + row.steps[i] + " '" + in +
                              "' '" + threaded + "'"),
                      0)
                << Err();
            const std::string a = Slurp(plain), b = Slurp(threaded);
            EXPECT_GT(a.size(), 44u);
            EXPECT_TRUE(a == b) << "the threaded file differs (" << a.size() << " and " << b.size()
                                << " bytes)";
            in = plain;
        }
    }
}

// The file system refuses to let the output grow past a limit: the write-behind thread meets
// the failure, and convert must fail and remove its output, just as without threads.
TEST_F(ConvertThreaded, AFailingOutputFileFailsTheConversion) {
    const std::string in = Path("in.wav");
    ASSERT_EQ(Shell("sox -n -r 44100 -b 16 -c 2 '" + in + "' synth 6 sine 300-3000"), 0);
    for (const char* options : {"", "--threaded "}) {
        for (const char* target : {"--tag 1 --rate 22050", "--tag 17"}) {
            SCOPED_TRACE(std::string(options) + target);
            const std::string out = Path("out.wav");
            // A write past the limit fails with EFBIG once the signal it raises is ignored.
            const int code =
                Shell(std::string("trap '' XFSZ; ulimit -f 200; timeout 300 ") + SONBAR_CLI +
                      " convert " + options + target + " '" + in + "' '" + out + "'");
            EXPECT_EQ(code, 1) << Err();
            EXPECT_NE(Err().find("sonbar-cli: "), std::string::npos) << Err();
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

}  // namespace
