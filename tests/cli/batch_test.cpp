// SPDX-License-Identifier: GPL-3.0-or-later
// sonbar-cli settings and batch on real directory trees: every directory mode, policy and
// after-action, the faults that must lose nothing, and the hot folder.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include "cli_fixture.h"

namespace {

using namespace clitest;
using namespace std::chrono_literals;

class Batch : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
    }
    void TearDown() override {
        for (const auto& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
        CliTest::TearDown();
    }
    // A tone of Seconds under in/Rel, older than the stability window.
    std::string Tone(const std::string& Rel, double Seconds = 1,
                     const char* Format = "-r 44100 -c 2") {
        const std::string path = Path("in/" + Rel);
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_EQ(Shell("sox -n " + std::string(Format) + " -b 16 " + Q(path) + " synth " +
                        std::to_string(Seconds) + " sine 440 && touch -d '1 min ago' " + Q(path)),
                  0);
        return path;
    }
    static std::string Q(const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }
    std::string Cli() const { return std::string(SONBAR_CLI); }
    int Settings(const std::string& Args) {
        return Shell(Cli() + " settings --settings " + Q(Path("cfg")) + " " + Args + " >/dev/null");
    }
    int Run(const std::string& Args = "") {
        return Shell("timeout 120 " + Cli() + " batch --settings " + Q(Path("cfg")) + " " + Args +
                     " </dev/null >" + Q(Path("stdout.txt")));
    }
    std::string Out() const { return Slurp(dir / "stdout.txt"); }
    // Frames ffmpeg decodes from File (stereo 16-bit), or -1.
    long Decoded(const std::string& File) {
        const std::string raw = Path("decoded.raw");
        if (Shell("ffmpeg -v error -y -i " + Q(File) + " -f s16le -ac 2 " + Q(raw)) != 0) return -1;
        return static_cast<long>(fs::file_size(raw) / 4);
    }
    bool Mount(const std::string& Where, const std::string& Options) {
        fs::create_directories(Where);
        if (::mount("tmpfs", Where.c_str(), "tmpfs", 0, Options.c_str()) != 0) return false;
        mounts_.push_back(Where);
        return true;
    }
    // Every source is in place byte for byte or has its complete target; nothing under a
    // target's name is incomplete.
    void ExpectNothingLost(const std::map<std::string, std::string>& Sources,
                           const std::string& TargetDir) {
        for (const auto& [source, bytes] : Sources) {
            SCOPED_TRACE(source);
            const std::string target = TargetDir + fs::path(source).filename().string();
            if (fs::exists(source)) {
                EXPECT_EQ(Slurp(source), bytes) << "a source kept must be whole";
            } else {
                ASSERT_TRUE(fs::exists(target)) << "a source gone must have its target";
            }
            if (fs::exists(target)) {
                EXPECT_EQ(Shell(Cli() + " info " + Q(target) + " >/dev/null"), 0);
                EXPECT_GE(Decoded(target), 44100 * 0.99);
            }
        }
    }
    std::map<std::string, std::string> Snapshot(const std::vector<std::string>& Files) {
        std::map<std::string, std::string> m;
        for (const auto& f : Files) m[f] = Slurp(f);
        return m;
    }

  private:
    std::vector<std::string> mounts_;
};

