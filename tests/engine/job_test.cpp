// SPDX-License-Identifier: GPL-3.0-or-later
// The batch as Go runs it: which file comes next and where it goes, what each policy and
// after-action does, and what a failed, stopped or cancelled job leaves behind.
#include "engine_util.h"
#include "fileops.h"

namespace {

class Job : public ::testing::Test {
  protected:
    void SetUp() override {
        in = dir / "in/";
        out = dir / "out/";
        BatchSettings(settings, in, out);
    }
    // The sources in the order the batch recoded them, relative to the source folder.
    std::vector<std::string> Recoded() const {
        std::vector<std::string> names;
        for (const std::string& line : user.Done)
            names.push_back(line.substr(0, line.find(' ') + 1) +
                            line.substr(line.find(dir.Path()) + dir.Path().size() + 4));
        return names;
    }

    TTempDir dir;
    std::string in, out;
    TSettings settings;
    TFakeUser user;
    TJobControl control{settings, user, user, user, user};
};

TEST_F(Job, SearchOrderHiddenFilesLinksAndTargetsInsideSources) {
    settings.Texts[EditSourceExts] = "wav;snd";
    settings.SourceDirs = {in, dir / "in2/"};
    settings.TargetDirs = {in + "done/"};  // inside the source folder
    WriteWave(in + "b.snd");
    WriteWave(in + "a.WAV");
    WriteWave(in + "sub/c.wav");
    WriteWave(in + "sub/deeper/e.wav");
    WriteWave(in + ".hidden.wav");
    WriteWave(in + ".dir/f.wav");
    std::ofstream(in + "empty.wav").close();
    WriteWave(dir / "in2/d.wav");
    WriteWave(dir / "elsewhere/g.wav");
    fs::create_directory_symlink(dir / "elsewhere", in + "link");
    RunBatch(control);
    EXPECT_EQ(Recoded(),
              (std::vector<std::string>{"recoded a.WAV", "recoded b.snd", "recoded sub/c.wav",
                                        "recoded sub/deeper/e.wav", "recoded /d.wav"}))
        << testing::PrintToString(user.Shown);
    EXPECT_TRUE(fs::exists(in + "done/sub/deeper/e.wav"));
    EXPECT_TRUE(fs::exists(in + ".hidden.wav") && fs::exists(in + ".dir/f.wav") &&
                fs::exists(in + "empty.wav") && fs::exists(dir / "elsewhere/g.wav"));
    EXPECT_EQ(control.FilesProcessed(), 5);

    settings.SetOption(CheckBoxHiddenFiles, true);
    user.Done.clear();
    RunBatch(control);
    EXPECT_EQ(Recoded(), (std::vector<std::string>{"recoded .hidden.wav"}))
        << "hidden files only when asked for; hidden directories never";
}

TEST_F(Job, TargetDirectoryChoice) {
    const std::string t1 = dir / "t1/", t2 = dir / "t2/";
    settings.CheckTargetExtension();
    struct Row {
        const char* name;
        TOption mode;
        int sourceIndex;
        std::vector<int64_t> free;  // MB per target dir
        const char* target;         // "" when every directory is full
    } rows[] = {
        {"classical takes the first with room", RadioModeClassical, 2, {10, 500}, "t2/"},
        {"unknown space is never full", RadioModeClassical, 0, {-1, 500}, "t1/"},
        {"direct link: third source to the last target", RadioModeLinked, 2, {500, 500}, "t2/"},
        {"direct link never goes back", RadioModeLinked, 1, {500, 5}, ""},
        {"classical, all full", RadioModeClassical, 0, {1, 10}, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        settings.TargetDirs = {t1, t2};
        settings.SetOption(r.mode, true);
        control.FreeSpaceOf = [&](const std::string& d) {
            const int64_t mb = r.free[d == t1 ? 0 : 1];
            return mb < 0 ? -1 : mb << 20;
        };
        control.RefreshTargetDirs();
        control.TakeSettings();
        control.SourceFile = in + "a/b/x.wav";
        control.SourceDirIndex = r.sourceIndex;
        control.RelativeDir = "a/b";
        if (*r.target) {
            control.ChooseTargetFile();
            EXPECT_EQ(control.TargetFile, dir / r.target + "a/b/x.wav");
            EXPECT_TRUE(fs::is_directory(dir / r.target + "a/b"));
        } else {
            EXPECT_THROW(control.ChooseTargetFile(), EAllDirFullException);
        }
    }
}

TEST_F(Job, TargetExistsPolicies) {
    struct Row {
        const char* name;
        TOption policy;
        std::vector<TAnswer> answers;
        bool recoded, sourceKept;
        const char* message;  // last message shown, "" for none
    } rows[] = {
        {"overwrite", RadioOverwrite, {}, true, false, ""},
        {"treat as processed", RadioSkip, {}, false, false, ""},
        {"prompt, yes", RadioPrompt, {TAnswer::Yes}, true, false, ""},
        {"prompt, no", RadioPrompt, {TAnswer::No}, false, false, ""},
        {"prompt, cancel",
         RadioPrompt,
         {TAnswer::Cancel},
         false,
         true,
         "error: Processing was stopped !"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        WriteWave(in + "x.wav");
        std::ofstream(out + "x.wav") << "old target";
        settings.SetOption(r.policy, true);
        user.Answers.assign(r.answers.begin(), r.answers.end());
        user.Shown.clear();
        RunBatch(control);
        EXPECT_EQ(Slurp(out + "x.wav") != "old target", r.recoded);
        EXPECT_EQ(fs::exists(in + "x.wav"), r.sourceKept);
        EXPECT_EQ(
            user.Shown.empty() || user.Shown.back().rfind("ask:", 0) == 0 ? "" : user.Shown.back(),
            r.message);
        fs::remove(in + "x.wav");
    }
    EXPECT_EQ(user.Shown.front(),
              "ask: The current target file already exists !\rDo You want it to be overwritten ?\r"
              "(Select \"Yes\" for overwriting the target file or \"No\" for deleting the source "
              "file !)");
}

TEST_F(Job, SourceAndTargetMustDiffer) {
    settings.SetOption(RadioModeRebound, true);
    settings.Texts[EditTargetExt] = "WAV";
    WriteWave(in + "x.WAV");
    RunBatch(control);
    EXPECT_EQ(user.Shown,
              (std::vector<std::string>{"error: Source and target file must be different !"}));
    EXPECT_TRUE(fs::exists(in + "x.WAV"));
}

TEST_F(Job, MoveAfterActionKeepsRelativeDirectoriesAndNeverReplaces) {
    const std::string moved = dir / "moved/";
    fs::create_directories(moved + "a");
    settings.SetOption(RadioMove, true);
    settings.Texts[EditMoveDir] = moved;
    WriteWave(in + "a/x.wav");
    WriteWave(in + "a/y.wav");
    std::ofstream(moved + "a/y.wav") << "already here";
    RunBatch(control);
    EXPECT_TRUE(fs::exists(moved + "a/x.wav"));
    EXPECT_EQ(Slurp(moved + "a/y.wav"), "already here");
    EXPECT_TRUE(fs::exists(in + "a/y.wav")) << "a failed move leaves the source";
    EXPECT_TRUE(fs::exists(out + "a/y.wav")) << "and its complete target";
    ASSERT_FALSE(user.Shown.empty());
    EXPECT_EQ(user.Shown.back(),
              "error: The source file " + in + "a/y.wav could not be moved to " + moved + " !");

    // A stored configuration that moves with no move directory never moves into "/".
    settings.Texts[EditMoveDir] = "";
    WriteWave(in + "z.wav");
    RunBatch(control);
    EXPECT_TRUE(fs::exists(in + "z.wav"));
}

TEST_F(Job, AFailedJobShowsTwoMessagesAndLeavesNoTarget) {
    WriteWave(in + "cut.wav", 44100);
    {
        // A format record no codec converts from (MP3 with seven channels).
        std::fstream f(in + "cut.wav", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(20);
        f.write("\x55\x00\x07\x00", 4);
    }
    Age(in + "cut.wav");
    const std::string before = Slurp(in + "cut.wav");
    RunBatch(control);
    EXPECT_EQ(user.Shown, (std::vector<std::string>{
                              "error: Error opening target file !",
                              "error: The current job could not be completed successfully !"}));
    EXPECT_EQ(Slurp(in + "cut.wav"), before);
    EXPECT_TRUE(fs::is_empty(out)) << "neither the target nor its .part";
}

TEST_F(Job, CancelAnswersAndStopAfterThisFile) {
    struct Row {
        const char* name;
        std::vector<TAnswer> answers;
        bool suspendFirst;
        bool stopped, partKept;
    } rows[] = {
        {"not really", {TAnswer::No}, false, false, false},
        {"stop, delete", {TAnswer::Yes, TAnswer::Yes}, false, true, false},
        {"stop, keep as .part", {TAnswer::Yes, TAnswer::No}, true, true, true},
        {"stop, then cancel", {TAnswer::Yes, TAnswer::Cancel}, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove_all(out);
        fs::create_directories(out);
        WriteWave(in + "long.wav", 44100 * 60);
        settings.Texts[EditBufferSize] = "4";
        control.ButtonGoClick();
        ASSERT_EQ(control.JobState(), jsRecoding);
        if (r.suspendFirst) control.ButtonSuspendClick();
        user.Answers.assign(r.answers.begin(), r.answers.end());
        control.ButtonCancelClick();
        if (!r.stopped) {
            if (control.JobState() == jsSuspended) control.ButtonResumeClick();
            control.RecodingThread()->WaitFor();
            control.RecodingThreadDone();
            EXPECT_TRUE(fs::exists(out + "long.wav"));
            EXPECT_FALSE(fs::exists(in + "long.wav"));
            continue;
        }
        EXPECT_EQ(control.JobState(), jsStopped);
        EXPECT_TRUE(fs::exists(in + "long.wav"));
        EXPECT_FALSE(fs::exists(out + "long.wav"))
            << "never an incomplete file under the target's name";
        EXPECT_EQ(fs::exists(out + "long.wav.part"), r.partKept);
    }

    // Stop after this file, with and without its after-action.
    for (bool action : {false, true}) {
        SCOPED_TRACE(action);
        WriteWave(in + "one.wav");
        WriteWave(in + "two.wav");
        const int before = control.FilesProcessed();
        control.CheckBoxStopAfter = true;
        control.CheckBoxAction = action;
        RunBatch(control);
        EXPECT_EQ(control.FilesProcessed(), before + 1);
        EXPECT_FALSE(control.GoWhenIdle);
        EXPECT_EQ(fs::exists(in + "one.wav") + fs::exists(in + "two.wav"), action ? 1 : 2);
        fs::remove(in + "one.wav");
        fs::remove(in + "two.wav");
    }
}

TEST_F(Job, WaitingCountsDownAndSearchesAgain) {
    settings.SetOption(CheckBoxTryAgain, true);
    settings.Texts[EditSec] = "3";
    EXPECT_EQ(control.ButtonGoClick(), TGoResult::Waiting);
    EXPECT_EQ(control.WaitCountdown(), 3);
    control.TimerWaitForFileTimer();
    EXPECT_EQ(control.WaitCountdown(), 2);
    WriteWave(in + "late.wav");
    control.TimerWaitForFileTimer();
    EXPECT_EQ(control.JobState(), jsWaiting);
    control.TimerWaitForFileTimer();
    EXPECT_EQ(control.JobState(), jsRecoding);
    control.RecodingThread()->WaitFor();
    control.RecodingThreadDone();
    control.ButtonGoClick();
    EXPECT_EQ(control.JobState(), jsWaiting);
    EXPECT_EQ(control.WaitCountdown(), 3);
    control.ButtonCancelClick();
    EXPECT_EQ(control.JobState(), jsStopped);
    EXPECT_TRUE(std::none_of(user.Shown.begin(), user.Shown.end(),
                             [](const std::string& s) { return s.rfind("ask:", 0) == 0; }));
}

TEST_F(Job, ProgressFiguresAndTheirFormats) {
    EXPECT_EQ(FormatTime(0), "00:00:00");
    EXPECT_EQ(FormatTime(3600 * 100 + 61), "100:01:01");
    EXPECT_EQ(FormatThousands(999), "999");
    EXPECT_EQ(FormatThousands(1234567), "1,234,567");
    EXPECT_EQ(FormatThousands(1234567890123), "1234,567,890,123");

    WriteWave(in + "x.wav", 44100);
    user.Now = 86400000 - 500;  // half a second before midnight
    control.ButtonGoClick();
    control.ButtonSuspendClick();
    user.Now = 86400000 - 450;
    control.UpdateProgress();  // suspended: the clock stands still
    user.Now = 60000;          // a minute after midnight
    control.ButtonResumeClick();
    user.Now = 60100;
    control.RecodingThread()->WaitFor();
    control.RecodingThreadDone();
    EXPECT_EQ(user.LastElapsedMs, 100) << "midnight passed once, the pause not counted";
    EXPECT_EQ(user.Last.PercentText, "100%");
    EXPECT_EQ(user.Last.Source, in + "x.wav");
}

}  // namespace
