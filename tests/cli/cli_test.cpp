// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built sonbar-cli on files made by other tools (sox, ffmpeg) at test time.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    int code;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CliTest : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() /
                   ("sonbar-cli-" + std::to_string(::getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());

    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Runs a shell command line; a hang ends in exit code 124 from timeout.
    Result shell(const std::string& line) const {
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        const std::string command = line + " >" + out.string() + " 2>" + err.string();
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    }
    Result cli(const std::string& args) const {
        return shell(std::string("timeout 120 ") + SONBAR_CLI + " " + args);
    }

    static bool have(const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    }
};

Bytes readBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint32_t le(const Bytes& b, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = v << 8 | (at + size_t(i) < b.size() ? b[at + size_t(i)] : 0);
    return v;
}

// What a plain scan of the header says: the tag and cbSize of `fmt ` and whether `fact` is
// there. Deliberately naive (first match of the ids), as a check independent of the reader.
struct Header {
    uint32_t tag = 0, extra = 0;
    bool fact = false;
};

Header scanHeader(const Bytes& b) {
    auto find = [&](const char* id) {
        return std::search(b.begin(), b.end(), id, id + 4) - b.begin();
    };
    Header h;
    const size_t fmt = size_t(find("fmt "));
    h.tag = le(b, fmt + 8, 2);
    h.extra = le(b, fmt + 4, 4) >= 18 && h.tag != 1 ? le(b, fmt + 24, 2) : 0;
    h.fact = size_t(find("fact")) < size_t(find("data"));
    return h;
}

// The stream fields as ffprobe sees them.
std::map<std::string, std::string> probe(const std::string& file) {
    std::map<std::string, std::string> fields;
    FILE* pipe = ::popen(("ffprobe -v error -select_streams a:0 -show_entries "
                          "stream=sample_rate,channels,bits_per_sample,duration_ts -of "
                          "default=nw=1 '" +
                          file + "'")
                             .c_str(),
                         "r");
    if (!pipe) return fields;
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        if (auto eq = text.find('='); eq != std::string::npos)
            fields[text.substr(0, eq)] = text.substr(eq + 1);
    }
    ::pclose(pipe);
    return fields;
}

std::string thousands(uint32_t value) {
    std::string digits = std::to_string(value);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(digits.begin() + at, ',');
    return digits;
}

// The codec texts of an uncompressed format: the PCM converter names the tags it reads and
// describes 8- to 32-bit mono and stereo data; anything else gets an empty description.
std::string codecTexts(uint32_t tag, uint32_t rate, uint32_t bits, uint32_t channels) {
    const std::map<uint32_t, std::string> names = {
        {1, "PCM"}, {3, "IEEE Float"}, {65534, "Extensible"}};
    std::string description;
    if (channels <= 2 && (bits == 8 || bits == 16 || bits == 24 || bits == 32))
        description = thousands(rate) + " Hz, " + std::to_string(bits) + " Bit, " +
                      (channels == 1 ? "Mono" : "Stereo");
    return " tagname=\"" + names.at(tag) + "\" description=\"" + description + "\"";
}