TEST_F(Batch, SettingsShowChangeAndRefuse) {
    ASSERT_EQ(
        Settings(
            "source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
            " target-ext=mp3 exists=skip threads=3 --tag mp3 --attributes '128 kBit/s, 44,100Hz, "
            "Stereo'"),
        0)
        << Err();
    ASSERT_EQ(Shell(Cli() + " settings --settings " + Q(Path("cfg")) + " >" + Q(Path("s.txt"))), 0);
    const std::string shown = Slurp(dir / "s.txt");
    EXPECT_EQ(shown.substr(0, shown.find('\n')), "source-dirs=" + Path("in") + "/");
    EXPECT_NE(shown.find("\nexists=skip\nnoise=on\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\njobs=auto\nthreads=3\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\nformat=MPEG Layer-3: 128 kBit/s, 44,100Hz, Stereo\n"),
              std::string::npos);

    const std::string ini = Slurp(dir / "cfg/Sonbar.ini");
    EXPECT_NE(ini.find("Threads=3"), std::string::npos) << ini;
    struct Row {
        std::string args;
        int code;
        const char* message;
    } rows[] = {
        {"buffer-kb=2 after=move move-dir=", 1, "sonbar-cli: Value must be between 4 and 1024 !\n"},
        {"source-exts=*.wav", 1,
         "sonbar-cli: At least one of the specified source extensions is invalid !\n"},
        {"target-dirs=" + Q(Path("nowhere")), 1,
         "sonbar-cli: The specified directory is invalid !\n"},
        {"mode=sideways", 2, "mode takes one of classical, link, rebound"},
        {"threads=0", 2, "threads takes auto or a number from 1 to 256"},
        {"colour=blue", 2, "unknown setting 'colour'"},
        {"stable-seconds=-1", 2, "stable-seconds takes a number from 0 to 3600"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args);
        EXPECT_EQ(Settings(r.args), r.code);
        EXPECT_NE(Err().find(r.message), std::string::npos) << Err();
        EXPECT_EQ(Slurp(dir / "cfg/Sonbar.ini"), ini) << "a refused change writes nothing";
    }
    ASSERT_EQ(Settings("stable-seconds=10"), 0) << Err();
    EXPECT_NE(Slurp(dir / "cfg/Sonbar.ini").find("StableSeconds=10"), std::string::npos);
}

// Names that shells and URL-minded tools mangle, an upper-case extension, nested folders,
// every directory mode, policy and after-action; every output decodes to its full length.
TEST_F(Batch, ModesPoliciesAndAfterActions) {
    if (!Have("ffmpeg")) GTEST_SKIP() << "needs ffmpeg";
    const std::vector<std::string> names = {"plain.wav", "with space.WAV", "ünïcødé #&?[x];'q.wav",
                                            "deep/er/nest.wav"};
    struct Row {
        const char* name;
        std::string settings, batchArgs;
        int code;
        // Where the target of "deep/er/nest.wav" lands, relative to the test folder.
        const char* nestedTarget;
        bool moved;  // the sources went to the move folder, else they were deleted
        const char* stdoutHas;
    } rows[] = {
        {"classical, relative dirs, IMA",
         "mode=classical relative-dirs=on --tag ima --attributes '44,100 Hz, 4 Bit, Stereo'", "", 0,
         "out/deep/er/nest.wav", false, "recoded "},
        {"flat target folder", "relative-dirs=off", "", 0, "out/nest.wav", false, ""},
        {"rebound to MP3",
         "mode=rebound target-ext=mp3 --tag mp3 --attributes '128 kBit/s, 44,100Hz, Stereo'", "", 0,
         "in/deep/er/nest.mp3", false, ""},
        {"move after", "mode=classical after=move move-dir=" + Q(Path("moved")), "", 0,
         "out/deep/er/nest.wav", false, ""},
    };
    fs::create_directories(dir / "moved");
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        for (const auto& n : names) Tone(n);
        ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                           " target-ext=wav exists=overwrite " + r.settings),
                  0)
            << Err();
        EXPECT_EQ(Run(r.batchArgs), r.code) << Err();
        EXPECT_NE(Out().find(r.stdoutHas), std::string::npos);
        EXPECT_GE(Decoded(Path(r.nestedTarget)), 44100) << Err();
        for (const auto& n : names) EXPECT_FALSE(fs::exists(Path("in/" + n))) << n;
        if (r.moved) {
            for (const auto& n : names) EXPECT_TRUE(fs::exists(Path("moved/" + n))) << n;
        }
        fs::remove_all(dir / "moved");
        fs::create_directories(dir / "moved");
        for (const auto& n : names) fs::remove(Path("in/" + n));
    }
    EXPECT_TRUE(fs::exists(Path("out/ünïcødé #&?[x];'q.wav")));
    EXPECT_TRUE(fs::exists(Path("out/with space.wav")));

    // The target exists: each policy and each answer a script can give.
    struct Policy {
        const char* exists;
        const char* args;
        int code;
        bool recoded, sourceGone;
    } policies[] = {
        {"overwrite", "", 0, true, true},   {"skip", "", 0, false, true},
        {"prompt", "--yes", 0, true, true}, {"prompt", "--no", 0, false, true},
        {"prompt", "", 1, false, false},
    };
    for (const Policy& p : policies) {
        SCOPED_TRACE(std::string(p.exists) + " " + p.args);
        Tone("plain.wav");
        std::ofstream(Path("out/plain.wav")) << "old";
        ASSERT_EQ(Settings(std::string("mode=classical relative-dirs=on after=delete exists=") +
                           p.exists),
                  0);
        EXPECT_EQ(Run(p.args), p.code) << Err();
        EXPECT_EQ(Slurp(dir / "out/plain.wav") != "old", p.recoded);
        EXPECT_EQ(!fs::exists(Path("in/plain.wav")), p.sourceGone);
        if (p.code == 1) {
            EXPECT_NE(Err().find("Processing was stopped !"), std::string::npos) << Err();
        }
        fs::remove(Path("in/plain.wav"));
    }
}

