// SPDX-License-Identifier: GPL-3.0-or-later
// The slots of a batch. Kept in one file (over 400 lines): the search's gate, the claims, the
// free space the running jobs will still take and the summed progress all read the slots.
#include "batchrunner.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "fileops.h"

namespace {

// The device holding Path's directory (0 unknown).
dev_t DeviceOf(const std::string& Path) {
    struct stat st {};
    const std::string dir = fileops::DirectoryPart(Path);
    return ::stat(dir.empty() ? "." : dir.c_str(), &st) == 0 ? st.st_dev : 0;
}

}  // namespace

// What the slots' job controls report: the files done and passed over go on to the front
// end (each passed-over file once, whichever slot's search met it); the progress of single
// jobs is summed by the runner instead.
class TSlotProgress : public IProgress {
  public:
    explicit TSlotProgress(IProgress& Target) : target_(Target) {}
    void JobDisplayChanged() override { target_.JobDisplayChanged(); }
    void FileDone(const std::string& Source, const std::string& Target, bool Skipped, int64_t Bytes,
                  int32_t ElapsedMs) override {
        target_.FileDone(Source, Target, Skipped, Bytes, ElapsedMs);
    }
    void PassedOver(const std::string& Source, const std::string& Reason) override {
        if (reported_.insert(Source).second) target_.PassedOver(Source, Reason);
    }
    void SourceChanged(const std::string& Source, const std::string& Text) override {
        target_.SourceChanged(Source, Text);
    }
    void FileEnded(const TFileOutcome& Outcome) override { target_.FileEnded(Outcome); }

  private:
    IProgress& target_;
    std::set<std::string> reported_;
};

struct TBatchRunner::TSlot {
    std::unique_ptr<TJobControl> control;
    // The running job's source and target as the search named them, and the device that
    // will hold the target.
    std::string source, target;
    dev_t targetDevice = 0;
    int64_t sourceSize = 0;  // as the search measured it
};

TBatchRunner::TBatchRunner(TSettings& Settings, IMessages& Messages, IProgress& Progress,
                           IClock& Clock, ISound& Sound, int JobCount)
    : settings_(Settings),
      messages_(Messages),
      progress_(Progress),
      clock_(Clock),
      sound_(Sound),
      slotProgress_(std::make_unique<TSlotProgress>(Progress)),
      search_(*slotProgress_) {
    for (int i = 0; i < std::max(JobCount, 1); ++i) {
        auto slot = std::make_unique<TSlot>();
        slot->control =
            std::make_unique<TJobControl>(settings_, messages_, *slotProgress_, clock_, sound_);
        slots_.push_back(std::move(slot));
    }
}

TBatchRunner::~TBatchRunner() {
    // Targets never committed were not synced: they go, and their sources stay.
    for (auto& slot : parked_)
        if (TRecodingThread* thread = slot->control->RecodingThread()) thread->RemovePartFile();
}

void TBatchRunner::ForEachControl(const std::function<void(TJobControl&)>& Act) {
    for (auto& slot : slots_) Act(*slot->control);
}

int TBatchRunner::Running() const {
    int running = 0;
    for (const auto& slot : slots_) running += slot->control->JobState() != jsStopped;
    return running;
}

std::vector<std::string> TBatchRunner::RunningSources() const {
    std::vector<std::string> sources;
    for (const auto& slot : slots_)
        if (slot->control->JobState() != jsStopped) sources.push_back(slot->source);
    return sources;
}

namespace {

// Sweeps Dir and, where Recurse, the folders below it (never through a link, nor into
// hidden ones) of claims that no live owner holds.
void SweepTree(TClaims& Claims, const std::string& Dir, bool Recurse, int Depth = 0) {
    Claims.Sweep(Dir);
    if (!Recurse || Depth > 64) return;
    DIR* listing = ::opendir(Dir.c_str());
    if (!listing) return;
    std::vector<std::string> dirs;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        struct stat st {};
        const std::string path = fileops::AddSlash(Dir) + entry->d_name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) dirs.push_back(path);
    }
    ::closedir(listing);
    for (const std::string& dir : dirs) SweepTree(Claims, dir, true, Depth + 1);
}

}  // namespace

