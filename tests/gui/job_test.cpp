// SPDX-License-Identifier: GPL-3.0-or-later
// The job run from the main window: Go, the idle hook chaining files, suspend and resume,
// cancel, stop after this file, the waiting countdown, a failed file, and closing.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "harness.h"

namespace guitest {
namespace {

using J = GuiTest;

std::string Text(const QLabel* L) {
    return L->text().toStdString();
}

TEST_F(J, GoRecodesEveryFileThroughTheIdleHookLikeTheEngineAlone) {
    // Three files, the last in a subdirectory: the relative structure is copied.
    WriteWave(root / "in/a.wav", 30000);
    WriteWave(root / "in/b.wav", 20000);
    WriteWave(root / "in/sub/c.wav", 10000);
    PrepareCliReference();
    TFormMain& f = Open();
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Stopped]");
    f.ButtonGo->click();
    // The first file starts on the click; the others only through the idle hook.
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Recoding ...");
    EXPECT_FALSE(f.ButtonGo->isEnabled());
    EXPECT_TRUE(f.ButtonSuspend->isEnabled());
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    EXPECT_EQ(Text(f.LabelFilesProcessed), "3");
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Stopped");
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Stopped]");
    EXPECT_EQ(Text(f.LabelTime), "00:00:00");
    EXPECT_EQ(sound.Beeps, 3);
    EXPECT_TRUE(messages.Boxes().empty()) << messages.Boxes().front();

    // Each target is what sonbar-cli batch writes from the same sources and settings.
    ASSERT_TRUE(RunCliReference(""));
    for (const char* source : {"a.wav", "b.wav", "sub/c.wav"})
        EXPECT_FALSE(fs::exists(root / "ref" / source) || fs::exists(root / "in" / source));
    for (const char* target : {"a.wav2", "b.wav2", "sub/c.wav2"}) {
        EXPECT_EQ(ReadAll(root / "out" / target), ReadAll(root / "cliout" / target)) << target;
        EXPECT_FALSE(ReadAll(root / "out" / target).empty()) << target;
    }
}

TEST_F(J, SuspendedTimeDoesNotCount) {
    WriteWave(root / "in/long.wav", 4'000'000);
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", "2C6E02"},
         {"CopyBufferSize", "4"}});
    TFormMain& f = Open();
    clock.Now = 1000;
    f.ButtonGo->click();
    clock.Now = 3000;
    f.ButtonSuspend->click();
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Suspended");
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Suspended]");
    EXPECT_TRUE(f.ButtonResume->isEnabled());
    EXPECT_FALSE(f.ButtonSuspend->isEnabled());
    EXPECT_TRUE(f.LabelPercent->isVisibleTo(&f));
    EXPECT_FALSE(f.LabelTime->isEnabled());
    EXPECT_EQ(Text(f.LabelTime), "00:00:02");
    // The worker stops at its next block boundary, and stays there.
    RunUntil([] { return false; }, 50);
    const int64_t paused = f.Job().RecodingThread()->BytesRead();
    RunUntil([] { return false; }, 100);
    EXPECT_EQ(f.Job().RecodingThread()->BytesRead(), paused);
    EXPECT_LT(paused, 16'000'000);
    clock.Now = 63000;  // a minute in suspension
    f.ButtonResume->click();
    clock.Now = 64500;
    f.Job().UpdateProgress();
    EXPECT_EQ(Text(f.LabelTime), "00:00:03");
    EXPECT_TRUE(f.LabelTime->isEnabled());
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }, 60000));
    EXPECT_EQ(Text(f.LabelFilesProcessed), "1");
}

struct CancelCase {
    const char* name;
    TJobState state;
    std::vector<TAnswer> answers;
    int questions;
    bool stops;
    bool partKept;
};

class CancelTest : public GuiTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelTest, AsksAndActsOnTheAnswers) {
    const CancelCase& c = GetParam();
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", c.state == jsWaiting ? "2C6E03" : "2C6E02"},
         {"CopyBufferSize", "4"}});
    if (c.state != jsWaiting) WriteWave(root / "in/long.wav", 8'000'000);
    TFormMain& f = Open();
    f.ButtonGo->click();
    // The worker has written its first blocks before the user steps in.
    if (c.state != jsWaiting) {
        ASSERT_TRUE(RunUntil([&] { return fs::exists(root / "out/long.wav2.part"); }));
    }
    if (c.state == jsSuspended) f.ButtonSuspend->click();
    ASSERT_EQ(f.Job().JobState(), c.state);
    messages.Answers.assign(c.answers.begin(), c.answers.end());
    f.ButtonCancel->click();
    EXPECT_EQ(messages.Asked, c.questions);
    // The questions name the source, then the target.
    std::vector<std::string> named = {Path("in/long.wav"), Path("out/long.wav2")};
    named.resize(static_cast<std::size_t>(c.questions));
    EXPECT_EQ(messages.About, named);
    EXPECT_EQ(f.Job().JobState() == jsStopped, c.stops);
    if (c.stops) {
        EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Stopped");
        EXPECT_FALSE(f.ButtonCancel->isEnabled());
    }
    if (c.state != jsWaiting) {
        // The incomplete target never carries the target's own name.
        EXPECT_FALSE(fs::exists(root / "out/long.wav2"));
        EXPECT_EQ(fs::exists(root / "out/long.wav2.part"), c.partKept);
        EXPECT_TRUE(fs::exists(root / "in/long.wav"));
    }
    if (!c.stops) {
        f.Job().SetJobState(jsRecoding);
        f.Job().SetJobState(jsStopped);
    }
}