// The same faults with one job and with several at once.
class BatchJobs : public Batch, public ::testing::WithParamInterface<const char*> {};
INSTANTIATE_TEST_SUITE_P(Jobs, BatchJobs, ::testing::Values("1", "4"));

TEST_P(BatchJobs, FaultsLoseNothing) {
    if (!Have("ffmpeg")) GTEST_SKIP() << "needs ffmpeg";
    const std::string jobs = std::string(" --jobs ") + GetParam();
    const bool several = std::string(GetParam()) != "1";
    auto configure = [&](const std::string& target, const std::string& extra = "") {
        ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(target) +
                           " target-ext=wav exists=overwrite relative-dirs=off " + extra +
                           " --tag pcm --attributes '44,100 Hz, 16 Bit, Stereo'"),
                  0)
            << Err();
    };

    // A corrupt source among good ones: --keep-going recodes the rest and says which failed.
    {
        const std::string good = Tone("good.wav");
        const std::string bad = Path("in/bad.wav");
        std::ofstream(bad) << "RIFF\x10\0\0\0WAVEfmt garbage garbage garbage";
        Shell("touch -d '1 min ago' " + Q(bad));
        configure(Path("out"));
        const auto before = Snapshot({bad});
        EXPECT_EQ(Run("--keep-going" + jobs), 1);
        EXPECT_NE(Err().find("sonbar-cli: " + bad +
                             ": Error opening source file !\n"
                             "sonbar-cli: The current job could not be completed successfully !\n"),
                  std::string::npos)
            << Err();
        EXPECT_FALSE(fs::exists(good));
        ExpectNothingLost(before, Path("out/"));
        EXPECT_EQ(Run(jobs), 1) << "without --keep-going the first failure ends the batch";
        fs::remove(bad);
    }

    // A full disk mid-file, and a read-only target folder.
    const std::string full = Path("full"), readOnly = Path("ro");
    if (Mount(full, "size=300k") && Mount(readOnly, "ro,size=1m")) {
        for (const std::string& target : {full, readOnly}) {
            SCOPED_TRACE(target);
            const auto sources = Snapshot({Tone("a.wav"), Tone("b.wav")});
            configure(target, "min-space-mb=0");
            EXPECT_EQ(Run(jobs), 1);
            // With several jobs the space the first one will still take may leave none for
            // the next: the free-space rule ends the batch before it writes.
            EXPECT_TRUE(Err().find("Error ") != std::string::npos ||
                        (several && Err().find("All target paths full") != std::string::npos))
                << Err();
            ExpectNothingLost(sources, target + "/");
            for (const auto& e : fs::directory_iterator(target))
                EXPECT_NE(e.path().extension(), ".part") << "a failed job removes its .part";
            for (const auto& [s, b] : sources) fs::remove(s);
        }
        // A move to another file system: copied whole under a temporary name first; a name
        // already taken there is never replaced.
        const std::string moveTo = Path("elsewhere");
        if (Mount(moveTo, "size=4m")) {
            configure(Path("out"), "after=move move-dir=" + Q(moveTo));
            const std::string first = Tone("m1.wav");
            std::ofstream(moveTo + "/m2.wav") << "taken";
            const auto sources = Snapshot({Tone("m2.wav")});
            EXPECT_EQ(Run("--keep-going" + jobs), 1);
            EXPECT_NE(Err().find("m2.wav could not be moved to " + moveTo + "/ !"),
                      std::string::npos)
                << Err();
            EXPECT_EQ(Slurp(moveTo + "/m1.wav").size(), 44u + 44100 * 4);
            EXPECT_FALSE(fs::exists(first));
            EXPECT_EQ(Slurp(moveTo + "/m2.wav"), "taken");
            ExpectNothingLost(sources, Path("out/"));
            for (const auto& e : fs::directory_iterator(moveTo))
                EXPECT_TRUE(e.path().filename() == "m1.wav" || e.path().filename() == "m2.wav")
                    << e.path();
            fs::remove(Path("in/m2.wav"));
        }
    } else {
        std::cout
            << "[   NOTE   ] tmpfs cannot be mounted here: full-disk and read-only cases skipped\n";
    }

    // Links planted in a shared target folder are replaced, never written through.
    {
        configure(Path("out"), "after=delete");
        const std::string victim = Path("victim.txt");
        std::ofstream(victim) << "precious";
        Tone("p.wav");
        Tone("q.wav");
        fs::create_symlink(victim, Path("out/p.wav.part"));
        fs::create_symlink(victim, Path("out/q.wav"));
        EXPECT_EQ(Run(jobs), 0) << Err();
        EXPECT_EQ(Slurp(victim), "precious");
        EXPECT_FALSE(fs::is_symlink(Path("out/p.wav")) || fs::is_symlink(Path("out/q.wav")));
        EXPECT_GE(Decoded(Path("out/q.wav")), 44100);
    }

    // A stop (SIGINT) and a kill -9 mid-file, of every running job.
    // IMA ADPCM: slow enough that the jobs are still running at the signal.
    configure(Path("out"), "buffer-kb=4");
    ASSERT_EQ(Settings("--tag ima --attributes '44,100 Hz, 4 Bit, Stereo'"), 0) << Err();
    const std::vector<std::string> longs =
        several ? std::vector<std::string>{"long1.wav", "long2.wav", "long3.wav", "long4.wav"}
                : std::vector<std::string>{"long1.wav"};
    for (const char* signal : {"INT", "KILL"}) {
        SCOPED_TRACE(signal);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        std::vector<std::string> paths;
        for (const auto& name : longs) paths.push_back(Tone(name, 300));
        const auto sources = Snapshot(paths);
        std::string waitForParts;
        for (const auto& name : longs)
            waitForParts += " && [ -e " + Q(Path("out/" + name + ".part")) + " ]";
        const int code =
            Shell(Cli() + " batch --settings " + Q(Path("cfg")) + jobs + " >/dev/null & pid=$!; " +
                  "for i in $(seq 200); do true" + waitForParts +
                  " && break; sleep 0.05; done; kill -" + signal + " $pid; wait $pid");
        EXPECT_EQ(code, std::string(signal) == "INT" ? 130 : 137);
        // Each file is either untouched (a .part only after a kill) or, when its job ended
        // before the signal on a loaded machine, recoded whole with its source gone.
        int interrupted = 0;
        for (const auto& name : longs) {
            SCOPED_TRACE(name);
            if (!fs::exists(Path("in/" + name))) {
                EXPECT_GT(fs::file_size(Path("out/" + name)),
                          sources.at(Path("in/" + name)).size() / 5);
                continue;
            }
            ++interrupted;
            EXPECT_EQ(Slurp(Path("in/" + name)), sources.at(Path("in/" + name)));
            EXPECT_FALSE(fs::exists(Path("out/" + name)));
            EXPECT_EQ(fs::exists(Path("out/" + name + ".part")), std::string(signal) == "KILL")
                << "a stopped job removes its .part; only a killed one leaves it";
        }
        EXPECT_GT(interrupted, 0);
        if (std::string(signal) == "INT") {
            for (const auto& e : fs::directory_iterator(dir / "in"))
                EXPECT_EQ(e.path().filename().string().find(".sonbar-claim"), std::string::npos)
                    << "a stop releases its claims";
        }
        for (const auto& p : paths) fs::remove(p);
        for (const auto& name : longs) fs::remove(Path("out/" + name));
    }
    // The next run replaces what the killed one left, and takes over its claims.
    for (const auto& name : longs) Tone(name);
    EXPECT_EQ(Run(jobs), 0) << Err();
    for (const auto& name : longs) {
        EXPECT_FALSE(fs::exists(Path("out/" + name + ".part")));
        EXPECT_GE(Decoded(Path("out/" + name)), 44100);
    }
    for (const auto& e : fs::directory_iterator(dir / "in"))
        ADD_FAILURE() << "left behind: " << e.path();
}