bool TBatchRunner::Check() {
    TJobControl& control = *slots_.front()->control;
    bool passed = control.CheckDirLists();
    for (auto check : {&TSettings::CheckSourceExtensions, &TSettings::CheckTargetExtension}) {
        if (!passed) break;
        if (const auto failure = (settings_.*check)()) {
            messages_.ShowError(failure->Message);
            passed = false;
        }
    }
    if (passed) {
        if (const auto failure = settings_.CheckTargetFormat()) {
            messages_.ShowError(failure->Message);
            passed = false;
        }
    }
    if (!passed) {
        failed_ = stopping_ = true;
        return false;
    }
    // The whole batch works with the settings as they are now.
    job_ = std::make_shared<const TJobSettings>(TJobSettings::From(settings_));
    for (auto& slot : slots_) slot->control->UseSettings(job_);
    // What killed processes and failed runs left: claims nobody holds any more.
    if (Claims) {
        for (const std::string& dir : job_->SourceDirs) SweepTree(*Claims, dir, job_->Recurse);
        for (const std::string& dir : job_->TargetDirs)
            SweepTree(*Claims, dir, job_->CreateSubdirs);
    }
    return true;
}

void TBatchRunner::Skip(const std::string& Source) {
    skip_[Source] = fileops::IdentityAt(Source);
}

void TBatchRunner::ReportLeftOver() {
    for (const std::string& source : claimedElsewhere_)
        if (fileops::Exists(source))
            slotProgress_->PassedOver(source, "is claimed by another process");
    claimedElsewhere_.clear();
}

// The search passes over what another slot is recoding, what failed under KeepGoing, what
// waits for its target to be free, and what another process has claimed.
bool TBatchRunner::MayTake(const std::string& Source) {
    if (deferred_.count(Source)) return false;
    if (const auto skipped = skip_.find(Source); skipped != skip_.end()) {
        // A failed file is tried again once it has changed (and is stable again).
        const fileops::TFileIdentity now = fileops::IdentityAt(Source);
        if (now.Size == skipped->second.Size &&
            now.Modified.tv_sec == skipped->second.Modified.tv_sec &&
            now.Modified.tv_nsec == skipped->second.Modified.tv_nsec)
            return false;
        skip_.erase(skipped);
    }
    // The search asked Ours before it looked at the file.
    if (!Claims) return true;
    switch (Claims->Claim(Source)) {
        case TClaims::TResult::Claimed:
            // Another process may have finished it just before the claim: then it is gone.
            if (fileops::ReadableSize(Source) < 0 && errno == ENOENT) {
                Claims->Release(Source);
                return false;
            }
            claimedElsewhere_.erase(Source);
            claimedNow_.push_back(Source);
            return true;
        case TClaims::TResult::Unclaimable:
            return true;
        case TClaims::TResult::Taken:
            claimedElsewhere_.insert(Source);
            break;
    }
    return false;
}

bool TBatchRunner::Ours(const std::string& Source) {
    for (const auto& slot : slots_)
        if (slot->control->JobState() != jsStopped && slot->source == Source) return true;
    for (const auto& slot : parked_)
        if (slot->source == Source) return true;
    return false;
}

// Releases the claims the last search made, but Keep's (and its target's).
void TBatchRunner::ReleaseUnused(const std::string& Keep) {
    for (const std::string& path : claimedNow_)
        if (path != Keep && Claims) Claims->Release(path);
    claimedNow_.clear();
}

void TBatchRunner::Release(TSlot& Slot) {
    if (!Claims) return;
    Claims->Release(Slot.source);
    Claims->Release(Slot.target);
}

std::vector<int64_t> TBatchRunner::MeasureFreeSpace(const TJobSettings& Job) {
    std::vector<int64_t> free;
    for (const std::string& dir : Job.TargetDirs)
        free.push_back(dir.rfind("//", 0) == 0 ? -1 : FreeSpace(dir));
    return free;
}

