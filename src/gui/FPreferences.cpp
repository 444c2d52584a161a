// SPDX-License-Identifier: GPL-3.0-or-later
#include "FPreferences.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include "FStatusInfo.h"
#include "UKoACMFormatChoose.h"
#include "barestream.h"
#include "fileops.h"

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

TFormPreferences::TFormPreferences(QWidget* Main, TIniStore& Ini, std::string FormatFile,
                                   IMessages& Messages, IFileChooser& Chooser, ISound& Sound)
    : QDialog(Main),
      main_(Main),
      ini_(Ini),
      formatFile_(std::move(FormatFile)),
      messages_(Messages),
      chooser_(Chooser),
      sound_(Sound) {
    setObjectName("FormPreferences");
    setWindowTitle("Preferences");
    FormatChooser = std::make_unique<TKoACMFormatChoose>();
    FormatChooser->Title = "Target audio format selection";
    FormatChooser->OwnerWindow = this;

    PageControl = new QTabWidget(this);
    PageControl->setObjectName("PageControl");
    PageControl->addTab(BuildFilesTab(), "Formats and modes");
    PageControl->addTab(BuildGeneralTab(), "General");

    ButtonOk = new QPushButton("&OK", this);
    ButtonOk->setObjectName("ButtonOk");
    ButtonOk->setDefault(true);
    ButtonCancel = new QPushButton("&Cancel", this);
    ButtonCancel->setObjectName("ButtonCancel");
    connect(ButtonOk, &QPushButton::clicked, this, &TFormPreferences::ButtonOkClick);
    connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ButtonOk);
    buttons->addWidget(ButtonCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(PageControl);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    ShowOptions();
    ApplyRules();
}

TFormPreferences::~TFormPreferences() = default;

QRadioButton* TFormPreferences::Radio(TOption O, const char* Caption, const char* Name) {
    auto* radio = new QRadioButton(Caption);
    radio->setObjectName(Name);
    // Exclusion is the settings' business, so that a stored state shows as it is.
    radio->setAutoExclusive(false);
    Options[O] = radio;
    connect(radio, &QRadioButton::clicked, this, [this, O] { OptionClicked(O, true); });
    return radio;
}

QCheckBox* TFormPreferences::Check(TOption O, const char* Caption, const char* Name) {
    auto* box = new QCheckBox(Caption);
    box->setObjectName(Name);
    Options[O] = box;
    connect(box, &QCheckBox::clicked, this, [this, O](bool on) { OptionClicked(O, on); });
    return box;
}

QLineEdit* TFormPreferences::Edit(TOptionText T, int MaxLength, const char* Name) {
    auto* edit = new QLineEdit;
    edit->setObjectName(Name);
    edit->setMaxLength(MaxLength);
    Edits[T] = edit;
    connect(edit, &QLineEdit::textChanged, this, [this, T](const QString& text) {
        if (!loading_) working_.Texts[T] = text.toStdString();
    });
    return edit;
}

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
    connect(CheckBoxKeepGoing, &QCheckBox::toggled, this,
            [this](bool On) { working_.KeepGoing = On; });
    connect(EditLogFile, &QLineEdit::textEdited, this,
            [this](const QString& Text) { working_.LogFile = Text.toStdString(); });

    auto* layout = new QVBoxLayout(tab);
    layout->addWidget(noise);
    layout->addWidget(various);
    layout->addWidget(batch);
    layout->addStretch();
    return tab;
}

void TFormPreferences::OptionClicked(TOption O, bool Checked) {
    working_.SetOption(O, Checked);
    ShowOptions();
    ApplyRules();
}

void TFormPreferences::ShowOptions() {
    for (int i = 0; i < OptionCount; ++i)
        Options[static_cast<std::size_t>(i)]->setChecked(working_.Option(static_cast<TOption>(i)));
}

void TFormPreferences::ApplyRules() {
    const auto on = [this](TOption o) { return working_.Option(o); };
    // After-action rule.
    Edits[EditMoveDir]->setEnabled(on(RadioMove));
    ButtonSelectMoveDir->setEnabled(on(RadioMove));
    // Noise rule.
    Options[RadioStandardBeep]->setEnabled(on(CheckBoxNoise));
    Options[RadioWAVFile]->setEnabled(on(CheckBoxNoise));
    const bool wav = on(CheckBoxNoise) && on(RadioWAVFile);
    Edits[EditWAVFile]->setEnabled(wav);
    ButtonSelectWAV->setEnabled(wav);
    ButtonTestWAV->setEnabled(wav);
    // Try-again rule.
    LabelSec->setEnabled(on(CheckBoxTryAgain));
    Edits[EditSec]->setEnabled(on(CheckBoxTryAgain));
    // Directory-mode rule.
    Options[CheckBoxCreateSubs]->setEnabled(!on(RadioModeRebound) && on(CheckBoxRDirs));
    // Header rule: only a format with a bare form of its own can go without the WAVE header.
    const auto* format = working_.TargetFormatValid() ? working_.TargetFormat() : nullptr;
    const bool bare = format && HasBareForm(format->Format());
    if (!bare && !on(CheckBoxWavHeader)) {
        working_.SetOption(CheckBoxWavHeader, true);
        Options[CheckBoxWavHeader]->setChecked(true);
    }
    Options[CheckBoxWavHeader]->setEnabled(bare);
}