// I/O errors where no real disk gives them on demand: each fails its job, keeps its source
// and leaves no .part and no claim behind.
TEST_F(Batch, InjectedIoErrorsFailTheJobAndLeaveNothingBehind) {
    if (!Have("strace") || !Have("ffmpeg")) GTEST_SKIP() << "needs strace and ffmpeg";
    ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                       " target-ext=wav exists=overwrite after=delete --tag pcm --attributes "
                       "'44,100 Hz, 16 Bit, Stereo'"),
              0);
    struct Row {
        const char* name;
        const char* inject;
    } rows[] = {
        // The .part files are synced (together, or each as its job ends where the group's
        // time ran out), then the folder that received their names: from the second fsync
        // on, the first file's folder fails whichever way the files were grouped.
        {"the target folder's fsync", "fsync:error=EIO:when=2+"},
        {"the target file's fsync", "fsync:error=EIO"},
        {"every write of the target", "pwrite64:error=ENOSPC"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto sources = Snapshot({Tone("a.wav"), Tone("b.wav")});
        // LeakSanitizer cannot work under ptrace.
        EXPECT_EQ(Shell("ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o /dev/null -e inject=" +
                        std::string(r.inject) + " " + Cli() + " batch --jobs 1 --settings " +
                        Q(Path("cfg")) + " </dev/null >/dev/null"),
                  1);
        EXPECT_NE(Err().find("The current job could not be completed successfully !"),
                  std::string::npos)
            << Err();
        for (const auto& [source, bytes] : sources)
            EXPECT_EQ(Slurp(source), bytes) << "every source stays: " << source;
        ExpectNothingLost(sources, Path("out/"));
        for (const char* folder : {"in", "out"})
            for (const auto& e : fs::directory_iterator(Path(folder)))
                EXPECT_TRUE(e.path().extension() == ".wav") << "left behind: " << e.path();
        fs::remove_all(Path("out"));
        fs::create_directories(Path("out"));
    }
}

