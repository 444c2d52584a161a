// SPDX-License-Identifier: GPL-3.0-or-later
// The batch engine's control loop, run on the caller's thread: the job state and its
// transitions, Go with its checks and its search for the next source and target, the end
// of each job with the after-action, waiting for new files, stop after this file, and
// cancel. The user is reached only through the seams.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "fileops.h"
#include "listing.h"
#include "recoding.h"
#include "seams.h"
#include "settings.h"

class TSourceList;

enum TJobState : uint8_t { jsStopped = 0, jsRecoding = 1, jsSuspended = 2, jsWaiting = 3 };

class ENoMoreFileException : public std::runtime_error {
  public:
    ENoMoreFileException() : std::runtime_error("") {}
};
class EAllDirFullException : public std::runtime_error {
  public:
    EAllDirFullException() : std::runtime_error("All target paths full ! Processing stopped !") {}
};
class EStopException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// The source is no longer the file the decision was made about: it stays, and is found
// again once it is stable.
class ESourceChanged : public std::runtime_error {
  public:
    ESourceChanged() : std::runtime_error(kSourceChangedText) {}
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

    // State of the main window's job panel.
    TJobState JobState() const { return jobState_; }
    int32_t WaitCountdown() const { return waitCountdown_; }
    int32_t FilesProcessed() const { return filesProcessed_; }
    bool GoWhenIdle = false;
    bool StartingUp = false;
    bool CheckBoxStopAfter = false;
    bool CheckBoxAction = true;
    // The caption of the job group and the window title for the current state.
    std::string StateCaption() const;
    std::string StateTitle() const;
    // "SOURCE (1,234 Bytes)" and the target name, as the job labels show them.
    std::string SourceLabel() const;

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
    // Called with every new thread before it starts (front ends hook its OnDone there).
    std::function<void(TRecodingThread&)> OnThreadCreated;

    // What the last Go did, and the message it showed when it failed.
    TGoResult LastGoResult = TGoResult::NoMoreFiles;
    std::string LastGoMessage;
    // Seconds of audio in the source of the job that ended last (0 when unknown).
    double LastAudioSeconds() const { return lastAudioSeconds_; }
    TJobOutcome LastOutcome() const { return lastOutcome_; }

    // Sources the search passes over for the rest of the run (failed under keep-going).
    std::set<std::string> SkipSources;
    // Asked before the search takes a source that is ready: false passes it over silently
    // (another job or another process is recoding it). Unset, every ready source is taken.
    std::function<bool(const std::string&)> MayTakeSource;
    // Listings the search reuses instead of reading every directory for every file; null
    // reads them afresh each time.
    TListingCache* Listings = nullptr;
    // Set by a search that passed over files only because they were still young.
    bool SawYoungFiles = false;
    // Sources taken from a list instead of searched for; null searches the directories.
    TSourceList* SourceList = nullptr;
    // Asked first of every candidate: false passes it over silently for the rest of the run
    // (another shard's file). Unset, every candidate is in.
    std::function<bool(const std::string&)> InSelection;

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
    const TProgressFigures& Figures() const { return figures_; }

    // Checks and measurements of the main window.
    bool CheckDirLists();
    void RefreshTargetDirs();

    // Selection.
    void FindSourceFile();
    std::string SearchSourceDir(const std::string& Dir);
    void ChooseTargetFile();
    void CheckTargetFile();
    // Recoded: the source as the job read it; without it the source as it is now.
    void ApplyAfterAction(bool Force, const fileops::TFileIdentity* Recoded = nullptr);
    bool MoveSourceFile();
    bool MoveSourceFile(const fileops::TFileIdentity& Identity);
    // Size of a file that can be opened for reading and is not being written; -1 otherwise.
    int64_t GetFileSize(const std::string& Path);
    // Size of the source if the search may take it now, else -1 (and the reason noted).
    int64_t SourceCandidateSize(const std::string& Path);

  private:
    TGoResult Go();
    void ShowMessage(const std::string& Text);
    bool Check(const std::optional<TCheckFailure>& Failure, bool EvenWhileStartingUp = false);
    void ResetJobDisplay();
    void StartThread();
    void ResumeJob();
    void SuspendJob();
    bool IsExcludedDir(const std::string& Dir) const;
    std::string SearchListed(const std::string& Dir);
    void NotePassedOver(const std::string& Path, const std::string& Reason);
    void UpdateProgressFrom(TRecodingThread& Thread);
    void SetTargetDir(int DirFd);

    TSettings& settings_;
    IMessages& messages_;
    IProgress& progress_;
    IClock& clock_;
    ISound& sound_;

    TJobState jobState_ = jsStopped;
    int32_t waitCountdown_ = 0;
    int32_t filesProcessed_ = 0;
    bool replaceTarget_ = false;
    std::unique_ptr<TRecodingThread> thread_;
    std::vector<int64_t> targetFree_;
    std::vector<std::string> excludedDirs_;
    std::set<std::string> reported_;
    TProgressFigures figures_;
    int32_t lastTick_ = 0;
    int32_t elapsedMs_ = 0;
    int32_t lastElapsedMs_ = 0;
    double lastAudioSeconds_ = 0;
    bool takenElsewhere_ = false;  // the last candidate was refused by MayTakeSource
    int targetDir_ = -1;           // the chosen target's directory, opened without links
    TJobOutcome lastOutcome_ = TJobOutcome::None;
};
