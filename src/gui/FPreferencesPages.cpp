// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences dialog's two pages and their groups.
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>

#include "FPreferences.h"

namespace {
QLabel* ValueLabel(QWidget* Parent, const char* Name) {
    auto* label = new QLabel(Parent);
    label->setObjectName(Name);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    // The palette's link colour: readable in light and dark themes alike.
    label->setForegroundRole(QPalette::Link);
    return label;
}

QPushButton* BrowseButton(QWidget* Parent, const char* Name) {
    auto* button = new QPushButton(Parent);
    button->setObjectName(Name);
    button->setIcon(Parent->style()->standardIcon(QStyle::SP_DirOpenIcon));
    button->setToolTip("Browse");
    return button;
}
}  // namespace

QWidget* TFormPreferences::BuildFilesTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheetFiles");

    auto* already = new QGroupBox("What to do if target file already exists");
    already->setObjectName("GroupBoxAlready");
    auto* alreadyLayout = new QVBoxLayout(already);
    alreadyLayout->addWidget(Radio(RadioOverwrite, "Overwrite target file", "RadioOverwrite"));
    alreadyLayout->addWidget(
        Radio(RadioSkip, "Treat source file like already processed", "RadioSkip"));
    alreadyLayout->addWidget(Radio(RadioPrompt, "Prompt what to do", "RadioPrompt"));

    auto* after = new QGroupBox("After having completed a job successfully");
    after->setObjectName("GroupBoxAfter");
    auto* afterLayout = new QGridLayout(after);
    afterLayout->addWidget(Radio(RadioDelete, "Delete source file", "RadioDelete"), 0, 0, 1, 2);
    afterLayout->addWidget(Radio(RadioMove, "Move source file to directory", "RadioMove"), 1, 0, 1,
                           2);

    auto* mode = new QGroupBox("Directory mode");
    mode->setObjectName("GroupMode");
    auto* modeLayout = new QVBoxLayout(mode);
    modeLayout->addWidget(Radio(RadioModeClassical, "Classical", "RadioModeClassical"));
    modeLayout->addWidget(Radio(RadioModeLinked, "Direct Link", "RadioModeLinked"));
    modeLayout->addWidget(Radio(RadioModeRebound, "Rebound", "RadioModeRebound"));
    Options[RadioModeClassical]->setToolTip(
        "Fills up target dirs one after the other as space gets rare");
    Options[RadioModeLinked]->setToolTip("1st source to 1st target, 2nd source to 2nd target ...");
    Options[RadioModeRebound]->setToolTip("Each file back to its source dir");

    auto* format = new QGroupBox("Target format");
    format->setObjectName("GroupBoxFormat");
    LabelFormatTag = ValueLabel(format, "LabelFormatTag");
    LabelFormatAttributes = ValueLabel(format, "LabelFormatAttributes");
    ButtonSelectTF = new QPushButton("&Select", format);
    ButtonSelectTF->setObjectName("ButtonSelectTF");
    auto* formatLayout = new QGridLayout(format);
    formatLayout->addWidget(LabelFormatTag, 0, 0, 1, 3);
    formatLayout->addWidget(LabelFormatAttributes, 1, 0, 1, 3);
    formatLayout->addWidget(ButtonSelectTF, 0, 3, 2, 1, Qt::AlignVCenter);
    formatLayout->addWidget(new QLabel("Optimize for"), 2, 0);
    formatLayout->addWidget(Radio(RadioSpeed, "higher speed", "RadioSpeed"), 2, 1);
    formatLayout->addWidget(Radio(RadioQuality, "higher quality", "RadioQuality"), 2, 2, 1, 2);
    formatLayout->setColumnStretch(2, 1);

    auto* options = new QGroupBox("Options");
    options->setObjectName("GroupOptions");
    auto* optionsLayout = new QVBoxLayout(options);
    QCheckBox* createSubs =
        Check(CheckBoxCreateSubs, "Copy relative directory structures", "CheckBoxCreateSubs");
    optionsLayout->addWidget(Check(CheckBoxRDirs, "Recurse subdirectories", "CheckBoxRDirs"));
    optionsLayout->addWidget(createSubs);
    optionsLayout->addWidget(
        Check(CheckBoxHiddenFiles, "Process hidden source files", "CheckBoxHiddenFiles"));

    auto* extensions = new QGroupBox("File extensions");
    extensions->setObjectName("GroupBoxExtensions");
    auto* extLayout = new QGridLayout(extensions);
    extLayout->addWidget(new QLabel("Source extension(s):"), 0, 0);
    extLayout->addWidget(Edit(EditSourceExts, 64, "EditSourceExts"), 0, 1);
    Edits[EditSourceExts]->setToolTip("Enter one or more file extension (separated by \";\")");
    extLayout->addWidget(new QLabel("Target extension:"), 1, 0);
    extLayout->addWidget(Edit(EditTargetExt, 64, "EditTargetExt"), 1, 1);

    ButtonSelectMoveDir = BrowseButton(after, "ButtonSelectMoveDir");
    afterLayout->addWidget(Edit(EditMoveDir, 255, "EditMoveDir"), 2, 0);
    afterLayout->addWidget(ButtonSelectMoveDir, 2, 1);
    afterLayout->setColumnStretch(0, 1);

    connect(ButtonSelectTF, &QPushButton::clicked, this, &TFormPreferences::ButtonSelectTFClick);
    connect(ButtonSelectMoveDir, &QPushButton::clicked, this,
            &TFormPreferences::ButtonSelectMoveDirClick);

    auto* grid = new QGridLayout(tab);
    grid->addWidget(extensions, 0, 0);
    grid->addWidget(format, 1, 0);
    grid->addWidget(after, 2, 0);
    grid->addWidget(mode, 0, 1);
    grid->addWidget(options, 1, 1);
    grid->addWidget(already, 2, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
    return tab;
}