const TAnswer Y = TAnswer::Yes, N = TAnswer::No, C = TAnswer::Cancel;
INSTANTIATE_TEST_SUITE_P(
    States, CancelTest,
    ::testing::Values(CancelCase{"WaitingNoQuestion", jsWaiting, {}, 0, true, false},
                      CancelCase{"RecodingNotReally", jsRecoding, {N}, 1, false, true},
                      CancelCase{"RecodingThenCancel", jsRecoding, {Y, C}, 2, false, true},
                      CancelCase{"RecodingKeepPart", jsRecoding, {Y, N}, 2, true, true},
                      CancelCase{"RecodingDeletePart", jsRecoding, {Y, Y}, 2, true, false},
                      CancelCase{"SuspendedNotReally", jsSuspended, {N}, 1, false, true},
                      CancelCase{"SuspendedThenCancel", jsSuspended, {Y, C}, 2, false, true},
                      CancelCase{"SuspendedKeepPart", jsSuspended, {Y, N}, 2, true, true},
                      CancelCase{"SuspendedDeletePart", jsSuspended, {Y, Y}, 2, true, false}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(J, CancelAfterTheJobEndedWhileTheQuestionWasOpen) {
    WriteWave(root / "in/short.wav", 2000);
    TFormMain& f = Open();
    f.ButtonGo->click();
    messages.Answers = {Y, Y};
    // The second box keeps the event loop running: the job ends meanwhile.
    messages.WhileAsking = [&](int n) {
        if (n == 2) RunUntil([&] { return Stopped(); });
    };
    f.ButtonCancel->click();
    EXPECT_EQ(messages.Boxes().back(),
              "info: The job meanwhile completed ! The target file was NOT deleted !");
    EXPECT_TRUE(fs::exists(root / "out/short.wav2"));
    EXPECT_EQ(Text(f.LabelFilesProcessed), "1");
}

TEST_F(J, StopAfterThisFileWithAndWithoutTheAfterAction) {
    for (const bool action : {true, false}) {
        SCOPED_TRACE(action);
        fs::remove_all(root / "out");
        fs::create_directories(root / "out");
        WriteWave(root / "in/one.wav", 5000);
        WriteWave(root / "in/two.wav", 5000);
        TFormMain& f = Open();
        EXPECT_FALSE(f.CheckBoxAction->isEnabled());
        f.CheckBoxStopAfter->click();
        EXPECT_TRUE(f.CheckBoxAction->isEnabled());
        EXPECT_TRUE(f.CheckBoxAction->isChecked());
        if (!action) f.CheckBoxAction->click();
        f.ButtonGo->click();
        ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
        RunUntil([] { return false; }, 50);
        EXPECT_EQ(Text(f.LabelFilesProcessed), "1");
        int done = 0;
        for (const char* name : {"one", "two"})
            if (fs::exists(root / "out" / (std::string(name) + ".wav2"))) {
                ++done;
                EXPECT_EQ(fs::exists(root / "in" / (std::string(name) + ".wav")), !action);
            }
        EXPECT_EQ(done, 1);
        for (const char* name : {"in/one.wav", "in/two.wav"}) fs::remove(root / name);
    }
}

TEST_F(J, WaitingCountsDownAndSearchesAgainAtZero) {
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", "2C6E03"},
         {"WaitSeconds", "3"}});
    TFormMain& f = Open();
    f.ButtonGo->click();
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Waiting for the next file ... (3)");
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Waiting 3s]");
    EXPECT_TRUE(f.ButtonGo->isEnabled());
    EXPECT_TRUE(f.ButtonCancel->isEnabled());
    f.TimerWaitForFileTimer();
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Waiting for the next file ... (2)");
    EXPECT_EQ(f.windowTitle().toStdString(), "Sonbar  [Waiting 2s]");
    f.TimerWaitForFileTimer();
    WriteWave(root / "in/late.wav", 3000);
    f.TimerWaitForFileTimer();  // zero: a new search finds the file
    EXPECT_EQ(f.Job().JobState(), jsRecoding);
    ASSERT_TRUE(RunUntil([&] { return f.Job().JobState() == jsWaiting; }));
    EXPECT_EQ(Text(f.LabelFilesProcessed), "1");
    EXPECT_EQ(f.GroupBoxJob->title().toStdString(), "Waiting for the next file ... (3)");
    EXPECT_TRUE(fs::exists(root / "out/late.wav2"));
}