TEST_F(Batch, HotFolder) {
    ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                       " target-ext=wav wait-seconds=1 exists=overwrite --tag ima --attributes "
                       "'44,100 Hz, 4 Bit, Stereo'"),
              0);
    const std::string staged = Path("stage.wav"), src = Path("src.wav");
    ASSERT_EQ(Shell("sox -n -r 44100 -c 2 -b 16 " + Q(staged) + " synth 1 sine 440 && cp " +
                    Q(staged) + " " + Q(src)),
              0);
    // Kept open by its writer for a second and a half, appended to, then closed. The batch is
    // stopped a second after it has told of all three files, back to waiting for more (the
    // wait is for its lines, bounded at two minutes against a hang).
    const std::string watch = Cli() + " batch --watch --settings " + Q(Path("cfg")) + " >" +
                              Q(Path("stdout.txt")) + " & pid=$!; ";
    const int code =
        Shell(watch + "sleep 1.5; mv " + Q(staged) + " " + Q(Path("in/renamed.wav")) + "; cp " +
              Q(src) + " " + Q(Path("in/copied.wav")) + "; " + "{ head -c 1000 " + Q(src) +
              "; sleep 1.5; tail -c +1001 " + Q(src) + "; } >" + Q(Path("in/slow.wav")) +
              "; for i in $(seq 1200); do [ \"$(grep -c '^recoded ' " + Q(Path("stdout.txt")) +
              ")\" = 3 ] && break; sleep 0.1; done; sleep 1; kill -TERM $pid; wait $pid");
    EXPECT_EQ(code, 0) << "a signal while waiting for files ends the batch at once, successfully\n"
                       << Slurp(Path("stdout.txt")) << Err();
    for (const char* name : {"renamed.wav", "copied.wav", "slow.wav"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(fs::exists(Path(std::string("out/") + name))) << Out() << Err();
        EXPECT_FALSE(fs::exists(Path(std::string("in/") + name)));
    }
    // The slow file was taken whole: the same audio as the others.
    EXPECT_EQ(fs::file_size(Path("out/slow.wav")), fs::file_size(Path("out/copied.wav")));
}

