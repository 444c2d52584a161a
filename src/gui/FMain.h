// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: the two directory lists, the settings summary, the priority and the job
// panel. It holds the controls and forwards to the job control, which decides.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>

#include "batchcount.h"
#include "batchrecord.h"
#include "guiseams.h"
#include "jobcontrol.h"
#include "settings.h"

class QAction;
class QSocketNotifier;
class TBatch;
class TWatch;
class TClaims;
class QCheckBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;
class QTreeWidget;
class TFormAbout;
class TFormPreferences;
class TFormStatusInfo;
class TBatchFiles;
class TDirListEditor;
class TJobPanel;

// What the window is built with; each null member is replaced by the real thing.
struct TFormMainSetup {
    std::string SettingsFolder;  // "" for the program's rule
    IMessages* Messages = nullptr;
    IFileChooser* Chooser = nullptr;
    IClock* Clock = nullptr;
    ISound* Sound = nullptr;
    INotifier* Notifier = nullptr;
    // Off in tests that tick the wait timer themselves.
    bool RealWaitTimer = true;
    // How often the job display reads the running job's progress, in milliseconds.
    int ProgressIntervalMs = 50;
};

class TFormMain : public QMainWindow, public IProgress {
    Q_OBJECT
  public:
    explicit TFormMain(TFormMainSetup Setup = {});
    ~TFormMain() override;

    TJobControl& Job() { return *job_; }
    TSettings& Settings() { return settings_; }
    TIniStore& IniFile() { return *ini_; }
    const std::string& SettingsFolderPath() const { return folder_; }
    TFormPreferences* FormPreferences() const { return preferences_; }
    TFormAbout* FormAbout() const { return about_; }
    TFormStatusInfo* FormStatusInfo() const { return status_; }
    // Opens the read-me file; a test may put its own opener in.
    std::function<void(const std::string&)> OpenDocument;

    // Controls. The directory lists' and the job group's are those of the editors and the
    // panel below.
    TDirListEditor* SourceDirsEditor;
    TDirListEditor* TargetDirsEditor;
    TJobPanel* JobPanel;
    QGroupBox* GroupBoxDirLists;
    QTreeWidget* ListViewSourceDirs;
    QTreeWidget* ListViewTargetDirs;
    QPushButton* ButtonAddSourceDir;
    QPushButton* ButtonUpSourceDir;
    QPushButton* ButtonDownSourceDir;
    QPushButton* ButtonDelSourceDir;
    QPushButton* ButtonAddTargetDir;
    QPushButton* ButtonUpTargetDir;
    QPushButton* ButtonDownTargetDir;
    QPushButton* ButtonDelTargetDir;
    QGroupBox* GroupBoxSettings;
    QLabel* LabelSourceExt;
    QLabel* LabelTargetExt;
    QLabel* LabelFTag;
    QLabel* LabelFAttributes;
    QLabel* LabelFormatQuality;
    QLabel* LabelMode;
    QLabel* LabelAfter;
    QLabel* LabelAlready;
    QSlider* TrackBarPriority;
    QGroupBox* GroupBoxJob;
    QLabel* LabelTime;
    QLabel* LabelRemainingTime;
    QLabel* LabelTotalTime;
    QLabel* LabelPercent;
    QLabel* LabelSourceFile;
    QLabel* LabelTargetFile;
    QLabel* LabelBytesPerSec;
    QLabel* LabelFilesProcessed;
    QProgressBar* ProgressBar;
    QPushButton* ButtonGo;
    QPushButton* ButtonCancel;
    QPushButton* ButtonSuspend;
    QPushButton* ButtonResume;
    QCheckBox* CheckBoxStopAfter;
    QCheckBox* CheckBoxAction;
    QAction* MenuItemExit;
    QAction* MenuItemPreferences;
    QAction* MenuItemReadme;
    QAction* MenuItemAbout;
    TBatchFiles* ListViewFiles;
    QTimer* TimerWaitForFile;
    QTimer* TimerProgress;

    // Handlers.
    void ButtonGoClick();
    void TimerWaitForFileTimer();
    void MenuItemPreferencesClick();
    void MenuItemAboutClick();
    void MenuItemHelpClick();
    void AddDirectory(QTreeWidget* List, const std::string& Path);
    void ShowSettingsSummary();
    void RefreshTargetDirs();
    // Runs Go when a finished file asked for the next one; called when the queue is empty.
    void AppIdle();
    // The window has been shown once and its settings loaded.
    bool Started() const { return started_; }
    // How many files Go recodes at once.
    int JobCount() const;
    // Several jobs at once: the batch's state, as the job panel shows it.
    TJobState BatchState() const;
    TBatch* Batch() const { return batch_.get(); }

