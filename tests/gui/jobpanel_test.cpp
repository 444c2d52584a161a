// SPDX-License-Identifier: GPL-3.0-or-later
// The job panel's list of running jobs: shown for two jobs or more, in place of the single
// job's labels, without changing the panel's height as jobs come and go.
#include "jobpanel.h"

#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QTreeWidget>

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

}  // namespace
}  // namespace guitest
