// SPDX-License-Identifier: GPL-3.0-or-later
// What keeps a source from being lost or exposed: a source that changes under its job stays,
// links planted in target and move trees are never followed, targets are never more
// readable than their sources, names at the length limit work, a hot folder outlives a
// failed file, and a job that ends while suspended is handled.
#include <poll.h>
#include <sys/wait.h>

#include <cstring>

#include "batchrunner.h"
#include "engine_util.h"
#include "fileops.h"

namespace {

class Safety : public ::testing::Test {
  protected:
    void SetUp() override {
        in = dir / "in/";
        out = dir / "out/";
        BatchSettings(settings, in, out);
    }
    bool Run(TBatchRunner& Batch) { return RunToEnd(Batch, true); }
    // Every name left in a folder tree, relative to it.
    static std::vector<std::string> Names(const std::string& Dir) {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(Dir))
            names.push_back(fs::relative(e.path(), Dir).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TTempDir dir;
    std::string in, out;
    TSettings settings;
    TFakeUser user;
};

TEST_F(Safety, ASourceThatChangesDuringItsJobStaysAndItsTargetIsDiscarded) {
    struct Row {
        const char* name;
        std::function<void(const std::string&)> change;
    } rows[] = {
        {"another file moved over its name",
         [&](const std::string& Source) {
             WriteWave(dir / "new.wav", 700);
             fs::rename(dir / "new.wav", Source);
         }},
        {"rewritten in place, longer",
         [&](const std::string& Source) {
             std::ofstream(Source, std::ios::app) << std::string(4096, 'x');
         }},
        {"touched",
         [&](const std::string& Source) { ::utimensat(AT_FDCWD, Source.c_str(), nullptr, 0); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string source = in + "a.wav";
        WriteWave(source, 44100);
        TRecodingThread job(source, out + "a.wav", 4096, nullptr, true);
        job.Suspend();
        job.Start();
        // The job has opened its source once it knows its size; it waits at the first block.
        while (job.SourceSize() == 0) ::poll(nullptr, 0, 5);
        r.change(source);
        const std::string now = Slurp(source);
        job.Resume();
        job.WaitFor();
        EXPECT_EQ(job.FailedStep(), TRecodeStep::SourceChanged);
        EXPECT_EQ(job.ErrorText(), kSourceChangedText);
        EXPECT_EQ(Names(out), std::vector<std::string>{}) << "no target, no .part";
        EXPECT_EQ(Slurp(source), now);
    }
}

TEST_F(Safety, TheAfterActionLeavesASourceThatChangedSinceItsJob) {
    TJobControl control(settings, user, user, user, user);
    WriteWave(in + "a.wav");
    ASSERT_EQ(control.ButtonGoClick(), TGoResult::Started);
    control.RecodingThread()->WaitFor();
    std::ofstream(in + "a.wav", std::ios::app) << "more";
    EXPECT_FALSE(control.RecodingThreadDone());
    EXPECT_EQ(control.LastOutcome(), TJobOutcome::SourceChanged);
    EXPECT_TRUE(fs::exists(in + "a.wav"));
    EXPECT_EQ(user.Shown, std::vector<std::string>{}) << "no failure: it is tried again";
}

TEST_F(Safety, LinksInTargetAndMoveTreesAreNeverFollowed) {
    const std::string elsewhere = dir / "elsewhere/";
    struct Row {
        const char* name;
        std::function<void()> plant;
        std::string message;
    } rows[] = {
        {"a link where a target subfolder belongs",
         [&] {
             settings.SetOption(RadioOverwrite, true);
             fs::create_directory_symlink(elsewhere, out + "sub");
         },
         "error: The target directory " + out + "sub is a link or not a directory !"},
        {"a link inside the move folder",
         [&] {
             settings.SetOption(RadioMove, true);
             settings.Texts[EditMoveDir] = dir / "moved";
             fs::create_directories(dir / "moved");
             fs::create_directory_symlink(elsewhere, dir / "moved/sub");
         },
         "error: The move directory " + dir / "moved/sub is a link or not a directory !"},
        {"a link at the target's name is no processed target",
         [&] {
             settings.SetOption(RadioSkip, true);
             fs::create_directories(out + "sub");
             fs::create_symlink(elsewhere + "a.wav", out + "sub/a.wav");
         },
         "error: Target file access denied !"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove_all(out);
        fs::remove_all(dir / "moved");
        fs::create_directories(out);
        BatchSettings(settings, in, out);
        WriteWave(elsewhere + "a.wav", 100);
        const std::string planted = Slurp(elsewhere + "a.wav");
        WriteWave(in + "sub/a.wav");
        r.plant();
        user.Shown.clear();
        TJobControl control(settings, user, user, user, user);
        RunBatch(control);
        EXPECT_EQ(user.Shown, std::vector<std::string>{r.message});
        EXPECT_TRUE(fs::exists(in + "sub/a.wav")) << "the source stays";
        EXPECT_EQ(Names(elsewhere), std::vector<std::string>{"a.wav"});
        EXPECT_EQ(Slurp(elsewhere + "a.wav"), planted);
    }
}

TEST_F(Safety, TargetsAreNeverMoreReadableThanTheirSourcesAndPartsArePrivate) {
    for (const mode_t mode : {0600, 0640, 0644}) {
        SCOPED_TRACE(mode);
        WriteWave(in + "a.wav");
        ::chmod((in + "a.wav").c_str(), mode);
        TJobControl control(settings, user, user, user, user);
        ASSERT_EQ(control.ButtonGoClick(), TGoResult::Started);
        struct stat st {};
        // Seen at any moment of the job, the .part is the owner's alone.
        if (::stat(control.RecodingThread()->PartFileName().c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
        control.RecodingThread()->WaitFor();
        ASSERT_TRUE(control.RecodingThreadDone());
        ASSERT_EQ(::stat((out + "a.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode & ~fileops::Umask());
        fs::remove(out + "a.wav");
    }
}

TEST(FileOps, AMoveToAnotherFileSystemKeepsModeOwnerAndTimes) {
    TTempDir here;
    char pattern[] = "/dev/shm/sonbar-move-XXXXXX";
    if (!::mkdtemp(pattern)) GTEST_SKIP() << "no /dev/shm";
    const std::string there = pattern;
    struct stat a {
    }, b{};
    ::stat(here.Path().c_str(), &a);
    ::stat(there.c_str(), &b);
    if (a.st_dev == b.st_dev) {
        fs::remove_all(there);
        GTEST_SKIP() << "/dev/shm is on the same file system";
    }
    const std::string from = here / "a.wav";
    WriteWave(from);
    ::chmod(from.c_str(), 0600);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(from.c_str(), 1234, 5678), 0);
    }
    const fileops::TFileIdentity id = fileops::IdentityAt(from);
    const std::string content = Slurp(from);
    const int dirFd = fileops::OpenDirectoryBelow(there, "", false);
    ASSERT_TRUE(fileops::MoveFileInto(from, id, dirFd, "a.wav")) << std::strerror(errno);
    ::close(dirFd);
    ASSERT_EQ(::stat((there + "/a.wav").c_str(), &b), 0);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(Slurp(there + "/a.wav"), content);
    EXPECT_EQ(b.st_mode & 07777, 0600u);
    EXPECT_EQ(b.st_mtim.tv_sec, id.Modified.tv_sec);
    if (root) {
        EXPECT_TRUE(b.st_uid == 1234 && b.st_gid == 5678);
    }
    fs::remove_all(there);
}

TEST_F(Safety, ClaimsAndPartsOfNamesAtTheLengthLimit) {
    TClaims claims;
    // The longest names the file system allows, and one that leaves room for nothing more.
    for (const std::size_t length : {255, 246, 243}) {
        SCOPED_TRACE(length);
        const std::string name = std::string(length - 4, 'n') + ".wav";
        WriteWave(in + name);
        TBatchRunner runner(settings, user, user, user, user, 2);
        runner.Claims = &claims;
        EXPECT_TRUE(Run(runner)) << testing::PrintToString(user.Shown);
        EXPECT_EQ(Names(out), std::vector<std::string>{name});
        EXPECT_FALSE(fs::exists(in + name));
        fs::remove(out + name);
        // A claim on it is a file of its own, so two processes never share the name.
        ASSERT_EQ(claims.Claim(in + name), TClaims::TResult::Claimed);
        EXPECT_TRUE(fs::exists(TClaims::ClaimPathOf(in + name)));
        EXPECT_LE(fileops::NamePart(TClaims::ClaimPathOf(in + name)).size() + 24, 255u);
        claims.Release(in + name);
    }
    EXPECT_EQ(Names(in), std::vector<std::string>{});
}

TEST_F(Safety, ReboundOntoTheSourceItselfEndsAtOnce) {
    settings.SetOption(RadioModeRebound, true);
    settings.Texts[EditTargetExt] = "wav";
    WriteWave(in + "a.wav");
    TClaims claims;
    TBatchRunner runner(settings, user, user, user, user, 2);
    runner.Claims = &claims;
    EXPECT_FALSE(Run(runner));
    EXPECT_EQ(user.Shown,
              std::vector<std::string>{"error: Source and target file must be different !"});
    EXPECT_TRUE(fs::exists(in + "a.wav"));
}

TEST_F(Safety, AHotFolderPassesOverAFailedFileUntilItChanges) {
    // A file whose header has not arrived whole yet.
    WriteWave(in + "a.wav", 4410);
    const std::string whole = Slurp(in + "a.wav");
    std::ofstream(in + "a.wav", std::ios::binary | std::ios::trunc) << whole.substr(0, 20);
    Age(in + "a.wav");
    TBatchRunner runner(settings, user, user, user, user, 1);
    runner.Watching = true;
    ASSERT_TRUE(runner.Check());
    runner.Fill();
    while (!runner.Reap(50)) {
    }
    EXPECT_TRUE(runner.Failed());
    EXPECT_FALSE(runner.Stopping()) << "one failed file never ends a hot folder";
    EXPECT_EQ(runner.Fill(), TBatchRunner::TFill::NoMoreFiles) << "passed over while unchanged";
    // The writer finishes the file: it is taken again.
    std::ofstream(in + "a.wav", std::ios::binary | std::ios::trunc) << whole;
    Age(in + "a.wav");
    ASSERT_EQ(runner.Fill(), TBatchRunner::TFill::Full);
    while (!runner.Reap(50)) {
    }
    EXPECT_EQ(runner.FilesProcessed(), 1);
    EXPECT_FALSE(fs::exists(in + "a.wav"));
}

TEST_F(Safety, AJobThatEndsWhileSuspendedIsHandled) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "then cancelled" : "then left alone");
        WriteWave(in + "a.wav");
        TJobControl control(settings, user, user, user, user);
        ASSERT_EQ(control.ButtonGoClick(), TGoResult::Started);
        control.RecodingThread()->WaitFor();  // the last block is past
        control.ButtonSuspendClick();
        ASSERT_EQ(control.JobState(), jsSuspended);
        user.Shown.clear();
        if (cancel) {
            user.Answers = {TAnswer::Yes, TAnswer::Yes};
            control.ButtonCancelClick();
            EXPECT_EQ(user.Shown.back(),
                      "info: The job meanwhile completed ! The target file was NOT deleted !");
        } else {
            EXPECT_TRUE(control.RecodingThreadDone());
            EXPECT_FALSE(control.GoWhenIdle) << "suspended: the batch goes no further";
        }
        EXPECT_EQ(control.JobState(), jsStopped);
        EXPECT_TRUE(fs::exists(out + "a.wav")) << "the complete target stays";
        EXPECT_FALSE(fs::exists(in + "a.wav")) << "its after-action was done";
        fs::remove(out + "a.wav");
    }
}

TEST_F(Safety, ASourceTakenBeforeItsJobOpensItIsNoFailure) {
    TJobControl control(settings, user, user, user, user);
    control.SourceFile = in + "gone.wav";
    control.TargetFile = out + "gone.wav";
    control.SetJobState(jsRecoding);
    control.RecodingThread()->WaitFor();
    EXPECT_FALSE(control.RecodingThreadDone());
    EXPECT_EQ(control.LastOutcome(), TJobOutcome::SourceGone);
    EXPECT_EQ(user.Shown, std::vector<std::string>{});
    EXPECT_EQ(Names(out), std::vector<std::string>{});
}

}  // namespace