// Several jobs in one process: a target inside the source folder, names that collide in a
// flat target folder, claim files that are never sources, and output in whole lines.
TEST_F(Batch, SeveralJobsAtOnce) {
    fs::create_directories(dir / "in/done");
    ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("in/done")) +
                       " target-ext=wav exists=skip relative-dirs=off hidden=on jobs=4" +
                       " --tag ima --attributes '44,100 Hz, 4 Bit, Stereo'"),
              0)
        << Err();
    ASSERT_EQ(Shell(Cli() + " settings --settings " + Q(Path("cfg")) + " | grep -x jobs=4"), 0);
    std::vector<std::string> names;
    for (const char* sub : {"a/", "b/", "c/"})
        for (int i = 0; i < 4; ++i) {
            // Appended piece by piece: GCC 12 sees a false -Wrestrict in string&& + string&&.
            std::string name = sub;
            name += 't';
            name += std::to_string(i);
            name += ".wav";
            names.push_back(Tone(name, 0.5));
        }
    // A claim of a process that is gone, and one a live process (this test) holds.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::ofstream(Path("in/a/.t0.wav.sonbar-claim")) << host << " 999999999 1\n";
    std::ofstream(Path("in/b/.t0.wav.sonbar-claim")) << host << " " << ::getpid() << " 1\n";
    const int holder = ::open(Path("in/b/.t0.wav.sonbar-claim").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
    EXPECT_EQ(Run(), 0) << Err();
    ::close(holder);
    const std::string out = Out();
    int recoded = 0, skipped = 0;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = out.substr(start, end - start);
        recoded += line.rfind("recoded ", 0) == 0;
        skipped += line.rfind("skipped ", 0) == 0;
        EXPECT_TRUE(line.rfind("recoded ", 0) == 0 || line.rfind("skipped ", 0) == 0) << line;
    }
    // Four names, each recoded once; the sources of the same name meet the skip policy.
    EXPECT_EQ(recoded, 4) << out;
    EXPECT_EQ(skipped, 7) << out;
    EXPECT_TRUE(fs::exists(Path("in/b/t0.wav"))) << "claimed by a live process: left alone";
    EXPECT_FALSE(fs::exists(Path("in/a/t0.wav")) || fs::exists(Path("in/a/.t0.wav.sonbar-claim")));
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(fs::exists(Path("in/done/t" + std::to_string(i) + ".wav.part")));
    EXPECT_EQ(Err(), "sonbar-cli: " + Path("in/b/t0.wav") +
                         ": passed over: is claimed by another process\n")
        << "a file another process holds is named once the batch ends";
}

