// SPDX-License-Identifier: GPL-3.0-or-later
// The preferences dialog. It edits a working copy of the settings, loaded from the store at
// every showing; OK validates, saves, and only then do the live settings take the new values.
// Cancel saves nothing, and the rest of the program keeps reading the stored settings.
#pragma once

#include <QDialog>
#include <array>
#include <memory>

#include "guiseams.h"
#include "settings.h"

class QAbstractButton;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class TKoACMFormatChoose;

class TFormPreferences : public QDialog {
    Q_OBJECT
  public:
    TFormPreferences(QWidget* Main, TIniStore& Ini, std::string FormatFile, IMessages& Messages,
                     IFileChooser& Chooser, ISound& Sound);
    ~TFormPreferences() override;

    // The settings being edited (valid while the dialog is shown and after it closed).
    TSettings& Working() { return working_; }
    // Fills the controls from the store.
    void LoadSettings();
    // The codec manager's chooser; a test may put its own in.
    std::unique_ptr<TKoACMFormatChoose> FormatChooser;

    // Controls, named as the handlers and the store know them.
    QTabWidget* PageControl;
    std::array<QAbstractButton*, OptionCount> Options{};
    std::array<QLineEdit*, TextCount> Edits{};
    QLabel* LabelFormatTag;
    QLabel* LabelFormatAttributes;
    QLabel* LabelSec;
    // The batch: its record ("Options" "LogFile") and going on after a failed file.
    QLineEdit* EditLogFile;
    QCheckBox* CheckBoxKeepGoing;
    // How many files are recoded at once ("Options" "Jobs"; 0 shows as Automatic).
    QSpinBox* SpinEditJobs;
    QSpinBox* SpinEditThreads;
    QPushButton* ButtonSelectTF;
    QPushButton* ButtonSelectMoveDir;
    QPushButton* ButtonSelectWAV;
    QPushButton* ButtonTestWAV;
    QPushButton* ButtonOk;
    QPushButton* ButtonCancel;

    void ButtonOkClick();
    void ButtonSelectTFClick();
    void ButtonSelectMoveDirClick();
    void ButtonSelectWAVClick();
    void PlayWAV();

  protected:
    void showEvent(QShowEvent* Event) override;

  private:
    QWidget* BuildFilesTab();
    QWidget* BuildGeneralTab();
    QGroupBox* BuildBatchGroup();
    QRadioButton* Radio(TOption O, const char* Caption, const char* Name);
    QCheckBox* Check(TOption O, const char* Caption, const char* Name);
    QLineEdit* Edit(TOptionText T, int MaxLength, const char* Name);
    void SetTabOrder();
    void OptionClicked(TOption O, bool Checked);
    void ShowOptions();
    void ApplyRules();
    void ShowFormatLabels();
    QWidget* ControlFor(TSettingsControl Control) const;

    QWidget* main_;
    TIniStore& ini_;
    std::string formatFile_;
    IMessages& messages_;
    IFileChooser& chooser_;
    ISound& sound_;
    TSettings working_;
    bool loading_ = false;
};