QWidget* TFormPreferences::BuildGeneralTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheetGeneral");

    auto* noise = new QGroupBox;
    noise->setObjectName("GroupBoxNoise");
    QCheckBox* noiseBox = Check(CheckBoxNoise, "Make noise when finished a file", "CheckBoxNoise");
    noiseBox->setParent(noise);
    PlaceOnFrame(noise, noiseBox, false);
    auto* noiseLayout = new QGridLayout(noise);
    noiseLayout->addWidget(Radio(RadioStandardBeep, "Standard beep", "RadioStandardBeep"), 0, 0, 1,
                           3);
    noiseLayout->addWidget(Radio(RadioWAVFile, "Play WAV-File", "RadioWAVFile"), 1, 0, 1, 3);
    ButtonSelectWAV = BrowseButton(noise, "ButtonSelectWAV");
    ButtonTestWAV = new QPushButton("Test", noise);
    ButtonTestWAV->setObjectName("ButtonTestWAV");
    noiseLayout->addWidget(ButtonSelectWAV, 2, 1);
    noiseLayout->addWidget(ButtonTestWAV, 2, 2);

    auto* various = new QGroupBox("Various Options");
    various->setObjectName("GroupBoxVarious");
    auto* variousLayout = new QGridLayout(various);
    variousLayout->addWidget(Check(CheckBoxTryAgain, "Try again after", "CheckBoxTryAgain"), 1, 1);
    variousLayout->addWidget(Check(CheckBoxWavHeader, "Write WAV-Header", "CheckBoxWavHeader"), 0,
                             0, 1, 4);
    variousLayout->addWidget(new QLabel("If no more source files available"), 1, 0);

    noiseLayout->addWidget(Edit(EditWAVFile, 255, "EditWAVFile"), 2, 0);
    noiseLayout->setColumnStretch(0, 1);
    variousLayout->addWidget(Edit(EditSec, 4, "EditSec"), 1, 2);
    LabelSec = new QLabel("sec");
    LabelSec->setObjectName("LabelSec");
    variousLayout->addWidget(LabelSec, 1, 3);
    variousLayout->addWidget(new QLabel("Copy buffer size"), 2, 0);
    variousLayout->addWidget(Edit(EditBufferSize, 4, "EditBufferSize"), 2, 2);
    variousLayout->addWidget(new QLabel("KB"), 2, 3);
    variousLayout->addWidget(new QLabel("Target drive space limit"), 3, 0);
    variousLayout->addWidget(Edit(EditSpaceLeft, 4, "EditSpaceLeft"), 3, 2);
    variousLayout->addWidget(new QLabel("MB"), 3, 3);
    for (TOptionText t : {EditSec, EditBufferSize, EditSpaceLeft})
        Edits[t]->setFixedWidth(Edits[t]->fontMetrics().horizontalAdvance("00000") + 16);
    variousLayout->setColumnStretch(4, 1);

    connect(ButtonSelectWAV, &QPushButton::clicked, this, &TFormPreferences::ButtonSelectWAVClick);
    connect(ButtonTestWAV, &QPushButton::clicked, this, &TFormPreferences::PlayWAV);

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(noise);
    layout->addWidget(various);
    layout->addWidget(BuildBatchGroup());
    layout->addStretch();
    return tab;
}

