// SPDX-License-Identifier: GPL-3.0-or-later
// What the windows ask of the desktop: message boxes, the open-file dialog, sound and the
// shell. Each is one small interface, so that a test answers every box and every chooser.
#pragma once

#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "seams.h"

class QSoundEffect;
class QWidget;
class TFormStatusInfo;

// Turns the program's "\r" line breaks into real ones.
QString DisplayText(const std::string& Text);

// The open-file dialog (Filter: description and pattern pairs joined by "|") and the
// directory dialog.
class IFileChooser {
  public:
    virtual ~IFileChooser() = default;
    // The chosen directory as a full path, or nothing when the user cancelled.
    virtual std::optional<std::string> ChooseDirectory(QWidget* Parent, const std::string& Title,
                                                       const std::string& InitialDir) = 0;
    // The chosen name as a full path, or nothing when the user cancelled.
    virtual std::optional<std::string> Choose(QWidget* Parent, const std::string& Title,
                                              const std::string& Filter,
                                              const std::string& PresetName,
                                              const std::string& InitialDir) = 0;
};

// QMessageBox for the boxes, the status pop-up around slow work.
class TQtMessages : public IMessages {
  public:
    explicit TQtMessages(QWidget* Parent = nullptr) : parent_(Parent) {}
    void SetParent(QWidget* Parent) { parent_ = Parent; }
    void SetStatusWindow(TFormStatusInfo* Status) { status_ = Status; }

    void ShowError(const std::string& Text) override;
    void ShowJobError(const std::string& Source, const std::string& Text) override;
    void ShowInformation(const std::string& Text) override;
    TAnswer Ask(const std::string& Text, bool WithCancel) override;
    TAnswer AskAbout(const std::string& File, const std::string& Text, bool WithCancel) override;
    void ShowErrorAbout(const std::string& File, const std::string& Text) override;
    void ShowInfo(const std::string& Text) override;
    void CloseInfo() override;

  private:
    QWidget* parent_;
    TFormStatusInfo* status_ = nullptr;
};

// QFileDialog: files with the preset name typed in; directories in its directory mode.
class TQtFileChooser : public IFileChooser {
  public:
    std::optional<std::string> ChooseDirectory(QWidget* Parent, const std::string& Title,
                                               const std::string& InitialDir) override;
    std::optional<std::string> Choose(QWidget* Parent, const std::string& Title,
                                      const std::string& Filter, const std::string& PresetName,
                                      const std::string& InitialDir) override;
};

// The system beep and WAV files played asynchronously; without an audio device, silence.
class TQtSound : public ISound {
  public:
    TQtSound();
    ~TQtSound() override;
    void Beep() override;
    void PlayWav(const std::string& File) override;

  private:
    std::unique_ptr<QSoundEffect> effect_;
};

// A desktop notification: a summary line and a body.
class INotifier {
  public:
    virtual ~INotifier() = default;
    virtual void Notify(const std::string& Summary, const std::string& Body) = 0;
};

// Through the desktop's notification service on the session bus; without one, nothing. The
// call does not wait for an answer.
class TDBusNotifier : public INotifier {
  public:
    void Notify(const std::string& Summary, const std::string& Body) override;
};

// The Qt dialog's filter list for a "description|pattern|..." text: patterns separated by
// ";" become Qt's blank-separated ones.
QString QtFilter(const std::string& Filter);

// What the shared open dialog is prepared with for each kind of choice.
struct TOpenDialogSetup {
    std::string Title;
    std::string Filter;
    std::string PresetName;
};
enum class TOpenKind { SourceDir = 0, TargetDir = 1, MoveDir = 2, WavFile = 3 };
// SourceExtLabel: the settings summary's source extensions ("*.wav;*.snd"), "" for none.
TOpenDialogSetup PrepareOpenDialog(TOpenKind Kind, const std::string& SourceExtLabel,
                                   const std::string& TargetExtension);
// Empty for a network path ("//server/..."), else Path unchanged.
std::string StripUncPath(const std::string& Path);

class QGroupBox;
// Keeps Widget on Box's frame line: in place of the (blank) title when AtRight is false,
// at the frame's right end otherwise.
void PlaceOnFrame(QGroupBox* Box, QWidget* Widget, bool AtRight);