// Several batch processes over one tree: each file is recoded exactly once, nothing is lost,
// also when one of them is killed mid-run. (Processes of one machine: network file systems
// between machines cannot be tried here.)
TEST_F(Batch, SeveralProcessesOneFolder) {
    ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                       " target-ext=wav exists=skip relative-dirs=on" +
                       " --tag ima --attributes '44,100 Hz, 4 Bit, Stereo'"),
              0)
        << Err();
    const std::string one = Tone("one.wav", 0.2);
    const int files = 500;
    for (const int processes : {2, 4}) {
        SCOPED_TRACE(processes);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        ASSERT_EQ(Shell("cd " + Q(Path("in")) +
                        " && for d in 0 1 2 3 4; do mkdir -p $d; for i in $(seq 100); do cp "
                        "one.wav $d/f$i.wav; done; done && "
                        "touch -d '1 min ago' */*.wav && rm one.wav"),
                  0);
        std::string script;
        for (int p = 0; p < processes; ++p)
            script += Cli() + " batch --settings " + Q(Path("cfg")) + " --jobs 2 >" +
                      Q(Path("p" + std::to_string(p) + ".txt")) + " 2>&1 & p" + std::to_string(p) +
                      "=$!; ";
        // The last process is killed once the batch is under way.
        script += "while [ $(ls " + Q(Path("out")) +
                  "/*/ | wc -l) -lt 60 ]; do sleep 0.05; done; kill -9 $p" +
                  std::to_string(processes - 1) + "; wait";
        Shell(script);
        // The survivors have ended: whatever the killed one held is left; one more run takes
        // it over.
        ASSERT_EQ(Run("--jobs 2"), 0) << Err();
        std::map<std::string, int> recoded;
        for (int p = 0; p <= processes; ++p) {
            const std::string text =
                p < processes ? Slurp(dir / ("p" + std::to_string(p) + ".txt")) : Out();
            std::size_t at = 0;
            while ((at = text.find("recoded ", at)) != std::string::npos) {
                const std::size_t end = text.find(" -> ", at);
                ++recoded[text.substr(at + 8, end - at - 8)];
                at = end;
            }
        }
        int total = 0;
        for (const auto& [source, count] : recoded) {
            EXPECT_EQ(count, 1) << source << " recoded more than once";
            total += count;
        }
        // The killed one may have renamed a group's targets without deleting their sources:
        // the last run finds those targets complete and skips their sources. Beyond those,
        // at most its two running jobs' lines are missing.
        int skipped = 0;
        std::istringstream lines(Out());
        for (std::string line; std::getline(lines, line);)
            skipped += line.rfind("skipped ", 0) == 0;
        EXPECT_GE(total + skipped, files - 2) << "every file recoded once or found complete";
        const auto size = fs::file_size(Path("out/0/f1.wav"));
        int targets = 0;
        for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
            if (!e.is_regular_file()) continue;
            const std::string name = e.path().filename().string();
            // The killed one's: its .part files, and the claims of jobs it had completed
            // but not yet released (harmless: a dead owner's claim is taken over).
            if ((name.size() > 5 && name.substr(name.size() - 5) == ".part") ||
                name.find(".sonbar-claim") != std::string::npos)
                continue;
            EXPECT_EQ(e.file_size(), size) << e.path();
            ++targets;
        }
        EXPECT_EQ(targets, files);
        for (const auto& e : fs::recursive_directory_iterator(dir / "in"))
            EXPECT_FALSE(e.is_regular_file() &&
                         e.path().filename().string().find(".sonbar-claim") == std::string::npos)
                << "left behind: " << e.path();
        Tone("one.wav", 0.2);
        fs::remove_all(dir / "in/0");
        for (const char* d : {"1", "2", "3", "4"}) fs::remove_all(dir / "in" / d);
    }
}

