// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobpanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "guiseams.h"
#include "labels.h"

namespace {
// Rows the list of running jobs shows without scrolling; the list keeps this height whatever
// the number of jobs, so that the window does not jump as jobs start and end.
constexpr int kJobRows = 4;

QTreeWidget* JobList(const QFont& Font) {
    auto* list = new QTreeWidget;
    list->setObjectName("ListViewJobs");
    list->setFont(Font);
    list->setHeaderLabels({"Source file", "Target file", "%"});
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setFocusPolicy(Qt::NoFocus);
    list->setTextElideMode(Qt::ElideMiddle);  // the file's name stays in sight
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QHeaderView* header = list->header();
    header->setSectionsClickable(false);
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Fixed);
    list->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    const QFontMetrics metrics(Font);
    header->resizeSection(2, metrics.horizontalAdvance("100%") + 4 * metrics.averageCharWidth());
    const int row = metrics.height() + 6;
    list->setFixedHeight(header->sizeHint().height() + kJobRows * row + 2 * list->frameWidth());
    list->hide();
    return list;
}
}  // namespace

TPathLabel::TPathLabel() {
    // As wide as the layout makes it, never wider for a long path.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void TPathLabel::SetPath(const QString& Path) {
    setText(Path);
    setToolTip(Path);
    update();
}

QString TPathLabel::ShownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

void TPathLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), palette(),
                          isEnabled(), ShownText(), foregroundRole());
}

TJobPanel::TJobPanel(QWidget* Parent) : QGroupBox("Stopped", Parent) {
    setObjectName("GroupBoxJob");
    QFont bold = font();
    bold.setBold(true);
    setFont(bold);
    QFont normal = font();
    normal.setBold(false);  // set explicitly, so that it is not inherited from the group

    auto timeValue = [](const char* name) {
        QLabel* label = Value(name, "00:00:00");
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        return label;
    };
    LabelTime = timeValue("LabelTime");
    LabelRemainingTime = timeValue("LabelRemainingTime");
    LabelTotalTime = timeValue("LabelTotalTime");
    LabelPercent = Value("LabelPercent", "0%");
    LabelSourceFile = new TPathLabel;
    LabelSourceFile->setObjectName("LabelSourceFile");
    LabelTargetFile = new TPathLabel;
    LabelTargetFile->setObjectName("LabelTargetFile");
    LabelBytesPerSec = Value("LabelBytesPerSec", "0");
    LabelFilesProcessed = Value("LabelFilesProcessed", "0");
    LabelFileCount = Value("LabelFileCount");
    LabelBatchRemaining = timeValue("LabelBatchRemaining");
    captionBatchRemaining_ = Caption("Batch remaining:");
    ProgressBar = new QProgressBar;
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setTextVisible(false);
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);
    ListViewJobs = JobList(normal);

    ButtonGo = new QPushButton("&Go!");
    ButtonGo->setObjectName("ButtonGo");
    QFont large = normal;
    large.setBold(true);
    large.setPointSizeF(normal.pointSizeF() * 1.4);
    ButtonGo->setFont(large);
    ButtonCancel = new QPushButton("&Cancel");
    ButtonCancel->setObjectName("ButtonCancel");
    ButtonSuspend = new QPushButton("&Suspend");
    ButtonSuspend->setObjectName("ButtonSuspend");
    ButtonResume = new QPushButton("&Resume");
    ButtonResume->setObjectName("ButtonResume");
    CheckBoxStopAfter = new QCheckBox("S&top after finishing this file");
    CheckBoxStopAfter->setObjectName("CheckBoxStopAfter");
    CheckBoxAction = new QCheckBox("Delete source file");
    CheckBoxAction->setObjectName("CheckBoxAction");
    CheckBoxAction->setChecked(true);
    CheckBoxAction->setEnabled(false);
    connect(CheckBoxStopAfter, &QCheckBox::toggled, CheckBoxAction, &QWidget::setEnabled);

    auto* times = new QGridLayout;
    int column = 0;
    for (auto [caption, value] :
         {std::pair{"Time:", LabelTime}, std::pair{"Remaining:", LabelRemainingTime},
          std::pair{"Total:", LabelTotalTime}}) {
        times->addWidget(Caption(caption), 0, column++);
        times->addWidget(value, 0, column++);
    }
    times->setColumnStretch(column++, 1);
    times->addWidget(LabelFileCount, 0, column++);
    times->addWidget(captionBatchRemaining_, 0, column++);
    times->addWidget(LabelBatchRemaining, 0, column++);
    ShowBatchCount({}, {});
    auto* files = new QGridLayout;
    captionSource_ = Caption("Source file:");
    captionTarget_ = Caption("Target file:");
    // Row 0 holds the running jobs in place of the two rows below it.
    files->addWidget(ListViewJobs, 0, 0, 1, 4);
    files->addWidget(captionSource_, 1, 0);
    files->addWidget(LabelSourceFile, 1, 1, 1, 3);
    files->addWidget(captionTarget_, 2, 0);
    files->addWidget(LabelTargetFile, 2, 1, 1, 3);
    files->addWidget(Caption("Bytes/sec:"), 3, 0);
    files->addWidget(LabelBytesPerSec, 3, 1);
    files->addWidget(Caption("Files processed successfully:"), 3, 2, Qt::AlignRight);
    files->addWidget(LabelFilesProcessed, 3, 3);
    files->setColumnStretch(1, 1);
    files->setColumnStretch(3, 1);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {ButtonGo, ButtonCancel, ButtonSuspend, ButtonResume}) {
        b->setMinimumWidth(static_cast<int>(75 * FontFactor(this)));
        buttons->addWidget(b);
    }
    buttons->addSpacing(12);
    auto* checks = new QVBoxLayout;
    checks->addWidget(CheckBoxStopAfter);
    checks->addWidget(CheckBoxAction);
    buttons->addLayout(checks);
    buttons->addStretch();

    auto* inner = new QWidget;  // the group's contents in the normal font
    inner->setFont(normal);
    auto* innerLayout = new QVBoxLayout(inner);
    innerLayout->setContentsMargins(0, 0, 0, 0);
    innerLayout->addLayout(times);
    innerLayout->addLayout(files);
    innerLayout->addWidget(ProgressBar);
    innerLayout->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(inner);
    LabelPercent->setParent(this);
    LabelPercent->setFont(normal);
    LabelPercent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    PlaceOnFrame(this, LabelPercent, true);
}

