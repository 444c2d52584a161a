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
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>
#include <vector>

#include "FStatusInfo.h"
#include "UKoACMFormatChoose.h"
#include "barestream.h"
#include "fileops.h"

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
    SetTabOrder();
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

void TFormPreferences::SetTabOrder() {
    // As the pages are laid out, column by column and row by row: each edit field before its
    // browse button, whatever order the controls were made in.
    const std::vector<QWidget*> order = {
        // "Formats and modes", the left column, then the right.
        Edits[EditSourceExts], Edits[EditTargetExt], ButtonSelectTF, Options[RadioSpeed],
        Options[RadioQuality], Options[RadioDelete], Options[RadioMove], Edits[EditMoveDir],
        ButtonSelectMoveDir, Options[RadioModeClassical], Options[RadioModeLinked],
        Options[RadioModeRebound], Options[CheckBoxRDirs], Options[CheckBoxCreateSubs],
        Options[CheckBoxHiddenFiles], Options[RadioOverwrite], Options[RadioSkip],
        Options[RadioPrompt],
        // "General".
        Options[CheckBoxNoise], Options[RadioStandardBeep], Options[RadioWAVFile],
        Edits[EditWAVFile], ButtonSelectWAV, ButtonTestWAV, Options[CheckBoxWavHeader],
        Options[CheckBoxTryAgain], Edits[EditSec], Edits[EditBufferSize], Edits[EditSpaceLeft],
        CheckBoxKeepGoing, EditLogFile, SpinEditJobs, SpinEditThreads,
        // The dialog's buttons.
        ButtonOk, ButtonCancel};
    QWidget::setTabOrder(PageControl, order.front());
    for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
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
    SpinEditJobs->setValue(working_.Jobs);
    SpinEditThreads->setValue(working_.Threads);
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
    const auto chosen = chooser_.ChooseDirectory(this, dialog.Title, initial);
    if (!chosen) return;
    Edits[EditMoveDir]->setText(
        QString::fromStdString(fileops::AddSlash(fileops::Normalise(*chosen))));
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