// The info line the files made by the tools must get.
std::string expectedLine(const std::string& file) {
    auto p = probe(file);
    const Header h = scanHeader(readBytes(file));
    const uint32_t channels = std::stoul(p["channels"]), rate = std::stoul(p["sample_rate"]);
    const uint32_t bits = std::stoul(p["bits_per_sample"]), frames = std::stoul(p["duration_ts"]);
    const uint32_t align = channels * bits / 8;
    // PCM without a fact chunk counts its frames; other tags only say it through `fact`.
    const uint32_t samples = h.tag == 1 || h.fact ? frames : 0;
    std::ostringstream line;
    line << file << "\ttag=" << h.tag << " channels=" << channels << " rate=" << rate
         << " bits=" << bits << " avgbytes=" << rate * align << " blockalign=" << align
         << " extra=" << h.extra << " samples=" << samples << " data=" << frames * align
         << codecTexts(h.tag, rate, bits, channels);
    return line.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

struct Made {
    std::string name;
    std::string command;  // %s is the output file
};

// Files as sox and ffmpeg write them: PCM of 8 to 32 bits, float, several channels, and
// ffmpeg's LIST chunk with the title.
const std::vector<Made>& madeFiles() {
    static const std::vector<Made> made = {
        {"sox-u8.wav", "sox -n -r 8000 -c 1 -b 8 -e unsigned %s synth 0.5 sine 300"},
        {"sox-s16.wav", "sox -n -r 44100 -c 2 -b 16 %s synth 0.5 sine 300"},
        {"sox-s24.wav", "sox -n -r 48000 -c 2 -b 24 %s synth 0.3 sine 300"},
        {"sox-s32.wav", "sox -n -r 22050 -c 1 -b 32 %s synth 0.5 sine 300"},
        {"sox-f32.wav", "sox -n -r 32000 -c 2 -e floating-point -b 32 %s synth 0.5 sine 300"},
        {"sox-4ch.wav", "sox -n -r 16000 -c 4 -b 16 %s synth 0.5 sine 300"},
        {"sox-comment.wav",
         "sox -n -r 11025 -c 1 -b 16 --comment 'a LIST chunk' %s synth 0.1 sine 300"},
        {"ff-u8.wav", "ffmpeg -v error -f lavfi -i sine=f=300:r=8000:d=0.5 -c:a pcm_u8 %s"},
        {"ff-s16.wav",
         "ffmpeg -v error -f lavfi -i sine=f=300:r=44100:d=0.5 -ac 2 -c:a pcm_s16le -metadata "
         "title=x %s"},
        {"ff-s24.wav",
         "ffmpeg -v error -f lavfi -i sine=f=300:r=48000:d=0.3 -ac 2 -c:a pcm_s24le %s"},
        {"ff-s32.wav", "ffmpeg -v error -f lavfi -i sine=f=300:r=22050:d=0.5 -c:a pcm_s32le %s"},
        {"ff-f32.wav",
         "ffmpeg -v error -f lavfi -i sine=f=300:r=32000:d=0.5 -ac 2 -c:a pcm_f32le %s"},
        {"ff-f64.wav", "ffmpeg -v error -f lavfi -i sine=f=300:r=11025:d=0.5 -c:a pcm_f64le %s"},
    };
    return made;
}

std::string format(const std::string& pattern, const std::string& file) {
    std::string out = pattern;
    out.replace(out.find("%s"), 2, "'" + file + "'");
    return out;
}

}  // namespace

TEST_F(CliTest, UsageAndExitCodes) {
    struct Row {
        const char* name;
        std::string args;
        int code;
        const char* inOut;
        const char* inErr;
    } rows[] = {
        {"help", "--help", 0, "copy IN OUT", ""},
        {"no command", "", 2, "", "usage"},
        {"unknown command", "frobnicate", 2, "", "unknown command"},
        {"info without files", "info", 2, "", "usage"},
        {"info --tags without files", "info --tags", 2, "", "usage"},
        {"copy with one name", "copy a.wav", 2, "", "usage"},
        {"copy with three names", "copy a b c", 2, "", "usage"},
        {"missing file", "info " + path("missing.wav"), 1, "", "sonbar-cli: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Result r = cli(row.args);
        EXPECT_EQ(r.code, row.code) << r.err;
        EXPECT_NE(r.out.find(row.inOut), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(row.inErr), std::string::npos) << r.err;
    }
    Result help = cli("--help");
    EXPECT_NE(help.out.find("info FILE"), std::string::npos);
    Result missing = cli("info " + path("missing.wav"));
    EXPECT_EQ(lines(missing.err).at(0).rfind("sonbar-cli: " + path("missing.wav") + ": ", 0), 0u);
}

TEST_F(CliTest, InfoPrintsTheHeadersOfFilesMadeBySoxAndFfmpeg) {
    if (!have("sox") || !have("ffmpeg") || !have("ffprobe")) GTEST_SKIP() << "needs sox and ffmpeg";
    std::string args = "info";
    std::vector<std::string> expected;
    for (const Made& m : madeFiles()) {
        ASSERT_EQ(std::system(format(m.command, path(m.name)).c_str()), 0) << m.command;
        args += " '" + path(m.name) + "'";
        expected.push_back(expectedLine(path(m.name)));
    }
    // A file that is not WAVE among them: reported, and the others still listed.
    writeBytes(path("text.wav"), Bytes{'h', 'e', 'l', 'l', 'o'});
    args += " '" + path("text.wav") + "'";

    Result r = cli(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines(r.out), expected);
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(lines(r.err)[0].rfind("sonbar-cli: " + path("text.wav") + ": ", 0), 0u);
}

TEST_F(CliTest, InfoOfASystemSampleSound) {
    const std::string sample = "/usr/share/sounds/alsa/Front_Center.wav";
    if (!fs::exists(sample) || !have("ffprobe")) GTEST_SKIP() << "no alsa-utils sample sound";
    Result r = cli("info " + sample);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines(r.out), std::vector<std::string>{expectedLine(sample)});
}

