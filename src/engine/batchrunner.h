// SPDX-License-Identifier: GPL-3.0-or-later
// A batch of up to N recoding jobs at once, each in a slot of its own with its own job
// control and thread. Every slot's search, target choice, policies and after-actions are the
// job control's own, run on the caller's thread one slot at a time; the runner adds what
// only several jobs need: the sources and targets in flight that the search passes over, the
// free space the running targets will still take, claims against other processes, and the
// progress of all running jobs summed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "claims.h"
#include "jobcontrol.h"

class TSlotProgress;

// A running job as a job panel lists it.
struct TRunningJob {
    std::string Source, Target;
    int Percent = 0;
};

class TBatchRunner : private ISourceGate {
  public:
    // JobCount: the most recoding jobs at once (at least 1).
    TBatchRunner(TSettings& Settings, IMessages& Messages, IProgress& Progress, IClock& Clock,
                 ISound& Sound, int JobCount);
    // Stops and joins every running job (their .part files stay).
    ~TBatchRunner();
    TBatchRunner(const TBatchRunner&) = delete;
    TBatchRunner& operator=(const TBatchRunner&) = delete;

    // A file whose job fails stays in place and is passed over; otherwise the first failure
    // starts no new job and lets the running ones finish.
    bool KeepGoing = false;
    // A hot folder: a file whose job fails is reported and passed over until it changes,
    // and the batch goes on; a target claimed by another process is waited for as long as
    // it takes. Without it a batch ends in bounded time.
    bool Watching = false;
    // How long a source waits for its target while another process holds the target's
    // claim, when not watching.
    int64_t TargetWaitMs = 120000;
    // Claims against other processes; null claims nothing.
    TClaims* Claims = nullptr;
    // Measures a target directory's free space (the file system's by default).
    std::function<int64_t(const std::string&)> FreeSpaceOf;
    // Called on the caller's thread with each job's thread just before it starts.
    std::function<void(TRecodingThread&)> BeforeJobStarts;
    // Called on the caller's thread with a job's thread just before the job's end is handled.
    std::function<void(TRecodingThread&)> BeforeJobDone;
    // Targets made durable together: a job that has written its target frees its slot and
    // waits, its source untouched, until GroupFiles targets wait or the first has waited
    // GroupMs; then they are synced, renamed, their directories synced once, and only then
    // are their after-actions run. 1 syncs each target on its own as it completes.
    int GroupFiles = 1;
    int GroupMs = 250;

    // The checks of Go; false when one failed (its message was shown).
    bool Check();
    // What the last Fill found.
    enum class TFill { Full, NoMoreFiles, Failed };
    // Starts jobs in the idle slots until every slot runs or the search finds nothing more.
    TFill Fill();
    // Waits up to Ms milliseconds for a job to end, then finishes every job that has ended:
    // its after-action, its output, its claim. Returns whether one ended.
    bool Reap(int Ms);
    // Waits up to Ms milliseconds for a running job to end; whether one has (none is
    // finished here).
    bool WaitForEnd(int Ms);
    // Terminates every running job and, where RemoveParts, removes its .part file; each
    // source stays. The targets waiting for their commit are committed.
    void StopAll(bool RemoveParts = true);
    // Commits the targets waiting for it, now, or only when their group is full or its time
    // is up; whether any were committed.
    bool Commit();
    bool CommitIfDue();
    // Jobs whose targets wait for their commit, and the milliseconds until their group's
    // time is up (-1 when none waits).
    int Uncommitted() const { return static_cast<int>(parked_.size()); }
    int64_t MsUntilCommit() const;
    // The running jobs' sources, targets and percentages.
    std::vector<TRunningJob> RunningJobs() const;
    // Sums the running jobs' progress and hands it to the progress seam.
    void UpdateProgress();
    // At the end of a batch: names the sources passed over because another process held
    // them and that are still there.
    void ReportLeftOver();

    int Running() const;
    int Jobs() const { return static_cast<int>(slots_.size()); }
    // A failure happened (a job, a check, or the search).
    bool Failed() const { return failed_; }
    // A failure without KeepGoing: no new job starts.
    bool Stopping() const { return stopping_; }
    // The last Fill passed over files only because they were still young.
    bool SawYoungFiles() const { return sawYoung_; }
    // The sources of the running jobs.
    std::vector<std::string> RunningSources() const;
    int32_t FilesProcessed() const { return filesProcessed_; }
    // Every slot's job control, for what acts on all running jobs.
    void ForEachControl(const std::function<void(TJobControl&)>& Act);
    // The one search every slot's job comes from (its list, its shard, its listings).
    TSourceSearch& Search() { return search_; }
    TListingCache& Listings() { return search_.Listings(); }
    // The settings the batch works with, taken by Check (null before).
    const std::shared_ptr<const TJobSettings>& Job() const { return job_; }

  private:
    struct TSlot;
    TJobControl& ControlFor(TSlot& Slot);
    TGoResult StartOne(TSlot& Slot);
    // Handles the end of a slot's job: its after-action, its output, its claim.
    void Finish(TSlot& Slot);
    // Moves a slot whose target waits for its commit aside, leaving a fresh one in its place.
    void Park(std::unique_ptr<TSlot>& Slot);
    int ThreadsFor(const TSlot& Slot) const;
    bool MayTake(const std::string& Source) override;
    bool Ours(const std::string& Source) override;
    std::vector<int64_t> MeasureFreeSpace(const TJobSettings& Job);
    void Release(TSlot& Slot);
    void ReleaseUnused(const std::string& Keep);
    int64_t FreeSpace(const std::string& Dir);
    int64_t StillToWrite(const TSlot& Slot) const;

    TSettings& settings_;
    IMessages& messages_;
    IProgress& progress_;
    IClock& clock_;
    ISound& sound_;
    // Wakes the caller's thread when a job's thread has ended.
    std::mutex endsMutex_;
    std::condition_variable ended_;
    std::unique_ptr<TSlotProgress> slotProgress_;
    TSourceSearch search_;
    std::shared_ptr<const TJobSettings> job_;
    std::vector<std::unique_ptr<TSlot>> slots_;
    std::vector<std::unique_ptr<TSlot>> parked_;  // their targets wait for the commit
    int64_t parkedSinceMs_ = 0;
    // Failed under KeepGoing or while watching: passed over until they change.
    std::map<std::string, fileops::TFileIdentity> skip_;
    std::map<std::string, int64_t> waitingSince_;  // sources waiting for a claimed target
    std::set<std::string> claimedElsewhere_;       // sources another process held
    void Skip(const std::string& Source);
    std::set<std::string> deferred_;       // their target is being written by another job
    std::vector<std::string> claimedNow_;  // claims made by the search under way
    bool failed_ = false;
    bool stopping_ = false;
    bool sawYoung_ = false;
    int32_t filesProcessed_ = 0;
};