TEST_F(J, AFailedJobShowsTheThreadsMessageThenItsOwn) {
    {
        std::ofstream bad(root / "in/bad.wav", std::ios::binary);
        bad << std::string(5000, 'x');
    }
    Settle(root / "in/bad.wav");
    TFormMain& f = Open();
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    const auto boxes = messages.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].rfind("error: ", 0), 0u);
    EXPECT_NE(boxes[0], "error: The current job could not be completed successfully !");
    EXPECT_EQ(boxes[1], "error: The current job could not be completed successfully !");
    EXPECT_EQ(messages.About, std::vector{Path("in/bad.wav")});
    EXPECT_TRUE(fs::exists(root / "in/bad.wav"));
    EXPECT_EQ(Text(f.LabelFilesProcessed), "0");
    EXPECT_FALSE(fs::exists(root / "out/bad.wav2"));
}

// "Prompt what to do" names the target that exists; No treats the source as done.
TEST_F(J, TheTargetPromptNamesTheTarget) {
    WriteWave(root / "in/a.wav", 2000);
    WriteWave(root / "out/a.wav2", 1000);
    TFormMain& f = Open();
    f.Settings().SetOption(RadioOverwrite, false);
    f.Settings().SetOption(RadioSkip, false);
    f.Settings().SetOption(RadioPrompt, true);
    messages.Answers = {N};
    f.ButtonGo->click();
    ASSERT_TRUE(RunUntil([&] { return Stopped(); }));
    ASSERT_EQ(messages.Boxes().size(), 1u);
    EXPECT_EQ(messages.Boxes()[0].rfind("ask3: The current target file already exists !", 0), 0u);
    EXPECT_EQ(messages.About, std::vector{Path("out/a.wav2")});
    EXPECT_FALSE(fs::exists(root / "in/a.wav"));
}

// The desktop's boxes: the program's text first, the file below it as the informative text;
// the answer is the button clicked.
TEST(QtMessages, BoxesNameTheFileBelowTheText) {
    EnsureApplication();
    TQtMessages boxes;
    struct Row {
        const char* name;
        std::function<TAnswer()> open;
        QMessageBox::StandardButton click;
        TAnswer answer;
        const char* text;
        const char* file;
    } rows[] = {
        {"a question about a file",
         [&] { return boxes.AskAbout("/music/a.mp3", "Overwrite it ?", true); }, QMessageBox::No,
         TAnswer::No, "Overwrite it ?", "/music/a.mp3"},
        {"closed with Cancel", [&] { return boxes.AskAbout("/music/a.mp3", "Stop ?", true); },
         QMessageBox::Cancel, TAnswer::Cancel, "Stop ?", "/music/a.mp3"},
        {"a question about nothing", [&] { return boxes.Ask("Stop ?", false); }, QMessageBox::Yes,
         TAnswer::Yes, "Stop ?", ""},
        {"an error about a file",
         [&] {
             boxes.ShowErrorAbout("/music/b.wav", "It failed !");
             return TAnswer::Yes;
         },
         QMessageBox::Ok, TAnswer::Yes, "It failed !", "/music/b.wav"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string text, file;
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            timer.stop();
            text = box->text().toStdString();
            file = box->informativeText().toStdString();
            box->button(r.click)->click();
        });
        timer.start();
        EXPECT_EQ(r.open(), r.answer);
        EXPECT_EQ(text, r.text);
        EXPECT_EQ(file, r.file);
    }
}

TEST_F(J, ClosingWhileRecodingAsksFirstAndSavesTheLists) {
    Ini({{"SourceDirs", Dir("in")},
         {"TargetDirs", Dir("out")},
         {"TargetExts", "wav2"},
         {"SavedDataFields", "2C6E02"},
         {"CopyBufferSize", "4"}});
    WriteWave(root / "in/long.wav", 8'000'000);
    TFormMain& f = Open();
    f.ButtonGo->click();
    f.ButtonSuspend->click();
    messages.Answers = {N};
    EXPECT_FALSE(f.close());
    EXPECT_EQ(f.Job().JobState(), jsSuspended);
    messages.Answers = {Y, Y};
    f.Settings().TargetDirs.push_back(Dir("out2"));
    EXPECT_TRUE(f.close());
    EXPECT_EQ(f.Job().JobState(), jsStopped);
    EXPECT_FALSE(fs::exists(root / "out/long.wav2.part"));
    const std::string ini = ReadAll(root / "config/Sonbar.ini");
    EXPECT_NE(ini.find("TargetDirs=" + Dir("out") + ";" + Dir("out2")), std::string::npos) << ini;
    EXPECT_NE(ini.find("[Window]"), std::string::npos);
}

}  // namespace
}  // namespace guitest