// The copy holds the same audio bytes and format, and the other tools read it.
TEST_F(CliTest, CopyKeepsTheAudioAndOtherToolsReadIt) {
    if (!have("sox") || !have("ffmpeg")) GTEST_SKIP() << "needs sox and ffmpeg";
    for (const Made& m : madeFiles()) {
        SCOPED_TRACE(m.name);
        const std::string in = path(m.name), out = path("copy-" + m.name);
        ASSERT_EQ(std::system(format(m.command, in).c_str()), 0);
        Result r = cli("copy '" + in + "' '" + out + "'");
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;

        // The raw packets ffmpeg extracts are the data chunk's bytes.
        const std::string raw = "ffmpeg -v error -y -i '%s' -map 0:a -c copy -f data '%s.raw'";
        for (const std::string& f : {in, out}) {
            std::string command = raw;
            command.replace(command.find("%s"), 2, f);
            command.replace(command.find("%s"), 2, f);
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        EXPECT_EQ(readBytes(in + ".raw"), readBytes(out + ".raw"));
        EXPECT_FALSE(readBytes(out + ".raw").empty());
        EXPECT_EQ(shell("sox '" + out + "' -n").code, 0);

        Result before = cli("info '" + in + "'"), after = cli("info '" + out + "'");
        ASSERT_EQ(before.code, 0);
        ASSERT_EQ(after.code, 0);
        EXPECT_EQ(before.out.substr(before.out.find('\t')), after.out.substr(after.out.find('\t')));
    }
}

// Damaged files: either a clean refusal (exit 1, one error line, no output file) or a copy
// that is itself a well-formed WAVE file; never a crash or a hang.
TEST_F(CliTest, DamagedFilesAreRefusedOrCopiedWellFormed) {
    if (!have("sox")) GTEST_SKIP() << "needs sox";
    ASSERT_EQ(
        std::system(
            ("sox -n -r 8000 -c 1 -b 16 '" + path("good.wav") + "' synth 0.2 sine 300").c_str()),
        0);
    const Bytes good = readBytes(path("good.wav"));
    auto withLe = [&](size_t at, uint32_t value) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(value >> (8 * i));
        return b;
    };
    const size_t data =
        size_t(std::search(good.begin(), good.end(), "data", "data" + 4) - good.begin());
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"empty", {}},
        {"riff size 0", withLe(4, 0)},
        {"riff size huge", withLe(4, 0xFFFFFFFF)},
        {"fmt size huge", withLe(16, 0xFFFFFFF0)},
        {"fmt size 2", withLe(16, 2)},
        {"data size huge", withLe(data + 4, 0xFFFFFFFF)},
        {"data size odd", withLe(data + 4, 33)},
    };
    for (size_t cut : {size_t(4), size_t(11), size_t(12), size_t(20), size_t(30), data, data + 6,
                       data + 8, data + 9, good.size() - 1})
        cases.push_back({"cut at " + std::to_string(cut),
                         Bytes(good.begin(), good.begin() + std::ptrdiff_t(cut))});
    Bytes noise(3000);
    uint32_t seed = 12345;
    for (auto& byte : noise) byte = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    cases.push_back({"noise", noise});
    Bytes riffNoise = good;
    std::copy(noise.begin(), noise.begin() + 200, riffNoise.begin() + 12);
    cases.push_back({"noise after the form type", riffNoise});

    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const std::string in = path("bad.wav"), out = path("bad-copy.wav");
        writeBytes(in, bytes);
        fs::remove(out);
        Result info = cli("info '" + in + "'");
        EXPECT_TRUE(info.code == 0 || info.code == 1) << info.code;
        if (info.code == 1) {
            EXPECT_EQ(info.err.rfind("sonbar-cli: " + in + ": ", 0), 0u) << info.err;
        }

        Result copy = cli("copy '" + in + "' '" + out + "'");
        ASSERT_TRUE(copy.code == 0 || copy.code == 1) << copy.code << " " << copy.err;
        if (copy.code == 1) {
            EXPECT_EQ(lines(copy.err).size(), 1u) << copy.err;
            EXPECT_FALSE(fs::exists(out));
            continue;
        }
        Result again = cli("info '" + out + "'");
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(shell("sox '" + out + "' -n").code, 0) << "sox must read the copy";
    }
}

