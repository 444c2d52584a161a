// SPDX-License-Identifier: GPL-3.0-or-later
// One job's state machine, run on the caller's thread: the job state and its transitions,
// Go with its checks (the search and the target choice are TSourceSearch's and
// TTargetChooser's), the end of the job with its after-action, waiting for new files, stop
// after this file, and cancel. The user is reached only through the seams.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileops.h"
#include "jobsettings.h"
#include "recoding.h"
#include "seams.h"
#include "settings.h"
#include "sourcesearch.h"
#include "targetchoice.h"

enum TJobState : uint8_t { jsStopped = 0, jsRecoding = 1, jsSuspended = 2, jsWaiting = 3 };

class ENoMoreFileException : public std::runtime_error {
  public:
    ENoMoreFileException() : std::runtime_error("") {}
};

// How the last job ended.
enum class TJobOutcome {
    None,
    Recoded,        // the target is complete and the after-action done
    Failed,         // the job or its after-action failed: a message was shown
    SourceChanged,  // the source changed or went while it was recoded: it is tried again
    SourceGone      // another process took the source before the job could open it
};

// What a Go did.
enum class TGoResult {
    NotStopped,   // a job was running: nothing happened
    Invalid,      // a check failed and showed its message
    Started,      // a job is recoding
    NoMoreFiles,  // nothing left, and no waiting
    Waiting,      // nothing left: the waiting state counts down
    Failed        // the search stopped with a message
};

// "%.2d:%.2d:%.2d" of hours, minutes and seconds.
std::string FormatTime(int64_t Seconds);
// 1234567 as "1,234,567".
std::string FormatThousands(int64_t Value, char Separator = ',');

class TJobControl {
  public:
    TJobControl(TSettings& Settings, IMessages& Messages, IProgress& Progress, IClock& Clock,
                ISound& Sound);
    ~TJobControl();

    TSettings& Settings() { return settings_; }
    // The settings the job works with: taken at Go, or given by a batch.
    const TJobSettings& Job();
    void UseSettings(std::shared_ptr<const TJobSettings> Job) { job_ = std::move(Job); }
    // Takes them afresh from Settings (their extension checks must have run).
    void TakeSettings();

    // State of the main window's job panel.
    TJobState JobState() const { return jobState_; }
    int32_t WaitCountdown() const { return waitCountdown_; }
    int32_t FilesProcessed() const { return filesProcessed_; }
    bool GoWhenIdle = false;
    bool StartingUp = false;
    bool CheckBoxStopAfter = false;
    bool CheckBoxAction = true;

    // Job fields.
    std::string SourceFile;
    std::string TargetFile;
    std::string RelativeDir;
    int32_t SourceDirIndex = -1;
    int64_t SourceFileSize = 0;

    // Free space per target directory as last measured (-1 unknown).
    const std::vector<int64_t>& TargetFreeSpace() const { return targetFree_; }
    TRecodingThread* RecodingThread() const { return thread_.get(); }
    // Measures the free space of a target directory (-1 unknown); the file system's by
    // default.
    std::function<int64_t(const std::string&)> FreeSpaceOf;
    // Called with every new thread before it starts (the windows hook its OnDone there).
    std::function<void(TRecodingThread&)> OnThreadCreated;
    // Starts the job the fields name, Prepare being called with its thread just before it
    // starts (a batch hooks the thread's end there).
    void StartJob(const std::function<void(TRecodingThread&)>& Prepare);

    // What the last Go did, and the message it showed when it failed.
    TGoResult LastGoResult = TGoResult::NoMoreFiles;
    std::string LastGoMessage;
    // Seconds of audio in the source of the job that ended last (0 when unknown).
    double LastAudioSeconds() const { return lastAudioSeconds_; }
    TJobOutcome LastOutcome() const { return lastOutcome_; }

    // The job's own search (its Skip: sources passed over for the rest of the run).
    TSourceSearch& Search() { return search_; }

    // Handlers.
    void SetJobState(TJobState Requested);
    TGoResult ButtonGoClick();
    void ButtonCancelClick();
    void ButtonSuspendClick() { SetJobState(jsSuspended); }
    void ButtonResumeClick() { SetJobState(jsRecoding); }
    void TimerWaitForFileTimer();
    // Stops a running job without questions and, where RemovePart, removes its .part; the
    // source stays.
    bool StopAndDiscard(bool RemovePart = true);
    void TrackBarPriorityChange(int Position);
    // Run on the caller's thread once the recoding thread has ended. Returns whether the
    // job succeeded (false also when it was not this state's job).
    bool RecodingThreadDone();
    // The close query: whether the window may close now.
    bool FormCloseQuery();
    // Recomputes the progress figures from the running thread and hands them on.
    void UpdateProgress();
    // The job's thread has written its target, which now waits to be committed with others:
    // the time the job took stops here.
    void StopClock();
    const TProgressFigures& Figures() const { return figures_; }

    // Checks and measurements of the main window.
    bool CheckDirLists();
    void RefreshTargetDirs();

    // Selection: the source fields from Search (the job's own unless given; Gate may be
    // null), the target from the free space measured last (or FreeSpace where given).
    void FindSourceFile(TSourceSearch* Search = nullptr, ISourceGate* Gate = nullptr);
    void ChooseTargetFile(const std::vector<int64_t>* FreeSpace = nullptr);
    void CheckTargetFile();
    // Recoded: the source as the job read it; without it the source as it is now.
    void ApplyAfterAction(bool Force, const fileops::TFileIdentity* Recoded = nullptr);
    bool MoveSourceFile();

  private:
    TGoResult Go();
    void ShowMessage(const std::string& Text);
    bool Check(const std::optional<TCheckFailure>& Failure, bool EvenWhileStartingUp = false);
    void ResetJobDisplay();
    void StartThread();
    void ResumeJob();
    void SuspendJob();
    void UpdateProgressFrom(TRecodingThread& Thread);
    TFoundSource Found() const;

    TSettings& settings_;
    IMessages& messages_;
    IProgress& progress_;
    IClock& clock_;
    ISound& sound_;

    TJobState jobState_ = jsStopped;
    int32_t waitCountdown_ = 0;
    int32_t filesProcessed_ = 0;
    std::shared_ptr<const TJobSettings> job_;
    TSourceSearch search_;
    TTargetChooser chooser_;
    TChosenTarget target_;  // the chosen target's directory, opened without links
    std::function<void(TRecodingThread&)> prepare_;
    std::unique_ptr<TRecodingThread> thread_;
    std::vector<int64_t> targetFree_;
    TProgressFigures figures_;
    int32_t lastTick_ = 0;
    int32_t elapsedMs_ = 0;
    int32_t lastElapsedMs_ = 0;
    bool clockStopped_ = false;
    double lastAudioSeconds_ = 0;
    TJobOutcome lastOutcome_ = TJobOutcome::None;
};