// A batch of listed sources (stdin or a file, lines or NUL-separated) and shards of one
// folder, through the command line; nothing on stdout or stderr meant for a terminal.
TEST_F(Batch, FilesFromAndShards) {
    ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                       " target-ext=wav exists=skip relative-dirs=on" +
                       " --tag ima --attributes '44,100 Hz, 4 Bit, Stereo'"),
              0)
        << Err();
    const std::string a = Tone("a.wav", 0.1), b = Tone("sub/b.wav", 0.1);
    const std::string c = Tone("c.wav", 0.1), odd = Tone("new\nline.wav", 0.1);
    std::ofstream(Path("list0")) << odd << '\0' << c << '\0';
    struct Row {
        const char* name;
        std::string input, args;
        int code;
        std::vector<std::string> recoded;  // in this order
        const char* err;
    } rows[] = {
        {"stdin, in the list's order",
         b + "\n" + Path("elsewhere.wav") + "\n\n" + a + "\n",
         "--files-from - --jobs 1",
         1,
         {b, a},
         "elsewhere.wav: passed over: lies in none of the source folders"},
        {"NUL-separated file",
         "",
         "--files-from " + Q(Path("list0")) + " -0 --jobs 1",
         0,
         {odd, c},
         ""},
        {"an unreadable list", "", "--files-from " + Q(Path("nolist")), 1, {}, "cannot be read"},
        {"a shard out of range", "", "--shard 2/2", 2, {}, "--shard takes K/N"},
        {"a list watched", "", "--files-from - --watch", 2, {}, "excludes --watch"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::ofstream(Path("input")) << r.input;
        EXPECT_EQ(Shell("timeout 120 " + Cli() + " batch --settings " + Q(Path("cfg")) + " " +
                        r.args + " <" + Q(Path("input")) + " >" + Q(Path("stdout.txt"))),
                  r.code)
            << Err();
        std::string expected;
        for (const std::string& s : r.recoded) expected += "recoded " + s + " -> ";
        std::string got;
        for (std::size_t at = 0; (at = Out().find("recoded ", at)) != std::string::npos;) {
            const std::size_t end = Out().find(" -> ", at) + 4;
            got += Out().substr(at, end - at);
            at = end;
        }
        EXPECT_EQ(got, expected);
        EXPECT_NE(Err().find(r.err), std::string::npos) << Err();
        for (const std::string& text : {Out(), Err()})
            EXPECT_EQ(text.find_first_of("\r\x1b"), std::string::npos) << text;
    }
    EXPECT_TRUE(fs::exists(Path("out/sub/b.wav"))) << "the directory mode applies";
    EXPECT_FALSE(fs::exists(a) || fs::exists(b) || fs::exists(c) || fs::exists(odd));

    // Two shards of one folder take every file once between them, neither takes all.
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) names.push_back(Tone("s/f" + std::to_string(i) + ".wav", 0.1));
    std::map<std::string, int> count;
    for (const char* shard : {"0/2", "1/2"}) {
        SCOPED_TRACE(shard);
        EXPECT_EQ(Run(std::string("--shard ") + shard), 0) << Err();
        int here = 0;
        for (const std::string& n : names)
            if (Out().find("recoded " + n + " ") != std::string::npos) ++count[n], ++here;
        EXPECT_GT(here, 0);
        EXPECT_LT(here, 12);
    }
    for (const std::string& n : names) EXPECT_EQ(count[n], 1) << n;
}

}  // namespace

// "Write WAV-Header" off: an MP3 target is a bare MP3 file, a PCM target stays WAVE; the
// read-back check of the batch passes both, and each source is gone only with its target.
TEST_F(Batch, WavHeaderOffWritesBareTargets) {
    if (!Have("file")) GTEST_SKIP() << "needs file";
    for (const auto& [format, type] :
         {std::pair<std::string, std::string>{
              "--tag mp3 --attributes '128 kBit/s, 44,100Hz, Stereo'", "MPEG ADTS, layer III"},
          {"--tag pcm --attributes '44,100 Hz, 16 Bit, Stereo'", "WAVE audio"}}) {
        SCOPED_TRACE(format);
        ASSERT_EQ(Settings("source-dirs=" + Q(Path("in")) + " target-dirs=" + Q(Path("out")) +
                           " target-ext=out exists=overwrite wav-header=off " + format),
                  0)
            << Err();
        ASSERT_EQ(
            Shell(Cli() + " settings --settings " + Q(Path("cfg")) + " | grep -x wav-header=off"),
            0);
        Tone("tone.wav");
        EXPECT_EQ(Run(), 0) << Err();
        EXPECT_FALSE(fs::exists(Path("in/tone.wav")));
        EXPECT_EQ(Shell("file -b " + Q(Path("out/tone.out")) + " | grep -q '" + type + "'"), 0);
    }
}