TEST_F(CliTest, FailedCopyRemovesItsOutput) {
    if (!have("sox")) GTEST_SKIP() << "needs sox";
    const std::string in = path("long.wav"), out = path("out.wav");
    ASSERT_EQ(std::system(("sox -n -r 44100 -c 2 -b 16 '" + in + "' synth 2 sine 300").c_str()), 0);
    // A file size limit makes the writer fail part way, as a full disk would.
    Result r = shell("trap '' XFSZ; ulimit -f 64; exec timeout 120 " + std::string(SONBAR_CLI) +
                     " copy '" + in + "' '" + out + "'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("sonbar-cli: " + out + ": "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(out));

    r = cli("copy '" + in + "' '" + path("no/such/dir/out.wav") + "'");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot create"), std::string::npos) << r.err;

    writeBytes(path("text.wav"), Bytes{'n', 'o', 'p', 'e'});
    r = cli("copy '" + path("text.wav") + "' '" + out + "'");
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(fs::exists(out)) << "nothing is created for an input that does not open";

    r = cli("copy '" + in + "' '" + in + "'");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(fs::exists(in)) << "copying a file onto itself must not destroy it";
    EXPECT_GT(fs::file_size(in), 44u);
}

// The tags of a file ffmpeg wrote, and of its recoded copy: scripts read them as NAME=VALUE
// lines after the file's info line.
TEST_F(CliTest, InfoTagsListsInfoAndBroadcastFields) {
    if (!have("ffmpeg")) GTEST_SKIP() << "needs ffmpeg";
    const std::string in = path("tagged.wav"), out = path("tagged-ima.wav");
    // The comment holds a line break.
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i "
                           "'sine=sample_rate=22050:duration=0.5' -metadata title='Caf\xc3\xa9' "
                           "-metadata comment=\"$(printf 'two\\nlines')\" -write_bext 1 "
                           "-metadata time_reference=1000 -metadata "
                           "coding_history='A=PCM,F=22050,W=16,M=mono' '" +
                           in + "'")
                              .c_str()),
              0);
    ASSERT_EQ(cli("convert --tag ima --rate 44100 '" + in + "' '" + out + "'").code, 0);
    Result r = cli("info --tags '" + in + "' '" + out + "'");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> bext = {
        "bext.Description=", "bext.Originator=", "bext.OriginatorReference=",
        "bext.OriginationDate=", "bext.OriginationTime="};
    auto tags = [&](const char* timeReference, std::vector<std::string> history) {
        std::vector<std::string> t = {"ICMT=two\\nlines", "INAM=Caf\xc3\xa9"};
        t.insert(t.end(), bext.begin(), bext.end());
        t.push_back(std::string("bext.TimeReference=") + timeReference);
        t.push_back("bext.Version=1");
        for (const std::string& h : history) t.push_back("bext.CodingHistory=" + h);
        return t;
    };
    std::vector<std::string> got = lines(r.out);
    // The info lines and the chunk sizes are checked elsewhere.
    std::erase_if(got, [](const std::string& l) {
        return l.find('\t') != std::string::npos || l.rfind("chunk.", 0) == 0 ||
               l.rfind("ISFT=", 0) == 0;
    });
    // The version the program names itself by.
    for (std::string& l : got)
        if (std::size_t at = l.find("Sonbar "); at != std::string::npos)
            l.replace(at + 7, l.find_first_not_of("0123456789.", at + 7) - at - 7, "V");
    std::vector<std::string> want = tags("1000", {"A=PCM,F=22050,W=16,M=mono"});
    const auto target =
        tags("2000", {"A=PCM,F=22050,W=16,M=mono", "A=ADPCM,F=44100,W=4,M=mono,T=Sonbar V;IMA"});
    want.insert(want.end(), target.begin(), target.end());
    EXPECT_EQ(got, want) << r.out;
}
