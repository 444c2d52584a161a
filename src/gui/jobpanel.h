// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's job group: the figures of the running job (or the sum over the running
// jobs), the files it works on, the progress bar and the buttons that start and stop it.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <cstdint>
#include <string>
#include <vector>

#include "jobcontrol.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// A path in one line: elided in the middle where it does not fit, so that both the folder's
// start and the file's name stay in sight; the full path is the tool tip. text() keeps the
// full path.
class TPathLabel : public QLabel {
  public:
    TPathLabel();
    void SetPath(const QString& Path);
    // What the label shows at its width now.
    QString ShownText() const;

  protected:
    void paintEvent(QPaintEvent* Event) override;
};

// One running job as the panel lists it.
struct TRunningJobView {
    std::string Source, Target;
    int Percent = 0;
};

class TJobPanel : public QGroupBox {
    Q_OBJECT
  public:
    explicit TJobPanel(QWidget* Parent = nullptr);

    QLabel* LabelTime;
    QLabel* LabelRemainingTime;
    QLabel* LabelTotalTime;
    QLabel* LabelPercent;
    TPathLabel* LabelSourceFile;
    TPathLabel* LabelTargetFile;
    QLabel* LabelBytesPerSec;
    QLabel* LabelFilesProcessed;
    // "File n of m" and the whole batch's remaining time, where the batch knows m.
    QLabel* LabelFileCount;
    QLabel* LabelBatchRemaining;
    QProgressBar* ProgressBar;
    QPushButton* ButtonGo;
    QPushButton* ButtonCancel;
    QPushButton* ButtonSuspend;
    QPushButton* ButtonResume;
    QCheckBox* CheckBoxStopAfter;
    QCheckBox* CheckBoxAction;
    // The running jobs, when there are two or more; hidden otherwise.
    QTreeWidget* ListViewJobs;

    // The state's enabled controls, caption and labels (the figures stay: see Reset).
    void ShowState(TJobState State, const std::string& Caption, const std::string& Source,
                   const std::string& Target, int64_t FilesProcessed);
    // Figures back to zero.
    void Reset();
    // The bar's range for a source (or for the sum of the running jobs' sources) of this size.
    void SetProgressMax(int64_t SourceSize);
    void UpdateProgress(const TProgressFigures& Figures);
    // "File n of m" and the batch's remaining time ("" while unknown); an empty FileText
    // hides both.
    void ShowBatchCount(const std::string& FileText, const std::string& Remaining);
    // An empty bar for a new job.
    void ClearProgress();
    // Two or more jobs: one row each in place of the source and target labels; one job:
    // the labels; none: the labels as they are.
    void ShowRunningJobs(const std::vector<TRunningJobView>& Jobs);

  private:
    void ShowFileLabels(bool Visible);

    QLabel* captionSource_;
    QLabel* captionBatchRemaining_;
    QLabel* captionTarget_;
    int progressShift_ = 0;
    int64_t progressMax_ = -1;
};