  protected:
    void showEvent(QShowEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

  public:
    // What the job control shows through the window.
    void SetProgressMax(int64_t SourceSize) override;
    void UpdateProgress(const TProgressFigures& Figures) override;
    void JobDisplayChanged() override;
    void FileEnded(const TFileOutcome& Outcome) override;
    void PassedOver(const std::string& Source, const std::string& Reason) override;

  private:
    QWidget* BuildDirLists();
    QWidget* BuildSettings();
    QWidget* BuildPriority();
    QWidget* BuildJob();
    // Opens the "Log file" of the settings for this batch; false when it cannot be.
    bool OpenRecord();
    void BuildMenu();
    void FormShow();
    void LoadMainSettings();
    void SaveMainSettings();
    TDirListEditor* EditorOf(QTreeWidget* List) const;
    void ShowCheckBoxAction();
    void ResetJobDisplay();
    void OnThreadCreated(TRecodingThread& Thread);
    void OnThreadDone();
    void FocusMissingDirectory();
    // At the end of a batch that handled files: the desktop notification, if wanted.
    void NotifyIfEnded();
    void WatchWhileWaiting(bool On);
    // A new batch for "File n of m"; Count: the files found now.
    void StartBatchCount();
    void CountFiles();
    // "File n of m" and the batch's remaining time in the job panel, for this state.
    void ShowBatchCount(TJobState State, int Running, int64_t BytesRead);
    IMessages& JobMessages();
    // Several jobs at once (FMainBatch.cpp).
    void BatchGo();
    void BatchTurn();
    void BatchEnded();
    void BatchCountdown();
    void BatchSuspend();
    void BatchResume();
    // Whether the batch is stopped now (false: the user kept it running).
    bool BatchCancel();
    void BatchProgress();
    void BatchDisplayChanged();

    std::string folder_;
    std::unique_ptr<TIniStore> ini_;
    std::unique_ptr<TQtMessages> ownMessages_;
    std::unique_ptr<TQtFileChooser> ownChooser_;
    std::unique_ptr<TSystemClock> ownClock_;
    std::unique_ptr<TQtSound> ownSound_;
    std::unique_ptr<TDBusNotifier> ownNotifier_;
    INotifier* notifier_;
    // What the batch under way has done so far, for its notification.
    int ended_[3] = {0, 0, 0};  // recoded, skipped, failed
    TBatchCount count_;
    bool recount_ = false;  // the files are counted again when the next file starts
    IMessages* messages_;
    IFileChooser* chooser_;
    IClock* clock_;
    ISound* sound_;
    bool realWaitTimer_;
    TSettings settings_;
    std::unique_ptr<TJobControl> job_;
    TFormPreferences* preferences_ = nullptr;
    TFormAbout* about_ = nullptr;
    TFormStatusInfo* status_ = nullptr;
    bool started_ = false;
    bool idleQueued_ = false;
    // Bumped for every thread, so that a late end of an abandoned job is not taken for the
    // current one.
    uint64_t jobSerial_ = 0;
    // "Continue after a failed file": the failure is listed instead of boxed, the source is
    // passed over, and the batch goes on.
    class TKeepGoingMessages;
    std::unique_ptr<TKeepGoingMessages> jobMessages_;
    std::string failedSource_;  // of the job ending now, when it failed
    TBatchRecord record_;
    std::string recordFile_;  // the file record_ writes to
    std::unique_ptr<TClaims> claims_;
    std::unique_ptr<TBatch> batch_;
    uint64_t batchSerial_ = 0;  // bumped per batch, so that late posts of an old one are void
    bool batchWaiting_ = false;
    int32_t waitCountdown_ = 0;
    int64_t batchFiles_ = 0;  // files the finished batches recoded
    TProgressFigures batchFigures_;
    QSocketNotifier* hotNotifier_ = nullptr;
    std::unique_ptr<TWatch> waitWatch_;  // one job at a time, while waiting
    QSocketNotifier* waitNotifier_ = nullptr;
    QMetaObject::Connection idleHook_;
    QMetaObject::Connection focusHook_;
};
