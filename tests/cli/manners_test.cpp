// SPDX-License-Identifier: GPL-3.0-or-later
// The command line's manners: --version, --help, --opt=value, "--", "-" for stdin and
// stdout, the codec's preferred rate, the batch record and bash completion.
#include <set>
#include <sstream>

#include "cli_fixture.h"

namespace {

using namespace clitest;

class Manners : public CliTest {
  protected:
    std::string Cli(const std::string& Args) const { return std::string(SONBAR_CLI) + " " + Args; }
    std::string Tone(const std::string& Name, const char* Format = "-r 44100 -c 2",
                     double Seconds = 0.2) {
        const std::string path = Path(Name);
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_EQ(
            Shell("sox -n " + std::string(Format) + " -b 16 '" + path + "' synth " +
                  std::to_string(Seconds) + " sine 440 && touch -d '1 min ago' '" + path + "'"),
            0);
        return path;
    }
    std::string Info(const std::string& File) {
        Shell(Cli("info '" + File + "' >'" + Path("info.txt") + "'"));
        return Slurp(dir / "info.txt");
    }
    static std::vector<std::string> Lines(const std::string& Text) {
        std::vector<std::string> lines;
        std::istringstream in(Text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(Manners, VersionAndHelpEverywhere) {
    EXPECT_EQ(Shell(Cli("--version >'" + Path("out.txt") + "'")), 0);
    EXPECT_EQ(Slurp(dir / "out.txt").rfind("sonbar-cli (Sonbar ", 0), 0u);
    for (const char* command : {"info", "copy", "convert", "formats", "settings", "batch"}) {
        for (const char* help : {"-h", "--help"}) {
            SCOPED_TRACE(std::string(command) + " " + help);
            EXPECT_EQ(Shell(Cli(std::string(command) + " " + help + " >'" + Path("out.txt") + "'")),
                      0);
            EXPECT_EQ(Slurp(dir / "out.txt").rfind(std::string("usage: sonbar-cli ") + command, 0),
                      0u);
        }
    }
}

TEST_F(Manners, OptionSpellingsDashAndDoubleDash) {
    const std::string in = Tone("in.wav");
    struct Row {
        const char* name;
        std::string line;      // run in dir
        std::string out;       // the file to look at
        const char* expected;  // in its info line
    } rows[] = {
        {"--opt=value", Cli("convert --tag=pcm --rate=8000 in.wav a.wav"), "a.wav", "rate=8000 "},
        {"-- before a name with a dash", Cli("convert --tag pcm -- in.wav -b.wav"), "-b.wav",
         "rate=44100 "},
        {"stdin and stdout through pipes",
         "cat in.wav | " + Cli("convert --tag ima - -") + " | cat >c.wav", "c.wav", "tag=17 "},
        {"copy from stdin", Cli("copy - d.wav <in.wav"), "d.wav", "samples=8820 "},
        {"GSM without --rate takes 8 kHz", Cli("convert --tag gsm in.wav e.wav"), "e.wav",
         "channels=1 rate=8000 "},
        {"GSM with --rate keeps it", Cli("convert --tag gsm --rate 22050 in.wav f.wav"), "f.wav",
         "rate=22050 "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Shell("cd '" + dir.string() + "' && " + row.line), 0) << Err();
        EXPECT_NE(Info(Path(row.out)).find(row.expected), std::string::npos) << Info(Path(row.out));
    }
    // Through a pipe the header was written whole: the same bytes as into a file.
    EXPECT_EQ(Shell("cd '" + dir.string() + "' && " + Cli("convert --tag ima in.wav g.wav")), 0);
    EXPECT_EQ(Slurp(dir / "c.wav"), Slurp(dir / "g.wav"));
    // A failure says which file and why, the program's words first.
    EXPECT_EQ(Shell(Cli("copy '" + Path("missing.wav") + "' - >/dev/null")), 1);
    EXPECT_NE(Err().find("missing.wav: No such file or directory"), std::string::npos) << Err();

    EXPECT_EQ(Shell(Cli("settings --settings '" + Path("cfg") + "' --tag gsm >/dev/null")), 1)
        << "the other settings are still missing";
    EXPECT_EQ(Shell(Cli("settings --settings '" + Path("cfg") + "' source-dirs='" + dir.string() +
                        "' target-dirs='" + dir.string() + "' target-ext=wav --tag gsm")),
              0)
        << Err();
    EXPECT_EQ(Shell(Cli("settings --settings='" + Path("cfg") + "' >'" + Path("out.txt") + "'")),
              0);
    EXPECT_NE(Slurp(dir / "out.txt").find("format=GSM 6.10: 8,000 Hz, Mono"), std::string::npos);
}

// 20 sources, 2 of them damaged: the record has one whole line per file, written by two jobs
// at once, and --json prints the same lines.
TEST_F(Manners, BatchRecordHasALinePerFile) {
    std::set<std::string> sources;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "in/f" + std::to_string(i) + ".wav";
        if (i % 10 == 3) {
            std::ofstream(Path(name)) << "not a wave file";
            Shell("touch -d '1 min ago' '" + Path(name) + "'");
        } else {
            Tone(name, "-r 8000 -c 1", 0.05);
        }
        sources.insert(Path(name));
    }
    fs::create_directories(dir / "out");
    fs::create_directories(dir / "done");
    const std::string settings = " --settings '" + Path("cfg") + "'";
    ASSERT_EQ(Shell(Cli("settings" + settings + " source-dirs='" + Path("in") + "' target-dirs='" +
                        Path("out") + "' target-ext=wav after=move move-dir='" + Path("done") +
                        "' --tag gsm")),
              0)
        << Err();
    struct Run {
        const char* name;
        std::string options;
        std::string record;  // where the lines land
    } runs[] = {
        {"--log", "--keep-going --jobs 2 -q --log='" + Path("record.jsonl") + "'",
         Path("record.jsonl")},
        {"--json", "--keep-going --jobs 2 --json", Path("stdout.txt")},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        for (const auto& entry : fs::directory_iterator(dir / "done"))
            fs::rename(entry.path(), dir / "in" / entry.path().filename());
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        EXPECT_EQ(Shell("timeout 300 " + Cli("batch" + settings + " " + run.options) + " >'" +
                        Path("stdout.txt") + "' </dev/null"),
                  1);
        std::map<std::string, std::string> outcome;
        for (const std::string& line : Lines(Slurp(run.record))) {
            ASSERT_EQ(line.rfind("{\"time\":\"", 0), 0u) << line;
            ASSERT_EQ(line.back(), '}') << line;
            const auto at = line.find("\"source\":\"") + 10;
            const std::string source = line.substr(at, line.find('"', at) - at);
            const auto o = line.find("\"outcome\":\"") + 11;
            EXPECT_TRUE(outcome.emplace(source, line.substr(o, line.find('"', o) - o)).second)
                << "one line per file: " << source;
            if (line.find("\"outcome\":\"recoded\"") != std::string::npos) {
                EXPECT_NE(line.find("\"source_tag\":\"PCM\""), std::string::npos) << line;
                EXPECT_NE(line.find("\"target_format\":\"8,000 Hz, Mono\""), std::string::npos);
                EXPECT_EQ(line.find("\"bytes_out\":0,"), std::string::npos) << line;
            }
        }
        ASSERT_EQ(outcome.size(), 20u);
        for (const std::string& source : sources) {
            const bool damaged =
                source.find("f3.") != std::string::npos || source.find("f13.") != std::string::npos;
            EXPECT_EQ(outcome[source], damaged ? "failed" : "recoded") << source;
        }
        if (Have("python3")) {  // strict JSON, where a parser is at hand
            EXPECT_EQ(Shell("python3 -c 'import json,sys\nfor l in open(sys.argv[1]): "
                            "json.loads(l)' '" +
                            run.record + "'"),
                      0);
        }
        fs::remove(Path("record.jsonl"));
    }
}

TEST_F(Manners, BashCompletion) {
    const std::string script = std::string(SONBAR_TEST_DATA) + "/../../dist/completion/sonbar-cli";
    struct Row {
        const char* words;
        int cword;
        const char* expected;
    } rows[] = {
        {"sonbar-cli con", 1, "convert"},
        {"sonbar-cli --ver", 1, "--version"},
        {"sonbar-cli batch --kee", 2, "--keep-going"},
        {"sonbar-cli convert --tag gs", 3, "gsm"},
        {"sonbar-cli settings log-", 2, "log-file="},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.words);
        EXPECT_EQ(Shell("bash -c 'source \"" + script + "\"; COMP_WORDS=(" + row.words +
                        "); COMP_CWORD=" + std::to_string(row.cword) +
                        "; _sonbar_cli; echo \"${COMPREPLY[*]}\"' >'" + Path("out.txt") + "'"),
                  0);
        EXPECT_EQ(Slurp(dir / "out.txt"), std::string(row.expected) + "\n");
    }
    // Every option a command's help names is offered, so the script keeps up with the program.
    // The long options ("--name") and the settings' keys ("name=") a help text names.
    const auto options = [](const std::string& Help) {
        std::vector<std::string> found;
        const auto word = [](char c) { return std::islower(c) || std::isdigit(c) || c == '-'; };
        for (std::size_t i = 0; i < Help.size(); ++i) {
            if (i > 0 &&
                (std::isalnum(static_cast<unsigned char>(Help[i - 1])) || word(Help[i - 1])))
                continue;
            std::size_t end = i;
            while (end < Help.size() && word(Help[end])) ++end;
            const std::string token = Help.substr(i, end - i);
            if (token.rfind("--", 0) == 0 && token.size() > 2)
                found.push_back(token);
            else if (std::islower(Help[i]) && end < Help.size() && Help[end] == '=')
                found.push_back(token + "=");
        }
        return found;
    };
    for (const std::string command : {"info", "convert", "batch", "settings"}) {
        SCOPED_TRACE(command);
        Shell(std::string(SONBAR_CLI) + " " + command + " --help >'" + Path("help.txt") + "'");
        Shell("bash -c 'source \"" + script + "\"; COMP_WORDS=(sonbar-cli " + command +
              (command == "settings" ? " \"\"" : " -") +
              "); COMP_CWORD=2; _sonbar_cli; echo \" ${COMPREPLY[*]} \"' >'" + Path("out.txt") +
              "'");
        const std::string help = Slurp(dir / "help.txt"), offered = Slurp(dir / "out.txt");
        for (const std::string& name : options(help))
            EXPECT_NE(offered.find(" " + name + " "), std::string::npos) << name;
    }
}

}  // namespace
