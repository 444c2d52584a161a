// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch.h"

#include <algorithm>

#include "sourcelist.h"

TBatch::TBatch(TSettings& Settings, IMessages& Messages, IProgress& Progress, IClock& Clock,
               ISound& Sound, TOptions Options)
    : settings_(Settings),
      messages_(Messages),
      options_(std::move(Options)),
      runner_(Settings, Messages, Progress, Clock, Sound, options_.Jobs) {
    runner_.KeepGoing = options_.KeepGoing;
    runner_.Watching = options_.Watch;
    runner_.Claims = options_.Claims;
    runner_.GroupFiles = std::max(1, options_.GroupFiles);
    runner_.Search().List = options_.List;
    runner_.Search().Shard = options_.Shard;
    runner_.BeforeJobStarts = [this](TRecodingThread& Thread) {
        if (!OnJobEnded) return;
        // The runner's own wake-up first, then the front end's.
        Thread.OnDone = [this, wake = std::move(Thread.OnDone)] {
            if (wake) wake();
            OnJobEnded();
        };
    };
}

TBatch::~TBatch() = default;

int TBatch::WaitMs() const {
    // At least a second, as the windows' timer ticks, so that a waiting time of 0 does not
    // spin.
    return 1000 * std::max(1, settings_.WaitSecondsValue());
}

bool TBatch::Start() {
    if (!runner_.Check()) return false;
    if (options_.Watch)
        hot_ = std::make_unique<TWatch>(
            runner_.Job()->SourceDirs, runner_.Job()->Recurse,
            [job = runner_.Job()](const std::string& Name) { return IsSourceName(*job, Name); },
            [this](const std::string& Why) {
                messages_.ShowError(Why + "; searching again every " +
                                    std::to_string(WaitMs() / 1000) + " seconds instead");
            });
    return true;
}

TBatch::TNext TBatch::Turn() {
    if (finished_) return TNext::Finished;
    runner_.Reap(0);
    // While suspended nothing new starts; the search goes on when the jobs are resumed.
    if (suspended_) {
        runner_.Commit();
        return TNext::WaitForJobs;
    }
    TBatchRunner::TFill found = TBatchRunner::TFill::Failed;
    // Stop after: the jobs of the first fill still start, as Go starts a file.
    if ((!stopAfter_ || !filled_) && !runner_.Stopping()) {
        found = runner_.Fill();
        filled_ = true;
    }
    // The targets written wait for others only while more files are being recoded.
    if (found != TBatchRunner::TFill::Full || runner_.Running() == 0 || stopAfter_)
        runner_.Commit();
    else
        runner_.CommitIfDue();
    if (runner_.Running() > 0) return TNext::WaitForJobs;
    if (stopAfter_ && !runner_.Stopping()) return Finish(false);
    if (found != TBatchRunner::TFill::NoMoreFiles || runner_.Stopping()) return Finish(true);
    // Files copied in just before, or waiting for a target another process writes.
    if (runner_.SawYoungFiles()) return TNext::SearchSoon;
    if (options_.List) {
        listedLeft_ = options_.List->Left();
        if (!listedLeft_.empty()) return Finish(true);
    }
    if (!options_.Watch) {
        runner_.ReportLeftOver();
        return Finish(false);
    }
    return TNext::WaitForFiles;
}

TBatch::TNext TBatch::Finish(bool Failure) {
    finished_ = true;
    failed_ = failed_ || Failure;
    return TNext::Finished;
}

bool TBatch::WaitForJob(int Ms) {
    const int64_t due = runner_.MsUntilCommit();
    if (due < 0 || due >= Ms) return runner_.WaitForEnd(Ms);
    return runner_.WaitForEnd(static_cast<int>(due)) || runner_.MsUntilCommit() == 0;
}

void TBatch::Suspend() {
    suspended_ = true;
    runner_.ForEachControl([](TJobControl& Control) {
        if (Control.JobState() == jsRecoding) Control.SetJobState(jsSuspended);
    });
}

void TBatch::Resume() {
    suspended_ = false;
    runner_.ForEachControl([](TJobControl& Control) {
        if (Control.JobState() == jsSuspended) Control.SetJobState(jsRecoding);
    });
}

std::vector<std::string> TBatch::Cancel(bool RemoveParts) {
    std::vector<std::string> sources = runner_.RunningSources();
    runner_.StopAll(RemoveParts);
    suspended_ = false;
    finished_ = true;
    return sources;
}

std::vector<TRunningJob> TBatch::RunningJobs() const {
    return runner_.RunningJobs();
}