TGoResult TBatchRunner::StartOne(TSlot& Slot) {
    TJobControl& c = *Slot.control;
    const std::vector<int64_t> free = MeasureFreeSpace(c.Job());
    c.LastGoMessage.clear();
    try {
        try {
            do {
                c.FindSourceFile(&search_, this);
                sawYoung_ = sawYoung_ || search_.SawYoungFiles();
                c.ChooseTargetFile(&free);
                // A target another job is writing: the source waits until that job ended,
                // and then meets the target as one job after the other would.
                bool targetBusy = false;
                const std::string target = fileops::Normalise(c.TargetFile);
                for (const auto& other : slots_)
                    if (other->control->JobState() != jsStopped &&
                        fileops::Normalise(other->target) == target)
                        targetBusy = true;
                for (const auto& other : parked_)
                    if (fileops::Normalise(other->target) == target) targetBusy = true;
                if (!targetBusy && Claims && !c.TargetFile.empty()) {
                    const auto claim = Claims->Claim(c.TargetFile);
                    if (claim == TClaims::TResult::Claimed) claimedNow_.push_back(c.TargetFile);
                    targetBusy = claim == TClaims::TResult::Taken;
                }
                if (targetBusy) {
                    // Searched again when a job ends, or shortly when none runs here; a batch
                    // that does not watch waits for another process's claim only so long.
                    const int64_t now = fileops::MonotonicMs();
                    const int64_t since = waitingSince_.emplace(c.SourceFile, now).first->second;
                    if (!Watching && now - since > TargetWaitMs) {
                        slotProgress_->PassedOver(
                            c.SourceFile,
                            "its target " + c.TargetFile + " is claimed by another process");
                        Skip(c.SourceFile);
                    } else {
                        sawYoung_ = true;
                        deferred_.insert(c.SourceFile);
                    }
                    ReleaseUnused("");
                    c.SourceFile.clear();
                    continue;
                }
                waitingSince_.erase(c.SourceFile);
                c.CheckTargetFile();
                if (c.TargetFile.empty()) ReleaseUnused("");  // skipped: the source is done
            } while (c.SourceFile.empty() || c.TargetFile.empty());
            Slot.source = c.SourceFile;
            Slot.target = c.TargetFile;
            Slot.targetDevice = DeviceOf(c.TargetFile);
            Slot.sourceSize = c.SourceFileSize;
            // Claims made for this job stay until its end.
            claimedNow_.clear();
            c.StartJob([this, &Slot](TRecodingThread& Thread) {
                Thread.DeferDurability = GroupFiles > 1;
                Thread.Threads = ThreadsFor(Slot);
                Thread.OnDone = [this] {
                    std::lock_guard lock(endsMutex_);
                    ended_.notify_all();
                };
                if (BeforeJobStarts) BeforeJobStarts(Thread);
            });
            return TGoResult::Started;
        } catch (const ENoMoreFileException&) {
            sawYoung_ = sawYoung_ || search_.SawYoungFiles();
            ReleaseUnused("");
            return TGoResult::NoMoreFiles;
        }
    } catch (const std::exception& error) {
        ReleaseUnused("");
        c.LastGoMessage = error.what();
        messages_.ShowError(error.what());
        return TGoResult::Failed;
    }
}

TBatchRunner::TFill TBatchRunner::Fill() {
    deferred_.clear();
    sawYoung_ = false;
    if (Claims) Claims->Refresh();
    for (auto& slot : slots_) {
        if (stopping_) return TFill::Failed;
        if (slot->control->JobState() != jsStopped) continue;
        for (;;) {
            const TGoResult result = StartOne(*slot);
            if (result == TGoResult::Started) break;
            if (result == TGoResult::NoMoreFiles) return TFill::NoMoreFiles;
            failed_ = true;
            // A failure that belongs to one source passes it over under KeepGoing; the
            // others end the batch.
            const TJobControl& c = *slot->control;
            if ((KeepGoing || Watching) && !c.SourceFile.empty() &&
                c.LastGoMessage != "Processing was stopped !" &&
                c.LastGoMessage != EAllDirFullException().what()) {
                Skip(c.SourceFile);
                continue;
            }
            stopping_ = true;
            return TFill::Failed;
        }
    }
    return TFill::Full;
}

