// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli formats, and the codec texts of info, run on the built program.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct CliRun {
    int code = -1;
    std::vector<std::string> out;
    std::string err;
};

std::vector<std::string> Lines(std::istream& in) {
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs sonbar-cli with the arguments, already quoted for the shell.
CliRun Cli(const std::string& args) {
    const fs::path dir = fs::temp_directory_path();
    const std::string stem = "sonbar-formats-" + std::to_string(::getpid());
    const fs::path out = dir / (stem + ".out"), err = dir / (stem + ".err");
    const std::string command = "timeout 60 " + std::string(SONBAR_CLI) + " " + args + " >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    CliRun run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream o(out), e(err);
    run.out = Lines(o);
    run.err.assign(std::istreambuf_iterator<char>(e), {});
    fs::remove(out);
    fs::remove(err);
    return run;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    return fields;
}

TEST(CliFormats, EveryFormatOnceWithItsTagAndTexts) {
    const CliRun all = Cli("formats");
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_TRUE(all.err.empty()) << all.err;

    // The grid each driver offers: rates x sizes x channels, and MP3's bit rates per rate.
    const std::map<std::string, std::pair<std::string, size_t>> expected = {
        {"1", {"PCM", 9 * 4 * 2}},         {"3", {"IEEE Float", 9 * 2}},
        {"2", {"Microsoft ADPCM", 4 * 2}}, {"17", {"IMA ADPCM", 4 * 2}},
        {"6", {"CCITT A-Law", 4 * 2}},     {"7", {"CCITT u-Law", 4 * 2}},
        {"49", {"GSM 6.10", 4}},           {"85", {"MPEG Layer-3", (3 * 14 + 3 * 14 + 3 * 8) * 2}},
    };
    std::map<std::string, size_t> counts;
    std::set<std::string> unique;
    for (const std::string& line : all.out) {
        const std::vector<std::string> f = Fields(line);
        ASSERT_EQ(f.size(), 3u) << line;
        ASSERT_TRUE(expected.count(f[0])) << line;
        EXPECT_EQ(f[1], expected.at(f[0]).first) << line;
        EXPECT_FALSE(f[2].empty()) << line;
        ++counts[f[0]];
        EXPECT_TRUE(unique.insert(line).second) << "listed twice: " << line;
    }
    for (const auto& [tag, nameAndCount] : expected) {
        SCOPED_TRACE(nameAndCount.first);
        EXPECT_EQ(counts[tag], nameAndCount.second);
    }
    for (const char* line :
         {"1\tPCM\t44,100 Hz, 16 Bit, Stereo", "85\tMPEG Layer-3\t128 kBit/s, 44,100Hz, Stereo",
          "49\tGSM 6.10\t8,000 Hz, Mono", "17\tIMA ADPCM\t22,050 Hz, 4 Bit, Mono"})
        EXPECT_TRUE(unique.count(line)) << line;
}

TEST(CliFormats, OneTagByNumberOrName) {
    const CliRun all = Cli("formats");
    ASSERT_EQ(all.code, 0);
    auto of = [&](const std::string& tag) {
        std::vector<std::string> lines;
        for (const std::string& line : all.out)
            if (line.rfind(tag + "\t", 0) == 0) lines.push_back(line);
        return lines;
    };
    struct Case {
        const char* args;
        const char* tag;
    };
    for (const Case c : {Case{"49", "49"}, Case{"'GSM 6.10'", "49"}, Case{"'gsm 6.10'", "49"},
                         Case{"pcm", "1"}, Case{"'mpeg LAYER-3'", "85"}, Case{"017", "17"}}) {
        SCOPED_TRACE(c.args);
        const CliRun one = Cli(std::string("formats ") + c.args);
        EXPECT_EQ(one.code, 0) << one.err;
        EXPECT_FALSE(one.out.empty());
        EXPECT_EQ(one.out, of(c.tag));
    }
}

TEST(CliFormats, UnknownTagsAreUsageErrors) {
    // 65534 is a tag the manager reads but never lists; "1 2" is one argument too many.
    for (const char* args : {"xyz", "65534", "0", "99999999999999999999", "''", "'PCM '", "1 2"}) {
        SCOPED_TRACE(args);
        const CliRun r = Cli(std::string("formats ") + args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find("sonbar-cli: usage: "), std::string::npos) << r.err;
    }
}

// Codec files made by sox and ffmpeg, and a tag no driver knows.
TEST(CliFormats, InfoNamesTheCodecAndDescribesTheFormat) {
    const std::string data = SONBAR_TEST_DATA;
    const fs::path unknown =
        fs::temp_directory_path() / ("sonbar-unknown-tag-" + std::to_string(::getpid()) + ".wav");
    {
        // RIFF/WAVE with an 18-byte `fmt ` of tag 0x1234 and four data bytes.
        const unsigned char bytes[] = {'R',  'I',  'F', 'F', 42,   0,    0,  0, 'W',  'A',
                                       'V',  'E',  'f', 'm', 't',  ' ',  18, 0, 0,    0,
                                       0x34, 0x12, 1,   0,   0x40, 0x1F, 0,  0, 0x40, 0x1F,
                                       0,    0,    1,   0,   8,    0,    0,  0, 'd',  'a',
                                       't',  'a',  4,   0,   0,    0,    1,  2, 3,    4};
        std::ofstream(unknown, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }
    struct Case {
        std::string file;
        const char* texts;
    };
    const std::vector<Case> cases = {
        {data + "/alaw_sox_8000_stereo.wav",
         " tagname=\"CCITT A-Law\" description=\"8,000 Hz, 8 Bit, Stereo\""},
        {data + "/mulaw_sox_11025.wav",
         " tagname=\"CCITT u-Law\" description=\"11,025 Hz, 8 Bit, Mono\""},
        // Block layouts other tools choose, and a rate off the offered grid.
        {data + "/ima_ffmpeg_22050.wav",
         " tagname=\"IMA ADPCM\" description=\"22,050 Hz, 4 Bit, Mono\""},
        {data + "/msadpcm_sox_11025_stereo.wav",
         " tagname=\"Microsoft ADPCM\" description=\"11,025 Hz, 4 Bit, Stereo\""},
        {data + "/gsm_sox_16000.wav", " tagname=\"GSM 6.10\" description=\"16,000 Hz, Mono\""},
        {unknown.string(), " tagname=\"\" description=\"\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const CliRun r = Cli("info '" + c.file + "'");
        EXPECT_EQ(r.code, 0) << r.err;
        ASSERT_EQ(r.out.size(), 1u);
        const std::string& line = r.out[0];
        const std::string texts = c.texts;
        ASSERT_GE(line.size(), texts.size());
        EXPECT_EQ(line.substr(line.size() - texts.size()), texts) << line;
    }
    fs::remove(unknown);
}

}  // namespace
