// SPDX-License-Identifier: GPL-3.0-or-later
// Several jobs at once in the windows: the engine's batch loop driven by the event loop, the
// panel's list of running files, and the buttons acting on every job.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "batch.h"
#include "batchfiles.h"
#include "harness.h"
#include "jobpanel.h"
#include "jobtexts.h"

namespace guitest {
namespace {

class Jobs : public GuiTest {
  protected:
    // Two jobs and a small copy buffer, so that the jobs overlap.
    void TwoJobs() {
        std::ofstream out(root / "config/Sonbar.ini", std::ios::app);
        out << "Jobs=2\nCopyBufferSize=4\n";
    }
};

TEST_F(Jobs, TwoJobsListTheirFilesAndWriteWhatSonbarCliWrites) {
    const std::vector<std::pair<const char*, int>> sources = {
        {"a.wav", 400000}, {"b.wav", 300000},    {"c.wav", 20000},
        {"d.wav", 50000},  {"sub/e.wav", 70000}, {"sub/f.wav", 1000}};
    for (const auto& [name, samples] : sources) WriteWave(root / "in" / name, samples);
    TwoJobs();
    PrepareCliReference();
    TFormMain& f = Open();
    EXPECT_EQ(f.JobCount(), 2);
    f.ButtonGo->click();
    ASSERT_NE(f.Batch(), nullptr);
    // Both jobs show as rows of the panel's list, with the summed figures above.
    bool listed = false;
    ASSERT_TRUE(RunUntil([&] {
        if (f.Batch() && f.Batch()->Running() == 2 && f.JobPanel->ListViewJobs->isVisible() &&
            f.JobPanel->ListViewJobs->topLevelItemCount() == 2)
            listed = true;
        return Stopped();
    }));
    EXPECT_TRUE(listed) << "two jobs at once were never listed";
    EXPECT_FALSE(f.JobPanel->ListViewJobs->isVisible());
    EXPECT_EQ(f.LabelFilesProcessed->text().toStdString(), "6");
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Stopped]");
    EXPECT_TRUE(messages.Boxes().empty()) << messages.Boxes().front();
    EXPECT_EQ(f.ListViewFiles->topLevelItemCount(), 6);