bool TBatchRunner::WaitForEnd(int Ms) {
    // Claims of long jobs are touched while they run, so no other host takes them over.
    if (Claims) Claims->Refresh();
    auto finished = [&] {
        for (const auto& slot : slots_) {
            const TRecodingThread* thread = slot->control->RecodingThread();
            if (thread && thread->Finished()) return true;
        }
        return false;
    };
    if (finished()) return true;
    std::unique_lock lock(endsMutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(Ms), [&] { return finished(); });
}

bool TBatchRunner::Reap(int Ms) {
    WaitForEnd(Ms);
    bool ended = false;
    for (auto& slot : slots_) {
        TRecodingThread* thread = slot->control->RecodingThread();
        if (!thread || !thread->Finished()) continue;
        thread->WaitFor();
        ended = true;
        if (thread->AwaitingCommit())
            Park(slot);
        else
            Finish(*slot);
    }
    return ended;
}

void TBatchRunner::Finish(TSlot& Slot) {
    TJobControl& c = *Slot.control;
    if (BeforeJobDone) BeforeJobDone(*c.RecodingThread());
    const std::string source = c.SourceFile;
    if (c.RecodingThreadDone()) {
        ++filesProcessed_;
    } else if (c.LastOutcome() == TJobOutcome::SourceChanged) {
        // Found again once it is stable; a batch that does not watch waits for it.
        sawYoung_ = true;
    } else if (c.LastOutcome() != TJobOutcome::SourceGone) {
        failed_ = true;
        if (KeepGoing || Watching)
            Skip(source);
        else
            stopping_ = true;
    }
    Release(Slot);
}

void TBatchRunner::Park(std::unique_ptr<TSlot>& Slot) {
    Slot->control->StopClock();
    if (parked_.empty()) parkedSinceMs_ = fileops::MonotonicMs();
    auto fresh = std::make_unique<TSlot>();
    const TJobControl& old = *Slot->control;
    fresh->control =
        std::make_unique<TJobControl>(settings_, messages_, *slotProgress_, clock_, sound_);
    fresh->control->UseSettings(job_);
    fresh->control->CheckBoxStopAfter = old.CheckBoxStopAfter;
    fresh->control->CheckBoxAction = old.CheckBoxAction;
    parked_.push_back(std::exchange(Slot, std::move(fresh)));
}

int64_t TBatchRunner::MsUntilCommit() const {
    if (parked_.empty()) return -1;
    return std::max<int64_t>(0, parkedSinceMs_ + GroupMs - fileops::MonotonicMs());
}

bool TBatchRunner::CommitIfDue() {
    if (parked_.empty()) return false;
    if (static_cast<int>(parked_.size()) < GroupFiles && MsUntilCommit() > 0) return false;
    return Commit();
}

bool TBatchRunner::Commit() {
    if (parked_.empty()) return false;
    std::vector<TRecodingThread*> jobs;
    for (const auto& slot : parked_) jobs.push_back(slot->control->RecodingThread());
    CommitTogether(jobs);
    // In the order the jobs ended, each as if it had completed on its own just now.
    std::vector<std::unique_ptr<TSlot>> committed = std::move(parked_);
    parked_.clear();
    for (auto& slot : committed) Finish(*slot);
    return true;
}

void TBatchRunner::StopAll(bool RemoveParts) {
    for (auto& slot : slots_) {
        TJobControl& c = *slot->control;
        if (c.JobState() == jsStopped) continue;
        c.StopAndDiscard(RemoveParts);
        Release(*slot);
    }
    // Those complete already are finished as they would have been without the group.
    Commit();
}

int TBatchRunner::ThreadsFor(const TSlot& Slot) const {
    if (job_ && job_->Threads > 0) return job_->Threads;
    int others = 0;
    for (const auto& slot : slots_)
        others += slot.get() != &Slot && slot->control->JobState() != jsStopped;
    return std::max(1, UsableProcessors() - others);
}