void TJobPanel::ShowState(TJobState State, const std::string& Caption, const std::string& Source,
                          const std::string& Target, int64_t FilesProcessed) {
    for (QLabel* label : findChildren<QLabel*>()) label->setEnabled(State == jsRecoding);
    ListViewJobs->setEnabled(State == jsRecoding);
    LabelPercent->setVisible(State == jsRecoding || State == jsSuspended);
    ButtonGo->setEnabled(State == jsStopped || State == jsWaiting);
    ButtonCancel->setEnabled(State != jsStopped);
    ButtonSuspend->setEnabled(State == jsRecoding);
    ButtonResume->setEnabled(State == jsSuspended);
    LabelSourceFile->SetPath(QString::fromStdString(Source));
    LabelTargetFile->SetPath(QString::fromStdString(Target));
    setTitle(QString::fromStdString(Caption));
    LabelFilesProcessed->setText(QString::number(FilesProcessed));
}

void TJobPanel::Reset() {
    LabelPercent->setText("0%");
    ProgressBar->setValue(0);
    for (QLabel* label : {LabelTime, LabelRemainingTime, LabelTotalTime})
        label->setText("00:00:00");
    LabelBytesPerSec->setText("0");
}

void TJobPanel::ShowBatchCount(const std::string& FileText, const std::string& Remaining) {
    LabelFileCount->setText(QString::fromStdString(FileText));
    LabelBatchRemaining->setText(
        QString::fromStdString(Remaining.empty() ? "--:--:--" : Remaining));
    for (QLabel* label : {LabelFileCount, captionBatchRemaining_, LabelBatchRemaining})
        label->setVisible(!FileText.empty());
}

void TJobPanel::SetProgressMax(int64_t SourceSize) {
    // A 32-bit bar: sizes beyond it are shown in coarser steps.
    progressShift_ = 0;
    while ((SourceSize >> progressShift_) > std::numeric_limits<int>::max()) ++progressShift_;
    ProgressBar->setRange(0, std::max(1, static_cast<int>(SourceSize >> progressShift_)));
    progressMax_ = SourceSize;
}

void TJobPanel::ClearProgress() {
    progressShift_ = 0;
    ProgressBar->setRange(0, 1);
    ProgressBar->setValue(0);
}

void TJobPanel::UpdateProgress(const TProgressFigures& Figures) {
    if (Figures.SourceSize != progressMax_) SetProgressMax(Figures.SourceSize);
    if (Figures.HasPercent) {
        LabelPercent->setText(QString::fromStdString(Figures.PercentText));
        ProgressBar->setValue(
            static_cast<int>(std::min(Figures.BytesRead, Figures.SourceSize) >> progressShift_));
    }
    LabelTime->setText(QString::fromStdString(Figures.Time));
    if (Figures.HasRates) {
        LabelRemainingTime->setText(QString::fromStdString(Figures.RemainingTime));
        LabelTotalTime->setText(QString::fromStdString(Figures.TotalTime));
        LabelBytesPerSec->setText(QString::fromStdString(Figures.BytesPerSec));
    }
}

void TJobPanel::ShowFileLabels(bool Visible) {
    for (QLabel* label : std::initializer_list<QLabel*>{captionSource_, LabelSourceFile,
                                                        captionTarget_, LabelTargetFile})
        label->setVisible(Visible);
    ListViewJobs->setVisible(!Visible);
}

void TJobPanel::ShowRunningJobs(const std::vector<TRunningJobView>& Jobs) {
    if (Jobs.size() < 2) {
        ShowFileLabels(true);
        ListViewJobs->clear();
        if (Jobs.size() == 1) {
            LabelSourceFile->SetPath(QString::fromStdString(Jobs[0].Source));
            LabelTargetFile->SetPath(QString::fromStdString(Jobs[0].Target));
        }
        return;
    }
    // The rows are kept and rewritten, so that a list shown many times a second does not
    // flicker or lose its scroll position.
    const int count = static_cast<int>(Jobs.size());
    while (ListViewJobs->topLevelItemCount() > count)
        delete ListViewJobs->takeTopLevelItem(ListViewJobs->topLevelItemCount() - 1);
    while (ListViewJobs->topLevelItemCount() < count) {
        auto* item = new QTreeWidgetItem(ListViewJobs);
        item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    }
    for (int i = 0; i < count; ++i) {
        const TRunningJobView& job = Jobs[static_cast<std::size_t>(i)];
        QTreeWidgetItem* item = ListViewJobs->topLevelItem(i);
        const QString source = QString::fromStdString(job.Source);
        const QString target = QString::fromStdString(job.Target);
        item->setText(0, source);
        item->setToolTip(0, source);
        item->setText(1, target);
        item->setToolTip(1, target);
        item->setText(2, QString::number(std::clamp(job.Percent, 0, 100)) + "%");
    }
    ShowFileLabels(false);
}