QGroupBox* TFormPreferences::BuildBatchGroup() {
    auto* batch = new QGroupBox("Batch");
    batch->setObjectName("GroupBoxBatch");
    auto* batchLayout = new QGridLayout(batch);
    CheckBoxKeepGoing = new QCheckBox("&Continue after a failed file", batch);
    CheckBoxKeepGoing->setObjectName("CheckBoxKeepGoing");
    CheckBoxKeepGoing->setToolTip(
        "A file that fails stays in place and is listed; the batch "
        "goes on with the next one");
    batchLayout->addWidget(CheckBoxKeepGoing, 0, 0, 1, 2);
    auto* logLabel = new QLabel("&Log file", batch);
    EditLogFile = new QLineEdit(batch);
    EditLogFile->setObjectName("EditLogFile");
    EditLogFile->setToolTip(
        "One JSON line per file of every batch is appended here; empty for "
        "none");
    logLabel->setBuddy(EditLogFile);
    batchLayout->addWidget(logLabel, 1, 0);
    batchLayout->addWidget(EditLogFile, 1, 1);
    // Jobs and Threads: a count, or 0 shown as "Automatic".
    const auto count = [&](const char* Name, const char* Label, const char* Tip, int Row,
                           int32_t TSettings::*Field) {
        auto* spin = new QSpinBox(batch);
        spin->setObjectName(Name);
        spin->setRange(0, TSettings::kMaxJobs);
        spin->setSpecialValueText("Automatic");
        spin->setToolTip(Tip);
        // A little air between "Automatic" and the arrows.
        spin->setMinimumWidth(spin->sizeHint().width() +
                              2 * spin->fontMetrics().averageCharWidth());
        auto* label = new QLabel(Label, batch);
        label->setBuddy(spin);
        batchLayout->addWidget(label, Row, 0);
        batchLayout->addWidget(spin, Row, 1, Qt::AlignLeft);
        connect(spin, &QSpinBox::valueChanged, this, [this, Field](int Value) {
            if (!loading_) working_.*Field = Value;
        });
        return spin;
    };
    SpinEditJobs =
        count("SpinEditJobs",
              "&Jobs:", "How many files are recoded at once; Automatic is one per processor", 2,
              &TSettings::Jobs);
    SpinEditThreads = count("SpinEditThreads", "&Threads:",
                            "How many processors encode one long file at once where its format "
                            "allows; Automatic uses those the other jobs leave free",
                            3, &TSettings::Threads);
    connect(CheckBoxKeepGoing, &QCheckBox::toggled, this,
            [this](bool On) { working_.KeepGoing = On; });
    connect(EditLogFile, &QLineEdit::textEdited, this,
            [this](const QString& Text) { working_.LogFile = Text.toStdString(); });
    return batch;
}
