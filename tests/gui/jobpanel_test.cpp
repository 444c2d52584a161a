// SPDX-License-Identifier: GPL-3.0-or-later
// The job panel: its list of running jobs (shown for two jobs or more, in place of the single
// job's labels, without changing the panel's height as jobs come and go), the paths elided in
// the middle, and the batch's "File n of m" with its remaining time.
#include "jobpanel.h"

#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <set>

#include "batchcount.h"
#include "batchfiles.h"
#include "harness.h"

namespace guitest {
namespace {

using R = GuiTest;

std::vector<TRunningJobView> Jobs(int Count) {
    std::vector<TRunningJobView> jobs;
    const char* names[] = {"Concert in the park", "Harbour bells", "Rain on the roof", "Tram stop"};
    for (int i = 0; i < Count; ++i) {
        const std::string name = names[i % 4];
        jobs.push_back({"/home/ada/music/incoming/" + name + ".wav",
                        "/home/ada/music/mp3/" + name + ".mp3", 100 - 33 * i});
    }
    return jobs;
}

TEST_F(R, SeveralRunningJobsAreListedInPlaceOfTheFileLabels) {
    TFormMain& f = Open();
    ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
    TJobPanel& panel = *f.JobPanel;
    QTreeWidget& list = *panel.ListViewJobs;
    // The figures of a batch under way, as the job control shows them.
    panel.ShowState(jsRecoding, "Recoding ...", "", "", 7);
    TProgressFigures figures;
    figures.SourceSize = 3000000, figures.BytesRead = 1250000, figures.HasPercent = true;
    figures.PercentText = "41%", figures.Time = "00:01:05", figures.HasRates = true;
    figures.RemainingTime = "00:01:31", figures.TotalTime = "00:02:36";
    figures.BytesPerSec = "19,230";
    panel.UpdateProgress(figures);
    // The panel's height once the layouts have taken the shown and hidden rows in.
    auto settle = [&] {
        for (int i = 0; i < 4; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        return panel.height();
    };
    const int single = settle();

    struct Step {
        const char* name;
        int jobs;
        bool listed;
    };
    const Step steps[] = {{"None", 0, false}, {"Two", 2, true},       {"Three", 3, true},
                          {"Four", 4, true},  {"Two again", 2, true}, {"One", 1, false}};
    int listedHeight = -1;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        panel.ShowRunningJobs(Jobs(s.jobs));
        EXPECT_EQ(list.isVisibleTo(&f), s.listed);
        EXPECT_EQ(f.LabelSourceFile->isVisibleTo(&f), !s.listed);
        EXPECT_EQ(f.LabelTargetFile->isVisibleTo(&f), !s.listed);
        const int height = settle();
        if (!s.listed) {
            EXPECT_EQ(height, single);
            continue;
        }
        if (listedHeight < 0) listedHeight = height;
        EXPECT_EQ(height, listedHeight) << "the panel keeps its height as jobs come and go";
        ASSERT_EQ(list.topLevelItemCount(), s.jobs);
        const auto jobs = Jobs(s.jobs);
        for (int i = 0; i < s.jobs; ++i) {
            const QTreeWidgetItem* item = list.topLevelItem(i);
            EXPECT_EQ(item->text(0).toStdString(), jobs[i].Source);
            EXPECT_EQ(item->text(1).toStdString(), jobs[i].Target);
            EXPECT_EQ(item->text(2).toStdString(), std::to_string(jobs[i].Percent) + "%");
        }
        // The columns fill the list and the percentages are never cut.
        const QHeaderView* header = list.header();
        EXPECT_GE(header->sectionSize(2), list.fontMetrics().horizontalAdvance("100%"));
        EXPECT_LE(std::abs(header->sectionSize(0) - header->sectionSize(1)), 1);
        EXPECT_LE(header->length(), list.viewport()->width());
        EXPECT_GE(header->length(), list.viewport()->width() - 2);
        // Every row of up to four jobs is in sight.
        EXPECT_LE(list.visualItemRect(list.topLevelItem(s.jobs - 1)).bottom(),
                  list.viewport()->height());
        if (s.jobs == 3 && qEnvironmentVariableIsSet("SONBAR_SCREENSHOT")) {
            // Set by the screenshot script: the window as it stands, for a person to look at.
            RunUntil([] { return false; }, 300);
            f.grab().save(qEnvironmentVariable("SONBAR_SCREENSHOT"));
        }
    }
    // One job: its files in the labels again.
    EXPECT_EQ(f.LabelSourceFile->text().toStdString(), Jobs(1)[0].Source);
    EXPECT_EQ(f.LabelTargetFile->text().toStdString(), Jobs(1)[0].Target);
}

// A long path keeps its start and its file name, the middle elided, whatever the width; the
// whole path is the tool tip, and all of it shows where there is room.
TEST_F(R, LongPathsAreElidedInTheMiddle) {
    TFormMain& f = Open();
    ASSERT_TRUE(RunUntil([&] { return f.Started(); }));
    std::string folders = "/home/ada";
    for (int i = 0; i < 12; ++i) folders += "/a rather long folder name " + std::to_string(i);
    const std::string source = folders + "/Concert in the park.wav";
    const std::string target = folders + "/Concert in the park.mp3";
    f.JobPanel->ShowState(jsRecoding, "Recoding ...", source, target, 0);
    const auto resize = [&](int Width) {
        f.resize(Width, f.height());
        for (int i = 0; i < 4; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    };
    for (const int width : {f.minimumWidth(), f.minimumWidth() + 200, 6000}) {
        SCOPED_TRACE(width);
        resize(width);
        for (const auto& [label, path] : {std::pair{f.JobPanel->LabelSourceFile, source},
                                          std::pair{f.JobPanel->LabelTargetFile, target}}) {
            EXPECT_EQ(label->text().toStdString(), path);
            EXPECT_EQ(label->toolTip().toStdString(), path);
            const QString shown = label->ShownText();
            EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->contentsRect().width());
            if (width == 6000) {
                EXPECT_EQ(shown.toStdString(), path);
                continue;
            }
            EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
            EXPECT_TRUE(shown.startsWith("/home/ada/")) << shown.toStdString();
            EXPECT_TRUE(shown.endsWith(QString::fromStdString(path.substr(path.size() - 24))))
                << shown.toStdString();
        }
    }
}

// "File n of m": m counts the files found when the batch started and grows as more come;
// the remaining time goes by the bytes still to read at the rate so far.
TEST(BatchCount, FilesAndRemainingTime) {
    TBatchCount count;
    EXPECT_FALSE(count.Known());
    count.Start(1000);
    count.Found({3, 3000});
    struct Step {
        const char* name;
        std::function<void()> act;
        int running;
        int64_t read;
        int32_t now;
        const char* file;
        const char* remaining;
    };
    const Step steps[] = {
        {"the first file", [] {}, 1, 0, 1000, "File 1 of 3", ""},
        {"too soon to tell", [] {}, 1, 500, 1500, "File 1 of 3", ""},
        {"a sixth read in ten seconds", [] {}, 1, 500, 11000, "File 1 of 3", "00:00:50"},
        {"the first ended", [&] { count.Ended(1000); }, 1, 0, 11000, "File 2 of 3", "00:00:20"},
        {"a count after waiting, fewer left",
         [&] {
             count.Found({1, 1000});
         },
         1, 0, 11000, "File 2 of 3", "00:00:20"},
        {"two more arrived",
         [&] {
             count.Found({4, 4000});
         },
         1, 0, 11000, "File 2 of 5", "00:00:40"},
        {"two running", [] {}, 2, 1000, 21000, "File 3 of 5", "00:00:30"},
        {"more ended than counted",
         [&] {
             for (int i = 0; i < 5; ++i) count.Ended(0);
         },
         1, 0, 21000, "File 7 of 7", "00:01:20"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.act();
        EXPECT_TRUE(count.Known());
        EXPECT_EQ(count.FileText(s.running), s.file);
        EXPECT_EQ(count.RemainingText(s.read, s.now), s.remaining);
    }
    // A batch that goes past midnight.
    count.Start(24 * 3600 * 1000 - 5000);
    count.Found({2, 2000});
    EXPECT_EQ(count.RemainingText(1000, 5000), "00:00:10");
}

// In the window, with one job and with two: every file of the three found at Go is counted,
// and the label goes when the batch has ended.
TEST_F(R, TheJobPanelShowsFileNOfM) {
    for (const int jobs : {1, 2}) {
        SCOPED_TRACE(jobs);
        // The last file found is long, so that "File 3 of 3" shows for many turns of the
        // window, however loaded the machine.
        for (const char* name : {"a.wav", "b.wav"}) WriteWave(root / "in" / name, 300000);
        WriteWave(root / "in/sub/c.wav", 4'000'000);
        {
            std::ofstream out(root / "config/Sonbar.ini", std::ios::app);
            out << "Jobs=" << jobs << "\nCopyBufferSize=4\n";
        }
        TFormMain& f = Open();
        QLabel& label = *f.JobPanel->LabelFileCount;
        f.ButtonGo->click();
        std::set<std::string> seen, remaining;
        ASSERT_TRUE(RunUntil(
            [&] {
                clock.Now += 1000;
                if (label.isVisibleTo(&f)) seen.insert(label.text().toStdString());
                remaining.insert(f.JobPanel->LabelBatchRemaining->text().toStdString());
                return Stopped();
            },
            180000));  // a bound for a loaded machine, not a time the test relies on
        EXPECT_TRUE(messages.Boxes().empty());
        EXPECT_EQ(f.ListViewFiles->topLevelItemCount(), 3);
        EXPECT_TRUE(seen.count("File 3 of 3")) << testing::PrintToString(seen);
        for (const std::string& text : seen)
            EXPECT_TRUE(QRegularExpression("^File [123] of 3$")
                            .match(QString::fromStdString(text))
                            .hasMatch())
                << text;
        // Whether a time shows at all depends on how many turns the batch takes on this
        // machine (the arithmetic is tested above): what shows is a time, or none yet.
        for (const std::string& text : remaining)
            EXPECT_TRUE(text.empty() || QRegularExpression("^(\\d\\d:\\d\\d:\\d\\d|--:--:--)$")
                                            .match(QString::fromStdString(text))
                                            .hasMatch())
                << text;
        EXPECT_FALSE(label.isVisibleTo(&f));
        form.reset();
        fs::remove_all(root / "out");
        fs::create_directories(root / "out");
        Ini({{"SourceDirs", Dir("in")},
             {"TargetDirs", Dir("out")},
             {"TargetExts", "wav2"},
             {"SavedDataFields", "2C6E02"}});
    }
}

}  // namespace
}  // namespace guitest
