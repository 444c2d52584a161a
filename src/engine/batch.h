// SPDX-License-Identifier: GPL-3.0-or-later
// The batch loop both front ends run: it starts jobs in the runner's idle slots, finishes the
// ones that ended, searches again shortly for files that were still young, waits for new files
// in a hot folder, stops after the running files or cancels them. It never blocks on its own:
// the caller decides how to wait (sonbar-cli on a condition and a pipe, the windows on their
// event loop) from what each turn answers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "batchrunner.h"
#include "watch.h"

class TShard;
class TSourceList;

class TBatch {
  public:
    struct TOptions {
        int Jobs = 1;
        // A hot folder: with nothing left, wait for new files instead of ending.
        bool Watch = false;
        // A file whose job fails is passed over instead of ending the batch.
        bool KeepGoing = false;
        // Claims against other processes sharing the folders; null claims nothing.
        TClaims* Claims = nullptr;
        // Sources taken from a list instead of searched for; null searches the folders.
        TSourceList* List = nullptr;
        // Only this shard's sources are taken; null takes all.
        const TShard* Shard = nullptr;
        // Targets made durable together, up to this many at once (1: each on its own).
        int GroupFiles = 64;
    };

    TBatch(TSettings& Settings, IMessages& Messages, IProgress& Progress, IClock& Clock,
           ISound& Sound, TOptions Options);
    ~TBatch();
    TBatch(const TBatch&) = delete;
    TBatch& operator=(const TBatch&) = delete;

    // What the caller does after a turn.
    enum class TNext {
        WaitForJobs,   // jobs run (or are suspended): wait for one to end (WaitForJob) or
                       // for Resume, then turn again
        SearchSoon,    // files still young or targets busy: turn again after RetryMs
        WaitForFiles,  // a hot folder with nothing to do: turn again after WaitMs, or when
                       // the hot folder's watch sees a file arrive
        Finished       // the batch is over; Failed() says how
    };
    static constexpr int RetryMs = 250;

    // The checks of Go, once at the start; false when one failed (its message was shown).
    bool Start();
    // Finishes the jobs that ended and starts new ones in the idle slots.
    TNext Turn();
    // Waits up to Ms milliseconds for a running job to end, or for the time of the targets
    // waiting to be committed together to be up; whether the caller should turn now.
    bool WaitForJob(int Ms);
    // Milliseconds until the waiting targets are due to be committed (-1: none waits); a
    // front end that waits on its event loop turns then.
    int64_t MsUntilCommit() const { return runner_.MsUntilCommit(); }
    // Sums the running jobs' progress and hands it to the progress seam.
    void UpdateProgress() { runner_.UpdateProgress(); }

    // No new job starts; the batch finishes when the running ones have ended.
    void SetStopAfter(bool On) { stopAfter_ = On; }
    bool StopAfter() const { return stopAfter_; }
    void Suspend();
    void Resume();
    bool Suspended() const { return suspended_; }
    // Ends every running job at once; their .part files are removed where RemoveParts, and
    // each source stays. Returns the sources that were running.
    std::vector<std::string> Cancel(bool RemoveParts = true);

    int Running() const { return runner_.Running(); }
    // The files under way: running, or written and waiting to be made durable with others.
    int UnderWay() const { return runner_.Running() + runner_.Uncommitted(); }
    std::vector<TRunningJob> RunningJobs() const;
    int32_t FilesProcessed() const { return runner_.FilesProcessed(); }
    // A failure happened, or a listed source was left.
    bool Failed() const { return failed_ || runner_.Failed(); }
    // Listed sources that were neither recoded nor gone when the batch finished.
    const std::vector<std::string>& ListedLeft() const { return listedLeft_; }
    // How long a hot folder waits before it searches again (at least a second).
    int WaitMs() const;
    // The hot folder's watch (null unless watching); its descriptor wakes a caller's poll.
    TWatch* HotFolder() const { return hot_.get(); }
    // Called on a job's own thread when it ends (a front end posts a turn from there).
    std::function<void()> OnJobEnded;

    TBatchRunner& Runner() { return runner_; }

  private:
    TNext Finish(bool Failure);

    TSettings& settings_;
    IMessages& messages_;
    TOptions options_;
    TBatchRunner runner_;
    std::unique_ptr<TWatch> hot_;
    std::vector<std::string> listedLeft_;
    bool stopAfter_ = false;
    bool filled_ = false;  // the first fill has been made
    bool suspended_ = false;
    bool failed_ = false;
    bool finished_ = false;
};