    ASSERT_TRUE(RunCliReference("--jobs 2"));
    for (const auto& [name, samples] : sources) {
        const std::string target = fs::path(name).replace_extension("wav2").string();
        EXPECT_FALSE(fs::exists(root / "in" / name)) << name;
        EXPECT_FALSE(ReadAll(root / "out" / target).empty()) << target;
        EXPECT_EQ(ReadAll(root / "out" / target), ReadAll(root / "cliout" / target)) << target;
    }
}

// Suspend, Resume and Cancel act on both jobs; Cancel asks its two questions once.
TEST_F(Jobs, ButtonsActOnEveryJobAndCancelAsksOnce) {
    struct Row {
        const char* name;
        std::vector<TAnswer> answers;
        bool stopped, partsStay;
    } rows[] = {
        {"not really", {TAnswer::No}, false, false},
        {"remove the parts", {TAnswer::Yes, TAnswer::Yes}, true, false},
        {"keep the parts", {TAnswer::Yes, TAnswer::No}, true, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        WriteWave(root / "in/long1.wav", 4'000'000);
        WriteWave(root / "in/long2.wav", 4'000'000);
        Ini({{"SourceDirs", Dir("in")},
             {"TargetDirs", Dir("out")},
             {"TargetExts", "wav2"},
             {"SavedDataFields", "2C6E02"}});
        TwoJobs();
        TFormMain& f = Open();
        f.ButtonGo->click();
        ASSERT_TRUE(RunUntil([&] { return f.Batch() && f.Batch()->Running() == 2; }));
        f.ButtonSuspend->click();
        EXPECT_EQ(f.BatchState(), jsSuspended);
        EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Suspended");
        EXPECT_TRUE(f.ButtonResume->isEnabled());
        f.Batch()->Runner().ForEachControl(
            [](TJobControl& Control) { EXPECT_EQ(Control.JobState(), jsSuspended); });
        f.ButtonResume->click();
        EXPECT_EQ(f.BatchState(), jsRecoding);
        messages.Asked = 0;
        messages.Answers.assign(r.answers.begin(), r.answers.end());
        f.ButtonCancel->click();
        EXPECT_EQ(messages.Asked, static_cast<int>(r.answers.size()));
        EXPECT_EQ(Stopped(), r.stopped);
        if (!r.stopped) {
            // Going on: both finish.
            ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
            EXPECT_TRUE(fs::exists(root / "out/long1.wav2") && fs::exists(root / "out/long2.wav2"));
        } else {
            for (const char* name : {"long1.wav", "long2.wav"}) {
                EXPECT_TRUE(fs::exists(root / "in" / name)) << "the source stays";
            }
            int parts = 0;
            for (const auto& entry : fs::directory_iterator(root / "out"))
                parts += entry.path().extension() == ".part";
            EXPECT_EQ(parts, r.partsStay ? 2 : 0);
        }
        form.reset();
        for (const char* dir : {"in", "out"}) {
            fs::remove_all(root / dir);
            fs::create_directories(root / dir);
        }
    }
}

TEST_F(Jobs, StopAfterFinishesTheRunningFilesOnly) {
    for (const char* name : {"a.wav", "b.wav", "c.wav", "d.wav"})
        WriteWave(root / "in" / name, 200000);
    TwoJobs();
    TFormMain& f = Open();
    f.CheckBoxStopAfter->setChecked(true);
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    EXPECT_EQ(f.LabelFilesProcessed->text().toStdString(), "2");
    int left = 0;
    for (const auto& entry : fs::directory_iterator(root / "in")) left += entry.is_regular_file();
    EXPECT_EQ(left, 2);
}

// One notification when a batch ends, with what it did; none while it goes on, none when
// they are turned off.
TEST_F(Jobs, TheEndOfABatchIsNotifiedOnce) {
    struct Row {
        const char* name;
        const char* more;  // "Options" lines
        std::size_t sent;
    } rows[] = {
        {"one job at a time", "", 1},
        {"two jobs", "Jobs=2\n", 1},
        {"turned off", "Notify=0\n", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        WriteWave(root / "in/a.wav", 20000);
        WriteWave(root / "in/b.wav", 20000);
        Ini({{"SourceDirs", Dir("in")},
             {"TargetDirs", Dir("out")},
             {"TargetExts", "wav2"},
             {"SavedDataFields", "2C6E02"}});
        std::ofstream(root / "config/Sonbar.ini", std::ios::app) << r.more;
        notifier.Sent.clear();
        TFormMain& f = Open();
        f.ButtonGo->click();
        ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
        ASSERT_EQ(notifier.Sent.size(), r.sent);
        if (r.sent) {
            EXPECT_EQ(notifier.Sent[0],
                      "Sonbar: the batch has ended: 2 recoded, 0 skipped, 0 failed");
        }
        form.reset();
        fs::remove_all(root / "out");
        fs::create_directories(root / "out");
    }
}

// Waiting for the next file, one job or several: a file that arrives is taken without
// waiting for the countdown (an hour here, and the test's timer never ticks).
TEST_F(Jobs, AWaitingWindowTakesAFileAsItArrives) {
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(std::string("Jobs=") + jobs);
        Ini({{"SourceDirs", Dir("in")},
             {"TargetDirs", Dir("out")},
             {"TargetExts", "wav2"},
             {"SavedDataFields", "2C6E03"},
             {"WaitSeconds", "3600"},
             {"Jobs", jobs}});
        TFormMain& f = Open();
        f.ButtonGo->click();
        ASSERT_TRUE(RunUntil(
            [&] { return f.Job().JobState() == jsWaiting || f.BatchState() == jsWaiting; }));
        WriteWave(root / "in/late.wav", 3000);
        ASSERT_TRUE(RunUntil([&] { return fs::exists(root / "out/late.wav2"); }));
        ASSERT_TRUE(RunUntil(
            [&] { return f.Job().JobState() == jsWaiting || f.BatchState() == jsWaiting; }));
        EXPECT_FALSE(fs::exists(root / "in/late.wav"));
        form.reset();
        fs::remove(root / "out/late.wav2");
    }
}

// The window's title for each state, with one job and with several.
TEST(JobTexts, TitleAndCaption) {
    TProgressFigures one, two, unknown;
    one.HasPercent = two.HasPercent = true;
    one.PercentText = "42%";
    one.Source = "/in/x.wav";
    two.PercentText = "7%";
    two.Jobs = 2;
    struct Row {
        TJobState state;
        const TProgressFigures& figures;
        const char *title, *caption;
    } rows[] = {
        {jsStopped, one, "Sonbar  [Stopped]", "Stopped"},
        {jsRecoding, unknown, "Sonbar  [Recoding...]", "Recoding ..."},
        {jsRecoding, one, "Sonbar  - /in/x.wav [42%]", "Recoding ..."},
        {jsRecoding, two, "Sonbar  [2 jobs 7%]", "Recoding ..."},
        {jsSuspended, one, "Sonbar  [Suspended]", "Suspended"},
        {jsWaiting, one, "Sonbar  [Waiting 3s]", "Waiting for the next file ... (3)"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(JobStateTitle(r.state, 3, r.figures), r.title);
        EXPECT_EQ(JobStateCaption(r.state, 3), r.caption);
    }
}

}  // namespace
}  // namespace guitest
