// SPDX-License-Identifier: GPL-3.0-or-later
// A batch over real files while its I/O calls fail at random (strace injects the errors), and
// while whole processes are killed at random moments. After every run each source is whole
// in place or has its complete target, and no file under a target's name is incomplete; a
// clean run afterwards finishes everything and leaves nothing behind.
//
// The suite uses a fixed seed; SONBAR_FAULT_SEED=random draws a new one, and the seed is
// printed: SONBAR_FAULT_SEED=N replays it (the same choices; threads may still
// meet a fault in another order), SONBAR_FAULT_ROUNDS=N runs longer, and
// SONBAR_FAULT_INJECT=SYSCALL:error=ERRNO:when=N injects that one fault in every run.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "cli_fixture.h"

namespace {

using namespace clitest;

// 16-bit mono PCM at 22,050 Hz with a tone of its own, Frames long.
std::string WaveBytes(int Frames, double Hz) {
    std::string b;
    auto u32 = [&](uint32_t v) { b.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { b.append(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t data = static_cast<uint32_t>(Frames * 2);
    b += "RIFF";
    u32(36 + data);
    b += "WAVEfmt ";
    u32(16);
    u16(1);
    u16(1);
    u32(22050);
    u32(44100);
    u16(2);
    u16(16);
    b += "data";
    u32(data);
    for (int i = 0; i < Frames; ++i)
        u16(static_cast<uint16_t>(static_cast<int16_t>(9000 * std::sin(i * Hz / 22050 * 6.283))));
    return b;
}

struct TConfig {
    bool subdirs;  // targets in subfolders like their sources' ("create-subdirs")
    bool move;     // after=move, else after=delete
    std::string Describe() const {
        return std::string(subdirs ? "relative-dirs=on" : "relative-dirs=off") +
               (move ? " after=move" : " after=delete");
    }
};

// One line of `strace -f -y`: "TID NAME(ARGS) = RESULT"; false for other lines.
struct TCall {
    std::string thread, name, line;
    bool Parse(const std::string& Line) {
        const auto space = Line.find(' ');
        const auto paren = Line.find('(');
        if (space == 0 || space == std::string::npos || paren == std::string::npos ||
            paren < space || Line.find_first_not_of("0123456789") != space)
            return false;
        thread = Line.substr(0, space);
        const auto from = Line.find_first_not_of(' ', space);
        name = Line.substr(from, paren - from);
        line = Line;
        return name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
    }
    bool Has(const std::string& Text) const { return line.find(Text) != std::string::npos; }
};

// The number after Key in Text, or -1.
long NumberAfter(const std::string& Text, const std::string& Key) {
    const auto at = Text.find(Key);
    return at == std::string::npos ? -1 : std::atol(Text.c_str() + at + Key.size());
}

class Faults : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        if (!Have("strace")) GTEST_SKIP() << "needs strace (scripts/install-deps --test)";
        // Twelve sources in two folders, each of its own length, so a mix-up shows.
        for (int i = 0; i < 12; ++i) {
            const std::string rel = (i < 6 ? "x/a" : "y/b") + std::to_string(i % 6) + ".wav";
            sources_[rel] = WaveBytes(2205 + 331 * i, 300 + 40 * i);
        }
        const char* seed = std::getenv("SONBAR_FAULT_SEED");
        // The suite runs the same faults every time, so that it never fails by chance;
        // SONBAR_FAULT_SEED=random explores new ones.
        const std::string chosen = seed ? seed : "20261208";
        seed_ =
            chosen == "random" ? std::random_device{}() : static_cast<uint32_t>(std::stoul(chosen));
        std::cout << "[   SEED   ] SONBAR_FAULT_SEED=" << seed_ << "\n";
        random_.seed(seed_);
        const char* rounds = std::getenv("SONBAR_FAULT_ROUNDS");
        rounds_ = rounds ? std::max(1, std::atoi(rounds)) : 3;
    }

    std::string Root() const { return Path("t"); }
    std::string In(const std::string& Rel) const { return Root() + "/in/" + Rel; }
    std::string TargetOf(const std::string& Rel, const TConfig& C) const {
        return Root() + "/out/" + (C.subdirs ? Rel : fs::path(Rel).filename().string());
    }
    static std::string Q(const std::string& s) { return "'" + s + "'"; }
    std::string Cli() const { return std::string(SONBAR_CLI); }

    // Fresh sources, older than the stability window, and empty target and move folders.
    void Reset(const TConfig& C) {
        fs::remove_all(Root());
        for (const char* sub : {"in/x", "in/y", "out", "moved"})
            fs::create_directories(Root() + "/" + sub);
        const struct timespec old[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
        for (const auto& [rel, bytes] : sources_) {
            std::ofstream(In(rel), std::ios::binary) << bytes;
            ::utimensat(AT_FDCWD, In(rel).c_str(), old, 0);
        }
        ASSERT_EQ(Shell(Cli() + " settings --settings " + Q(Path("cfg")) +
                        " source-dirs=" + Q(Root() + "/in") + " target-dirs=" + Q(Root() + "/out") +
                        " target-ext=wav exists=overwrite recurse=on min-space-mb=0 " +
                        C.Describe() + (C.move ? " move-dir=" + Q(Root() + "/moved") : "") +
                        " --tag ima --attributes '22,050 Hz, 4 Bit, Mono' >/dev/null"),
                  0)
            << Err();
    }

    std::string Batch(int Jobs) const {
        return Cli() + " batch --settings " + Q(Path("cfg")) + " --jobs " + std::to_string(Jobs) +
               " </dev/null >/dev/null";
    }

    // What a run left that breaks the promise; empty when all is well. Finished: the clean
    // run's view, where every source must be done and nothing else may be left.
    std::string Problems(const TConfig& C, bool Finished) {
        std::ostringstream p;
        std::set<std::string> expected;
        std::map<std::string, std::string> byName;
        for (const auto& [rel, bytes] : sources_) byName[fs::path(rel).filename()] = bytes;
        for (const auto& [rel, bytes] : sources_) {
            const std::string target = TargetOf(rel, C);
            const bool kept = fs::exists(In(rel));
            if (kept && Slurp(In(rel)) != bytes) p << "source changed: " << rel << "\n";
            if (kept && Finished) p << "not recoded: " << rel << "\n";
            if (kept) expected.insert(In(rel));
            if (fs::exists(target)) {
                expected.insert(target);
                if (Slurp(target) != targets_[rel]) p << "incomplete target: " << target << "\n";
            } else if (!kept) {
                p << "source gone without its target: " << rel << "\n";
            }
        }
        // Moved sources are whole wherever they went; every source gone was moved.
        std::set<std::string> moved;
        for (const auto& e : fs::recursive_directory_iterator(Root() + "/moved")) {
            if (!e.is_regular_file()) continue;
            const std::string name = e.path().filename();
            if (!byName.count(name)) continue;
            if (Slurp(e.path()) == byName[name])
                moved.insert(name);
            else
                p << "incomplete moved source: " << e.path().string() << "\n";
            expected.insert(e.path().string());
        }
        if (C.move) {
            for (const auto& [rel, bytes] : sources_)
                if (!fs::exists(In(rel)) && !moved.count(fs::path(rel).filename()))
                    p << "source neither kept nor moved: " << rel << "\n";
        }
        if (Finished) {
            for (const auto& e : fs::recursive_directory_iterator(Root()))
                if (!e.is_directory() && !expected.count(e.path().string()))
                    p << "left behind: " << e.path().string() << "\n";
        }
        return p.str();
    }

    std::string PartsAndClaims(bool WithClaims = true) const {
        std::string p;
        for (const auto& e : fs::recursive_directory_iterator(Root())) {
            const std::string name = e.path().filename();
            if (name.ends_with(".part") ||
                (WithClaims && name.find(".sonbar-claim") != std::string::npos))
                p += "left behind: " + e.path().string() + "\n";
        }
        return p;
    }

    // A run without faults finishes everything: exit 0, every source done, nothing left.
    void ExpectCleanRunFinishes(const TConfig& C, int Jobs, const std::string& Context) {
        const int code = Shell(Batch(Jobs));
        EXPECT_EQ(code, 0) << Context << "clean run after it failed:\n" << Err();
        const std::string problems = Problems(C, true);
        EXPECT_EQ(problems, "") << Context << "after the clean run";
    }

    // A job whose target could not be written, synced, closed or renamed (an injected error
    // on the target's side in the job's own thread) must keep its source.
    std::string KeptAfterFailedCompletion() {
        std::ifstream in(Path("trace.txt"));
        const std::set<std::string> completing = {"write",     "pwrite64", "fsync",
                                                  "fdatasync", "rename",   "renameat2",
                                                  "link",      "linkat",   "close"};
        std::map<std::string, std::set<std::string>> sourcesOf;  // thread -> sources it read
        std::vector<TCall> failed;
        TCall c;
        for (std::string line; std::getline(in, line);) {
            if (!c.Parse(line)) continue;
            const auto end = line.find("\", O_RDONLY|O_CLOEXEC)");
            if (c.name == "openat" && end != std::string::npos && c.Has("/in/")) {
                const auto start = line.find('"') + 1;
                sourcesOf[c.thread].insert(line.substr(start, end - start));
            }
            if (!c.Has("(INJECTED)") || c.Has("EINTR") || !completing.count(c.name) ||
                !c.Has("/out/"))
                continue;
            // Closing a folder's descriptor says nothing about the target.
            if (c.name == "close" && !c.Has(".wav")) continue;
            failed.push_back(c);
        }
        std::string p;
        for (const TCall& f : failed) {
            const auto& sources = sourcesOf[f.thread];
            // Only the job threads: each reads one source (the main thread reads many).
            if (sources.size() != 1) continue;
            const std::string source = *sources.begin();
            auto rel = sources_.find(source.substr(source.find("/in/") + 4));
            if (rel == sources_.end() || Slurp(source) != rel->second)
                p += "source not kept after: " + f.line + "\n";
        }
        return p;
    }

    // For every syscall, the per-thread call numbers that touched the test's files in a run
    // without faults: where an injected error hits Sonbar's own I/O, not the loader's.
    std::map<std::string, std::vector<int>> Profile(int Jobs) {
        Reset(TConfig{true, true});
        const std::string trace = Path("trace.txt");
        EXPECT_EQ(Shell("ASAN_OPTIONS=detect_leaks=0 strace -f -y -qq -o " + Q(trace) +
                        " -e trace=%file,%desc " + Batch(Jobs)),
                  0)
            << Err();
        std::map<std::string, std::vector<int>> calls;
        std::map<std::pair<std::string, std::string>, int> count;
        std::ifstream in(trace);
        TCall c;
        for (std::string line; std::getline(in, line);) {
            if (!c.Parse(line)) continue;
            const int n = ++count[{c.thread, c.name}];
            if (c.Has(dir.string() + "/") && c.name != "execve") calls[c.name].push_back(n);
        }
        return calls;
    }

    // One -e inject= expression: a syscall seen in the profile, an errno, and when.
    std::string RandomFault(const std::map<std::string, std::vector<int>>& Calls) {
        static const char* errnos[] = {"EIO",   "ENOSPC", "EACCES", "EDQUOT",
                                       "EROFS", "ENOENT", "EINTR",  "EPERM"};
        auto pick = [&](std::size_t n) {
            return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
        };
        auto it = Calls.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(pick(Calls.size())));
        const int n = it->second[pick(it->second.size())];
        const std::size_t how = pick(5);
        const std::string error = errnos[pick(std::size(errnos))];
        // Once; from then on (a full disk stays full); or a few times running. An interrupted
        // call is always tried again, so EINTR for ever would only test a retry loop's
        // patience: it comes a few times at most, as it does on a real system.
        const bool forever = how == 3 && error != "EINTR";
        const std::string when = how < 3   ? std::to_string(n)
                                 : forever ? std::to_string(n) + "+"
                                           : std::to_string(n) + ".." + std::to_string(n + 3);
        return it->first + ":error=" + error + ":when=" + when;
    }

    std::map<std::string, std::string> sources_;  // relative path -> bytes
    // Relative path -> complete target, made once for the suite.
    static inline std::map<std::string, std::string> targets_;
    uint32_t seed_ = 0;
    std::mt19937 random_;
    int rounds_ = 3;

    // The complete targets, from a run without faults; checked by sonbar-cli info.
    void MakeReference() {
        if (!targets_.empty()) return;
        const TConfig c{true, false};
        Reset(c);
        ASSERT_EQ(Shell(Batch(4)), 0) << Err();
        std::string files;
        for (const auto& [rel, bytes] : sources_) {
            targets_[rel] = Slurp(TargetOf(rel, c));
            files.append(" ").append(Q(TargetOf(rel, c)));
        }
        ASSERT_EQ(Shell(Cli() + " info" + files + " >" + Q(Path("info.txt"))), 0);
        // Every source frame, in whole IMA ADPCM blocks of 4 header bytes and 2 samples a byte
        // (one more in the header), all of them in the file.
        std::istringstream info(Slurp(dir / "info.txt"));
        int checked = 0;
        for (std::string l; std::getline(info, l); ++checked) {
            const auto from = l.find("/out/") + 5;
            const std::string rel = l.substr(from, l.find('\t') - from);
            ASSERT_TRUE(sources_.count(rel)) << l;
            const long frames = static_cast<long>(sources_[rel].size() - 44) / 2;
            const long samples = NumberAfter(l, " samples="), data = NumberAfter(l, " data=");
            const long block = NumberAfter(l, " blockalign="), perBlock = (block - 4) * 2 + 1;
            EXPECT_EQ(samples, frames) << l;
            EXPECT_EQ(data, (samples + perBlock - 1) / perBlock * block) << l;
            EXPECT_GE(static_cast<long>(targets_[rel].size()), 44 + data) << l;
        }
        EXPECT_EQ(checked, 12);
    }
};

TEST_F(Faults, InjectedIoErrorsLoseNothing) {
    MakeReference();
    if (HasFatalFailure()) return;
    std::uniform_int_distribution<int> coin(0, 1);
    const char* forced = std::getenv("SONBAR_FAULT_INJECT");
    for (const int jobs : {1, 4}) {
        const auto calls = Profile(jobs);
        ASSERT_FALSE(calls.empty());
        for (int round = 0; round < rounds_; ++round) {
            const TConfig c{coin(random_) == 1, coin(random_) == 1};
            Reset(c);
            // Two faulty runs in a row, the second meeting what the first left.
            std::string context;
            for (int run = 0; run < 2; ++run) {
                std::string fault = forced ? forced : RandomFault(calls);
                std::string traced = fault.substr(0, fault.find(':'));
                std::string inject = " -e inject=" + fault;
                if (!forced && coin(random_) && coin(random_)) {
                    fault = RandomFault(calls);
                    traced += "," + fault.substr(0, fault.find(':'));
                    inject += " -e inject=" + fault;
                }
                context += "seed " + std::to_string(seed_) + ", --jobs " + std::to_string(jobs) +
                           ", " + c.Describe() + ", strace" + inject + "\n";
                const int code = Shell(
                    "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 timeout -s KILL 120 strace -f "
                    "-y -qq -o " +
                    Q(Path("trace.txt")) + " --seccomp-bpf -e trace=openat," + traced + inject +
                    " " + Batch(jobs));
                const std::string err = Err();
                // The fault may hit the loader (127) or the sanitizer's own probes (an abort):
                // the program did not fail by itself, and the invariant holds all the same.
                const bool notOurs =
                    (code == 127 && err.find("loading shared") != std::string::npos) ||
                    (code == 134 && err.find("SanitizerTool: CHECK failed") != std::string::npos);
                EXPECT_TRUE(code == 0 || code == 1 || notOurs) << context << "exit " << code << "\n"
                                                               << err;
                EXPECT_EQ(err.find("ERROR: AddressSanitizer"), std::string::npos) << context << err;
                EXPECT_EQ(err.find("runtime error"), std::string::npos) << context << err;
                EXPECT_EQ(Problems(c, false) + KeptAfterFailedCompletion(), "")
                    << context << "stderr:\n"
                    << err;
                // A run that ended by itself removed its .part files, unless it could not
                // look at or remove files at all. Claims it could not remove go with the
                // next run's sweep (checked after the clean run).
                if ((code == 0 || code == 1) && traced.find("unlink") == std::string::npos &&
                    traced.find("stat") == std::string::npos) {
                    EXPECT_EQ(PartsAndClaims(false), "") << context << "stderr:\n" << err;
                }
            }
            ExpectCleanRunFinishes(c, jobs, context);
        }
    }
}

// Two batch processes with several jobs each on the same folders, both killed at random
// moments; the next rounds meet what the killed ones left.
TEST_F(Faults, KilledProcessesLoseNothing) {
    MakeReference();
    if (HasFatalFailure()) return;
    std::uniform_int_distribution<int> coin(0, 1), ms(0, 700);
    for (int round = 0; round < rounds_; ++round) {
        const TConfig c{coin(random_) == 1, coin(random_) == 1};
        Reset(c);
        std::string context;
        for (int kill = 0; kill < 2; ++kill) {
            const int first = ms(random_), second = ms(random_);
            context += "seed " + std::to_string(seed_) + ", " + c.Describe() + ", kill -9 after " +
                       std::to_string(first) + " and " + std::to_string(first + second) + " ms\n";
            Shell(Batch(2) + " & a=$!; " + Batch(3) + " & b=$!; sleep " +
                  std::to_string(first / 1000.0) + "; kill -9 $a; sleep " +
                  std::to_string(second / 1000.0) + "; kill -9 $b; wait");
            EXPECT_EQ(Problems(c, false), "") << context;
        }
        ExpectCleanRunFinishes(c, 3, context);
    }
}

}  // namespace