std::vector<TRunningJob> TBatchRunner::RunningJobs() const {
    std::vector<TRunningJob> jobs;
    for (const auto& slot : slots_) {
        const TJobControl& c = *slot->control;
        if (c.JobState() == jsStopped) continue;
        const TRecodingThread* thread = c.RecodingThread();
        const int64_t size = thread && thread->SourceSize() > 0 ? thread->SourceSize() : 0;
        const int percent = size > 0 ? static_cast<int>(static_cast<double>(thread->BytesRead()) *
                                                        100.0 / static_cast<double>(size))
                                     : 0;
        jobs.push_back({slot->source, slot->target, std::clamp(percent, 0, 100)});
    }
    return jobs;
}

int64_t TBatchRunner::StillToWrite(const TSlot& Slot) const {
    const TRecodingThread& thread = *Slot.control->RecodingThread();
    struct stat st {};
    const int64_t written =
        ::stat(thread.PartFileName().c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
    const int64_t read = thread.BytesRead();
    const int64_t size = thread.SourceSize() > 0 ? thread.SourceSize() : Slot.sourceSize;
    // Until the job has read something, a target as large as its source.
    int64_t total = size > 0 ? size : 0;
    if (read > 0 && written > 0)
        total = static_cast<int64_t>(static_cast<double>(written) * static_cast<double>(size) /
                                     static_cast<double>(read));
    return std::max<int64_t>(total - written, 0);
}

// The free space a new target would see: what the file system reports less what the running
// jobs on the same file system will still write.
int64_t TBatchRunner::FreeSpace(const std::string& Dir) {
    int64_t free = FreeSpaceOf ? FreeSpaceOf(Dir) : fileops::FreeSpace(Dir);
    if (free < 0) return free;
    struct stat st {};
    const dev_t device = ::stat(Dir.c_str(), &st) == 0 ? st.st_dev : 0;
    for (const auto& slot : slots_) {
        const TRecodingThread* thread = slot->control->RecodingThread();
        if (thread && slot->control->JobState() != jsStopped && slot->targetDevice == device &&
            device != 0)
            free -= StillToWrite(*slot);
    }
    return std::max<int64_t>(free, 0);
}

void TBatchRunner::UpdateProgress() {
    TProgressFigures sum;
    double rate = 0;
    int64_t remaining = 0;
    int64_t longestMs = 0;
    bool any = false;
    for (auto& slot : slots_) {
        TJobControl& c = *slot->control;
        if (c.JobState() != jsRecoding) continue;
        c.UpdateProgress();
        const TProgressFigures& f = c.Figures();
        any = true;
        sum.BytesRead += f.BytesRead;
        sum.SourceSize += f.SourceSize;
        longestMs = std::max<int64_t>(longestMs, f.ElapsedMs);
        if (f.ElapsedMs > 100) {
            sum.HasRates = true;
            rate += static_cast<double>(f.BytesRead) / (f.ElapsedMs * 0.001);
            if (f.BytesRead > 0)
                remaining = std::max<int64_t>(
                    remaining,
                    static_cast<int64_t>(static_cast<double>(f.SourceSize - f.BytesRead) /
                                         static_cast<double>(f.BytesRead) * (f.ElapsedMs * 0.001)));
        }
        if (Running() == 1) {
            // One job: its own figures, exactly as the single job shows them.
            progress_.UpdateProgress(f);
            return;
        }
    }
    if (!any) return;
    sum.ElapsedMs = static_cast<int32_t>(longestMs);
    sum.HasPercent = sum.SourceSize > 0;
    if (sum.HasPercent) {
        sum.Percent = static_cast<int>(static_cast<double>(sum.BytesRead) /
                                       static_cast<double>(sum.SourceSize) * 100.0);
        sum.PercentText = std::to_string(sum.Percent) + "%";
        sum.Jobs = Running();
    }
    sum.Time = FormatTime(longestMs / 1000);
    sum.RemainingTime = FormatTime(remaining);
    sum.TotalTime = FormatTime(longestMs / 1000 + remaining);
    sum.BytesPerSec = FormatThousands(static_cast<int64_t>(rate));
    progress_.UpdateProgress(sum);
}
