// SPDX-License-Identifier: GPL-3.0-or-later
// The batch with several jobs: claims against other processes, the free space that running
// targets will still take, a search whose cost stays flat as the folder grows, and targets
// made durable in groups.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "batch.h"
#include "batchrunner.h"
#include "engine_util.h"

namespace {

TEST(Claims, WhoMayTakeAFile) {
    TTempDir dir;
    const std::string file = dir / "a.wav";
    const std::string claim = TClaims::ClaimPathOf(file);
    EXPECT_EQ(claim, dir / ".a.wav.sonbar-claim");
    EXPECT_TRUE(TClaims::IsClaimName(".a.wav.sonbar-claim"));
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const auto dated = [&](time_t When) {
        const struct timespec t[2] = {{When, 0}, {When, 0}};
        ::utimensat(AT_FDCWD, claim.c_str(), t, 0);
    };
    // A claim lives only while its owner holds the lock on it: what anybody may write into
    // a shared folder proves nothing.
    struct Row {
        const char* name;
        std::string content;  // "" no claim there
        time_t date;          // 0: now
        bool locked;
        TClaims::TResult result;
    } rows[] = {
        {"unclaimed", "", 0, false, TClaims::TResult::Claimed},
        {"held by a live owner", std::string(host) + " " + std::to_string(::getppid()) + " 1\n", 0,
         true, TClaims::TResult::Taken},
        {"held by an owner elsewhere", "otherhost 1 1\n", 0, true, TClaims::TResult::Taken},
        {"naming a live process but held by none",
         std::string(host) + " " + std::to_string(::getppid()) + " 1\n", 0, false,
         TClaims::TResult::Claimed},
        {"naming this host's pid 1", std::string(host) + " 1 1\n", 0, false,
         TClaims::TResult::Claimed},
        {"owner here is gone", std::string(host) + " " + std::to_string(dead) + " 1\n", 0, false,
         TClaims::TResult::Claimed},
        {"another host, dated in 2099", "otherhost 1 1\n", 4070908800, false,
         TClaims::TResult::Claimed},
        {"empty", " ", 0, false, TClaims::TResult::Claimed},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(claim);
        if (!r.content.empty()) std::ofstream(claim) << r.content;
        if (r.date) dated(r.date);
        int holder = -1;
        if (r.locked) {
            holder = ::open(claim.c_str(), O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
        }
        TClaims claims(60000);
        EXPECT_EQ(claims.Claim(file), r.result);
        if (r.result == TClaims::TResult::Claimed) {
            EXPECT_EQ(claims.Claim(file), TClaims::TResult::Taken) << "held by this process";
            EXPECT_NE(Slurp(claim).find(std::to_string(::getpid())), std::string::npos);
            claims.Release(file);
            EXPECT_FALSE(fs::exists(claim));
        } else {
            claims.Release(file);
            EXPECT_EQ(Slurp(claim), r.content) << "another's claim is never removed";
            ::close(holder);
        }
        for (const auto& e : fs::directory_iterator(dir.Path()))
            EXPECT_TRUE(e.path() == claim) << "nothing else left behind: " << e.path();
    }
}

// A job's second claim is its first one's file under a second name (a stale claim planted
// there is taken over first); each stays, locked, until it is released on its own.
TEST(Claims, ASecondClaimSharesTheFirstsFileAndIsReleasedOnItsOwn) {
    TTempDir dir;
    fs::create_directory(dir / "out");
    const std::string source = dir / "a.wav", target = dir / "out/a.wav";
    std::ofstream(TClaims::ClaimPathOf(target)) << "otherhost 1 1\n";
    TClaims mine(60000), other(60000);
    ASSERT_EQ(mine.Claim(source), TClaims::TResult::Claimed);
    ASSERT_EQ(mine.Claim(target), TClaims::TResult::Claimed);
    struct stat first {
    }, second{};
    ASSERT_EQ(::stat(TClaims::ClaimPathOf(source).c_str(), &first), 0);
    ASSERT_EQ(::stat(TClaims::ClaimPathOf(target).c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    mine.Release(source);
    EXPECT_FALSE(fs::exists(TClaims::ClaimPathOf(source)));
    EXPECT_EQ(other.Claim(target), TClaims::TResult::Taken) << "still locked";
    mine.Release(target);
    EXPECT_EQ(other.Claim(target), TClaims::TResult::Claimed);
    other.Release(target);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1) << "only out/ is left";
}

TEST(Claims, HeldClaimsAreTouchedSoNoOtherHostTakesThemOver) {
    TTempDir dir;
    const std::string file = dir / "a.wav";
    TClaims claims(60000);
    ASSERT_EQ(claims.Claim(file), TClaims::TResult::Claimed);
    const struct timespec old[2] = {{::time(nullptr) - 600, 0}, {::time(nullptr) - 600, 0}};
    ::utimensat(AT_FDCWD, TClaims::ClaimPathOf(file).c_str(), old, 0);
    claims.Refresh();
    struct stat st {};
    ASSERT_EQ(::stat(TClaims::ClaimPathOf(file).c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, ::time(nullptr) - 60);
}

class Runner : public ::testing::Test {
  protected:
    void SetUp() override {
        in = dir / "in/";
        out = dir / "out/";
        BatchSettings(settings, in, out);
    }
    // Runs the batch to its end; whether it ended without failure.
    bool Run(TBatchRunner& Batch) { return RunToEnd(Batch); }

    TTempDir dir;
    std::string in, out;
    TSettings settings;
    TFakeUser user;
};

TEST_F(Runner, FreeSpaceCountsTheTargetsBeingWritten) {
    WriteWave(in + "a.wav", 441000);
    WriteWave(in + "b.wav", 441000);
    const int64_t size = static_cast<int64_t>(fs::file_size(in + "a.wav"));
    settings.Texts[EditSpaceLeft] = "1";
    // Each target as large as its source.
    settings.SetTargetFormat(TKoWaveFormat::CreatePCM16(44100, 2).get());
    // Above the limit, but by less than one target.
    const int64_t free = 1024 * 1024 + size / 2;
    for (const int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        TBatchRunner runner(settings, user, user, user, user, jobs);
        runner.FreeSpaceOf = [&](const std::string&) { return free; };
        // The first job waits at its first block until the second has been chosen, however
        // fast the machine would have run it.
        TRecodingThread* held = nullptr;
        runner.BeforeJobStarts = [&](TRecodingThread& Thread) {
            if (held) return;
            held = &Thread;
            Thread.Suspend();
        };
        user.Shown.clear();
        ASSERT_TRUE(runner.Check());
        runner.Fill();
        ASSERT_NE(held, nullptr);
        held->Resume();
        const bool ok = Run(runner);
        EXPECT_EQ(ok, jobs == 1) << testing::PrintToString(user.Shown);
        EXPECT_EQ(runner.FilesProcessed(), jobs == 1 ? 2 : 1)
            << "the second target does not fit beside the first one being written";
        if (jobs == 2) {
            EXPECT_EQ(user.Shown, std::vector<std::string>{
                                      "error: All target paths full ! Processing stopped !"});
        }
        WriteWave(in + "a.wav", 441000);
        WriteWave(in + "b.wav", 441000);
    }
}

TEST_F(Runner, CollidingTargetsMeetThePolicyOneAfterTheOther) {
    settings.SetOption(RadioSkip, true);
    settings.SetOption(CheckBoxCreateSubs, false);
    for (const char* sub : {"x/", "y/", "z/"}) WriteWave(in + sub + "same.wav");
    TBatchRunner runner(settings, user, user, user, user, 3);
    EXPECT_TRUE(Run(runner)) << testing::PrintToString(user.Shown);
    std::vector<std::string> done = user.Done;
    std::sort(done.begin(), done.end());
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(std::count_if(done.begin(), done.end(),
                            [](const std::string& d) { return d.rfind("recoded", 0) == 0; }),
              1)
        << testing::PrintToString(done);
    EXPECT_FALSE(fs::exists(out + "same.wav.part"));
}

TEST_F(Runner, SearchCostStaysFlatAndKeepsTheOrder) {
    const int files = 300;
    for (int i = 0; i < files; ++i) WriteWave(in + "f" + std::to_string(i) + ".wav", 10);
    // Passed over on every search without the reuse: empty files and one that fails.
    for (int i = 0; i < 50; ++i) std::ofstream(in + "empty" + std::to_string(i) + ".wav").close();
    std::ofstream(in + "bad.wav") << "RIFF garbage";
    Age(in + "bad.wav");
    std::vector<std::string> order;
    for (const auto& e : fs::directory_iterator(in)) {
        const std::string name = e.path().filename().string();
        if (name[0] == 'f') order.push_back("recoded " + in + name);
    }
    TBatchRunner runner(settings, user, user, user, user, 1);
    runner.KeepGoing = true;
    runner.Listings().RefreshMs = 60000;
    EXPECT_FALSE(Run(runner)) << "bad.wav failed";
    EXPECT_EQ(user.Done, order) << "the order of a fresh search";
    EXPECT_LT(runner.Listings().Reads, 10) << "the folder is not read again for every file";
    EXPECT_TRUE(fs::exists(in + "bad.wav") && fs::exists(in + "empty0.wav"));
}

// Targets made durable together: no source of a group goes before every target of the
// group is in place, and groups close after their count, at the batch's end, or when a job
// fails to be committed (a source that changed after its job read it).
TEST_F(Runner, GroupedTargetsAreAllInPlaceBeforeAnySourceGoes) {
    struct TWatcher : TFakeUser {
        std::string in, out;
        std::vector<int> targetsAtDone;
        void FileDone(const std::string& Source, const std::string& Target, bool Skipped,
                      int64_t Bytes, int32_t ElapsedMs) override {
            TFakeUser::FileDone(Source, Target, Skipped, Bytes, ElapsedMs);
            int targets = 0;
            for (const auto& e : fs::directory_iterator(out))
                targets += e.path().extension() == ".wav";
            targetsAtDone.push_back(targets);
        }
    };
    for (const int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        for (int i = 0; i < 6; ++i) WriteWave(in + "f" + std::to_string(i) + ".wav");
        TWatcher watcher;
        watcher.in = in;
        watcher.out = out;
        TBatch::TOptions options;
        options.Jobs = jobs;
        options.GroupFiles = 4;
        TBatch batch(settings, watcher, watcher, watcher, watcher, options);
        batch.Runner().GroupMs = 600000;  // only the count and the end close a group
        ASSERT_TRUE(batch.Start());
        for (bool more = true; more;) {
            switch (batch.Turn()) {
                case TBatch::TNext::WaitForJobs:
                    while (!batch.WaitForJob(50)) {
                    }
                    break;
                case TBatch::TNext::Finished:
                    more = false;
                    break;
                default:
                    FAIL() << "nothing is young and nothing is watched";
            }
        }
        EXPECT_FALSE(batch.Failed()) << testing::PrintToString(watcher.Shown);
        ASSERT_EQ(watcher.targetsAtDone.size(), 6u);
        // Two jobs may bring the group to five before it is committed.
        EXPECT_GE(watcher.targetsAtDone.front(), 4) << "a group's targets first, then sources";
        if (jobs == 1) {
            EXPECT_EQ(watcher.targetsAtDone, (std::vector<int>{4, 4, 4, 4, 6, 6}));
        }
        for (const auto& e : fs::directory_iterator(in)) ADD_FAILURE() << "left: " << e.path();
        for (const auto& e : fs::directory_iterator(out))
            EXPECT_EQ(e.path().extension(), ".wav") << "left: " << e.path();
        fs::remove_all(out);
        fs::create_directories(out);
    }
}

TEST_F(Runner, ASourceChangedWhileItsTargetWaitsStaysAndIsRecodedAgain) {
    WriteWave(in + "a.wav");
    TBatchRunner runner(settings, user, user, user, user, 1);
    runner.GroupFiles = 64;
    runner.GroupMs = 600000;
    ASSERT_TRUE(runner.Check());
    ASSERT_EQ(runner.Fill(), TBatchRunner::TFill::Full);
    while (!runner.Reap(50)) {
    }
    ASSERT_EQ(runner.Uncommitted(), 1);
    EXPECT_EQ(runner.FilesProcessed(), 0) << "nothing is done before its commit";
    EXPECT_TRUE(fs::exists(out + "a.wav.part"));
    EXPECT_FALSE(fs::exists(out + "a.wav"));
    // Another program rewrites the source while its target waits.
    WriteWave(in + "a.wav", 8820);
    const std::string changed = Slurp(in + "a.wav");
    EXPECT_TRUE(runner.Commit());
    EXPECT_EQ(runner.FilesProcessed(), 0);
    EXPECT_TRUE(runner.SawYoungFiles()) << "searched again once stable";
    EXPECT_FALSE(fs::exists(out + "a.wav.part"));
    EXPECT_FALSE(fs::exists(out + "a.wav"));
    EXPECT_EQ(Slurp(in + "a.wav"), changed);
    runner.GroupFiles = 1;  // the loop below commits nothing itself
    EXPECT_TRUE(RunToEnd(runner, true)) << testing::PrintToString(user.Shown);
    EXPECT_EQ(runner.FilesProcessed(), 1);
    EXPECT_FALSE(fs::exists(in + "a.wav"));
    EXPECT_TRUE(fs::exists(out + "a.wav"));
}

}  // namespace