void TFormPreferences::ShowFormatLabels() {
    LabelFormatTag->setText(QString::fromStdString(working_.FormatTagLabel()));
    LabelFormatAttributes->setText(QString::fromStdString(working_.FormatAttributesLabel()));
}

void TFormPreferences::LoadSettings() {
    ini_.Reload();
    working_.LoadSettings(ini_, formatFile_);
    loading_ = true;
    for (int i = 0; i < TextCount; ++i)
        Edits[static_cast<std::size_t>(i)]->setText(
            QString::fromStdString(working_.Texts[static_cast<std::size_t>(i)]));
    EditLogFile->setText(QString::fromStdString(working_.LogFile));
    CheckBoxKeepGoing->setChecked(working_.KeepGoing);
    loading_ = false;
    ShowOptions();
    ShowFormatLabels();
    ApplyRules();
}

void TFormPreferences::showEvent(QShowEvent* Event) {
    if (!Event->spontaneous()) {
        LoadSettings();
        PageControl->setCurrentIndex(0);
    }
    QDialog::showEvent(Event);
    CentreOver(this, main_);
}

QWidget* TFormPreferences::ControlFor(TSettingsControl Control) const {
    switch (Control) {
        case TSettingsControl::EditSourceExts:
            return Edits[EditSourceExts];
        case TSettingsControl::EditTargetExt:
            return Edits[EditTargetExt];
        case TSettingsControl::EditMoveDir:
            return Edits[EditMoveDir];
        case TSettingsControl::EditWAVFile:
            return Edits[EditWAVFile];
        case TSettingsControl::EditSec:
            return Edits[EditSec];
        case TSettingsControl::EditBufferSize:
            return Edits[EditBufferSize];
        case TSettingsControl::EditSpaceLeft:
            return Edits[EditSpaceLeft];
        case TSettingsControl::ButtonSelectTF:
            return ButtonSelectTF;
        case TSettingsControl::None:
            break;
    }
    return nullptr;
}

void TFormPreferences::ButtonOkClick() {
    if (const auto failure = working_.ValidateForOk()) {
        if (QWidget* control = ControlFor(failure->Control)) {
            for (QWidget* w = control->parentWidget(); w; w = w->parentWidget())
                if (w->parentWidget() && w->parentWidget()->parentWidget() == PageControl)
                    PageControl->setCurrentWidget(w);
            control->setFocus();
        }
        messages_.ShowError(failure->Message);
        return;
    }
    try {
        const std::string formatError = working_.SaveSettings(ini_, formatFile_);
        if (!formatError.empty()) {
            messages_.ShowError(formatError);
            return;
        }
    } catch (const std::exception& error) {
        messages_.ShowError(error.what());
        return;
    }
    accept();
}

void TFormPreferences::ButtonSelectTFClick() {
    if (working_.TargetFormatValid() && working_.TargetFormat())
        FormatChooser->SetInitialFormat(&working_.TargetFormat()->Format());
    std::unique_ptr<TKoWaveFormat> chosen;
    try {
        chosen = FormatChooser->Execute();
    } catch (const std::exception& error) {
        messages_.ShowError(error.what());
        return;
    }
    if (!chosen) return;
    working_.SetTargetFormat(chosen.get());
    LabelFormatTag->setText(QString::fromStdString(FormatChooser->FormatTagName()));
    LabelFormatAttributes->setText(QString::fromStdString(FormatChooser->FormatName()));
    ApplyRules();
}

void TFormPreferences::ButtonSelectMoveDirClick() {
    const TOpenDialogSetup dialog = PrepareOpenDialog(TOpenKind::MoveDir, "", "");
    const std::string initial = StripUncPath(ini_.ReadString("LastOpen", "Move", ""));
    const auto chosen =
        chooser_.Choose(this, dialog.Title, dialog.Filter, dialog.PresetName, initial);
    if (!chosen) return;
    Edits[EditMoveDir]->setText(
        QString::fromStdString(fileops::DirectoryPart(fileops::Normalise(*chosen))));
    try {
        ini_.WriteString("LastOpen", "Move", working_.Texts[EditMoveDir]);
    } catch (const std::exception& error) {
        messages_.ShowError(error.what());
    }
}

void TFormPreferences::ButtonSelectWAVClick() {
    const TOpenDialogSetup dialog = PrepareOpenDialog(TOpenKind::WavFile, "", "");
    const std::string initial = StripUncPath(ini_.ReadString("LastOpen", "WAV", ""));
    const auto chosen =
        chooser_.Choose(this, dialog.Title, dialog.Filter, dialog.PresetName, initial);
    if (!chosen) return;
    const std::string file = fileops::Normalise(*chosen);
    Edits[EditWAVFile]->setText(QString::fromStdString(file));
    try {
        ini_.WriteString("LastOpen", "WAV", fileops::DirectoryPart(file));
    } catch (const std::exception& error) {
        messages_.ShowError(error.what());
    }
}

void TFormPreferences::PlayWAV() {
    const std::string& file = working_.Texts[EditWAVFile];
    if (working_.Option(RadioWAVFile) && !file.empty() && fileops::Exists(file) &&
        !fileops::IsDirectory(file))
        sound_.PlayWav(file);
}
