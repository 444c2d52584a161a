// SPDX-License-Identifier: GPL-3.0-or-later
// How the main window is put together: the menu, the directory lists, the settings summary,
// the priority and the job panel, and the wiring of their controls to the window.
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "FMain.h"
#include "batch.h"
#include "dirlisteditor.h"
#include "jobpanel.h"
#include "labels.h"

namespace {
QLabel* LinkValue(const char* Name, bool Bold) {
    QLabel* label = Value(Name);
    // The palette's link colour: readable in light and dark themes alike.
    label->setForegroundRole(QPalette::Link);
    if (Bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    // Long texts are cut at the group's edge instead of widening the window.
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    return label;
}
}  // namespace

void TFormMain::BuildMenu() {
    QMenu* file = menuBar()->addMenu("&File");
    MenuItemExit = file->addAction("E&xit");
    MenuItemPreferences = menuBar()->addAction("&Preferences");
    QMenu* help = menuBar()->addMenu("&Help");
    MenuItemReadme = help->addAction("&View Readme.txt");
    MenuItemAbout = help->addAction("&About");
    connect(MenuItemExit, &QAction::triggered, this, &QWidget::close);
    connect(MenuItemPreferences, &QAction::triggered, this, &TFormMain::MenuItemPreferencesClick);
    connect(MenuItemReadme, &QAction::triggered, this, &TFormMain::MenuItemHelpClick);
    connect(MenuItemAbout, &QAction::triggered, this, &TFormMain::MenuItemAboutClick);
}

QWidget* TFormMain::BuildDirLists() {
    GroupBoxDirLists = new QGroupBox("Directories");
    GroupBoxDirLists->setObjectName("GroupBoxDirLists");
    GroupBoxDirLists->setMinimumWidth(static_cast<int>(465 * FontFactor(this)));
    // Each side has mnemonics of its own: Alt+A and Alt+M for the sources, Alt+D and Alt+V
    // for the targets.
    SourceDirsEditor =
        new TDirListEditor(false,
                           {"ListViewSourceDirs", "ButtonAddSourceDir", "ButtonUpSourceDir",
                            "ButtonDownSourceDir", "ButtonDelSourceDir"},
                           "&Add", "Re&move", settings_.SourceDirs, *messages_, *chooser_, *ini_);
    TargetDirsEditor =
        new TDirListEditor(true,
                           {"ListViewTargetDirs", "ButtonAddTargetDir", "ButtonUpTargetDir",
                            "ButtonDownTargetDir", "ButtonDelTargetDir"},
                           "A&dd", "Remo&ve", settings_.TargetDirs, *messages_, *chooser_, *ini_);
    auto* layout = new QVBoxLayout(GroupBoxDirLists);
    const int rows = static_cast<int>(60 * FontFactor(this));
    for (TDirListEditor* editor : {SourceDirsEditor, TargetDirsEditor}) {
        editor->List->setMinimumHeight(rows);
        editor->StartingUp = [this] { return job_->StartingUp; };
        const bool source = editor == SourceDirsEditor;
        editor->DialogSetup = [this, source] {
            settings_.CheckSourceExtensions();
            settings_.CheckTargetExtension();
            const std::string sourceLabel = SourceExtensionsSummary(settings_);
            return PrepareOpenDialog(source ? TOpenKind::SourceDir : TOpenKind::TargetDir,
                                     sourceLabel == "(?)" ? "" : sourceLabel,
                                     settings_.TargetExtension());
        };
        layout->addWidget(editor, 1);
    }
    TargetDirsEditor->FreeSpace = [this]() -> const std::vector<int64_t>& {
        return job_->TargetFreeSpace();
    };
    TargetDirsEditor->Reordered = [this] { job_->RefreshTargetDirs(); };
    TargetDirsEditor->Added = [this] { RefreshTargetDirs(); };

    ListViewSourceDirs = SourceDirsEditor->List;
    ButtonAddSourceDir = SourceDirsEditor->ButtonAdd;
    ButtonUpSourceDir = SourceDirsEditor->ButtonUp;
    ButtonDownSourceDir = SourceDirsEditor->ButtonDown;
    ButtonDelSourceDir = SourceDirsEditor->ButtonDel;
    ListViewTargetDirs = TargetDirsEditor->List;
    ButtonAddTargetDir = TargetDirsEditor->ButtonAdd;
    ButtonUpTargetDir = TargetDirsEditor->ButtonUp;
    ButtonDownTargetDir = TargetDirsEditor->ButtonDown;
    ButtonDelTargetDir = TargetDirsEditor->ButtonDel;
    return GroupBoxDirLists;
}

QWidget* TFormMain::BuildSettings() {
    GroupBoxSettings = new QGroupBox("Settings");
    GroupBoxSettings->setObjectName("GroupBoxSettings");
    GroupBoxSettings->setMinimumWidth(static_cast<int>(265 * FontFactor(this)));
    LabelSourceExt = LinkValue("LabelSourceExt", false);
    LabelTargetExt = LinkValue("LabelTargetExt", false);
    LabelFTag = LinkValue("LabelFTag", true);
    LabelFAttributes = LinkValue("LabelFAttributes", true);
    LabelFormatQuality = LinkValue("LabelFormatQuality", false);
    LabelMode = LinkValue("LabelMode", false);
    LabelAfter = LinkValue("LabelAfter", false);
    LabelAlready = LinkValue("LabelAlready", false);
    // Short texts of their own: the group makes room for the longest.
    for (QLabel* label : {LabelMode, LabelAfter, LabelAlready})
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    int already = 0;
    for (const char* text : {"Overwrite it", "Skip source file (!)", "Prompt what to do"})
        already = std::max(already, LabelAlready->fontMetrics().horizontalAdvance(text));
    // Room for the widest, with the label's own margin.
    LabelAlready->setMinimumWidth(already + LabelAlready->fontMetrics().horizontalAdvance(' '));
    auto* convert = new QHBoxLayout;
    // One line of text: "Convert all *.wav;*.aif to *.mp3", not two spread columns.
    convert->setSpacing(0);
    // Each as wide as its text; a long list of extensions is cut at the group's width.
    for (QLabel* label : {LabelSourceExt, LabelTargetExt})
        label->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    LabelSourceExt->setMaximumWidth(LabelSourceExt->fontMetrics().horizontalAdvance("W") * 14);
    LabelTargetExt->setMaximumWidth(LabelTargetExt->fontMetrics().horizontalAdvance("W") * 6);
    convert->addWidget(Caption("Convert all "));
    convert->addWidget(LabelSourceExt);
    convert->addWidget(Caption(" to "));
    convert->addWidget(LabelTargetExt);
    convert->addStretch(1);
    auto* grid = new QGridLayout(GroupBoxSettings);
    grid->setVerticalSpacing(5);
    grid->addLayout(convert, 0, 0, 1, 2);
    grid->addWidget(LabelFTag, 1, 0, 1, 2);
    grid->addWidget(LabelFAttributes, 2, 0, 1, 2);
    grid->addWidget(LabelFormatQuality, 3, 0, 1, 2);
    grid->addWidget(Caption("Directory mode:"), 4, 0);
    grid->addWidget(LabelMode, 4, 1);
    grid->addWidget(Caption("Complete source files are:"), 5, 0);
    grid->addWidget(LabelAfter, 5, 1);
    grid->addWidget(Caption("If target file exists:"), 6, 0);
    grid->addWidget(LabelAlready, 6, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(7, 1);
    // Never narrower than its captions and values: a wider font (a desktop theme's) widens
    // the group instead of cutting "Complete source files are:".
    GroupBoxSettings->setMinimumWidth(
        std::max(GroupBoxSettings->minimumWidth(), GroupBoxSettings->minimumSizeHint().width()));
    return GroupBoxSettings;
}

QWidget* TFormMain::BuildPriority() {
    auto* box = new QGroupBox("Recoding priority");
    box->setObjectName("GroupBox3");
    TrackBarPriority = new QSlider(Qt::Horizontal);
    TrackBarPriority->setObjectName("TrackBarPriority");
    TrackBarPriority->setToolTip("Recoding priority, from Low (left) to High (right)");
    TrackBarPriority->setRange(0, 6);
    TrackBarPriority->setPageStep(1);
    TrackBarPriority->setTickPosition(QSlider::TicksBothSides);
    TrackBarPriority->setTickInterval(1);
    auto* row = new QHBoxLayout(box);
    row->addWidget(Caption("Low"));
    row->addWidget(TrackBarPriority, 1);
    row->addWidget(Caption("High"));
    connect(TrackBarPriority, &QSlider::valueChanged, this, [this](int position) {
        job_->TrackBarPriorityChange(position);
        if (batch_)
            batch_->Runner().ForEachControl(
                [position](TJobControl& Control) { Control.TrackBarPriorityChange(position); });
    });
    return box;
}

QWidget* TFormMain::BuildJob() {
    JobPanel = new TJobPanel;
    GroupBoxJob = JobPanel;
    LabelTime = JobPanel->LabelTime;
    LabelRemainingTime = JobPanel->LabelRemainingTime;
    LabelTotalTime = JobPanel->LabelTotalTime;
    LabelPercent = JobPanel->LabelPercent;
    LabelSourceFile = JobPanel->LabelSourceFile;
    LabelTargetFile = JobPanel->LabelTargetFile;
    LabelBytesPerSec = JobPanel->LabelBytesPerSec;
    LabelFilesProcessed = JobPanel->LabelFilesProcessed;
    ProgressBar = JobPanel->ProgressBar;
    ButtonGo = JobPanel->ButtonGo;
    ButtonCancel = JobPanel->ButtonCancel;
    ButtonSuspend = JobPanel->ButtonSuspend;
    ButtonResume = JobPanel->ButtonResume;
    CheckBoxStopAfter = JobPanel->CheckBoxStopAfter;
    CheckBoxAction = JobPanel->CheckBoxAction;

    connect(ButtonGo, &QPushButton::clicked, this, &TFormMain::ButtonGoClick);
    // With several jobs the buttons act on the batch, and through it on every job.
    connect(ButtonCancel, &QPushButton::clicked, this, [this] {
        if (batch_)
            BatchCancel();
        else
            job_->ButtonCancelClick();
    });
    connect(ButtonSuspend, &QPushButton::clicked, this, [this] {
        if (batch_)
            BatchSuspend();
        else
            job_->ButtonSuspendClick();
    });
    connect(ButtonResume, &QPushButton::clicked, this, [this] {
        if (batch_)
            BatchResume();
        else
            job_->ButtonResumeClick();
    });
    const auto checks = [this] {
        job_->CheckBoxStopAfter = CheckBoxStopAfter->isChecked();
        job_->CheckBoxAction = CheckBoxAction->isChecked();
        if (!batch_) return;
        batch_->SetStopAfter(CheckBoxStopAfter->isChecked());
        batch_->Runner().ForEachControl([this](TJobControl& Control) {
            Control.CheckBoxStopAfter = CheckBoxStopAfter->isChecked();
            Control.CheckBoxAction = CheckBoxAction->isChecked();
        });
    };
    connect(CheckBoxStopAfter, &QCheckBox::toggled, this, checks);
    connect(CheckBoxAction, &QCheckBox::toggled, this, checks);
    return JobPanel;
}
