// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobcontrol.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "batchrecord.h"
#include "fileops.h"

std::string FormatTime(int64_t Seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld", static_cast<long long>(Seconds / 3600),
                  static_cast<long long>((Seconds % 3600) / 60),
                  static_cast<long long>(Seconds % 60));
    return text;
}

std::string FormatThousands(int64_t Value, char Separator) {
    const std::string digits = std::to_string(Value);
    std::string text;
    const std::size_t length = digits.size();
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t rest = length - i;
        if (i > 0 && rest % 3 == 0 && rest <= 9) text += Separator;
        text += digits[i];
    }
    return text;
}

int32_t TSystemClock::MsSinceMidnight() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    ::localtime_r(&now.tv_sec, &local);
    return static_cast<int32_t>((local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 +
                                now.tv_nsec / 1000000);
}

TJobControl::TJobControl(TSettings& Settings, IMessages& Messages, IProgress& Progress,
                         IClock& Clock, ISound& Sound)
    : settings_(Settings),
      messages_(Messages),
      progress_(Progress),
      clock_(Clock),
      sound_(Sound),
      search_(Progress),
      chooser_(Messages, Progress) {}

TJobControl::~TJobControl() {
    if (thread_) {
        thread_->Terminate();
        thread_->WaitFor();
    }
}

void TJobControl::ShowMessage(const std::string& Text) {
    messages_.ShowError(Text);
}

// Shows a failed check's message (not while starting up, unless it must) and says whether
// the check passed.
bool TJobControl::Check(const std::optional<TCheckFailure>& Failure, bool EvenWhileStartingUp) {
    if (!Failure) return true;
    if (!StartingUp || EvenWhileStartingUp) ShowMessage(Failure->Message);
    return false;
}

void TJobControl::ResetJobDisplay() {
    // Built whole and moved in: GCC 12 mistakes assigning short literals for an overlap.
    TProgressFigures reset;
    reset.PercentText = std::string("0%");
    reset.Time = FormatTime(0);
    reset.RemainingTime = reset.Time;
    reset.TotalTime = reset.Time;
    reset.BytesPerSec = std::string("0");
    figures_ = std::move(reset);
}

void TJobControl::StartJob(const std::function<void(TRecodingThread&)>& Prepare) {
    prepare_ = Prepare;
    SetJobState(jsRecoding);
    prepare_ = nullptr;
}

void TJobControl::StartThread() {
    const TJobSettings& job = Job();
    thread_ = std::make_unique<TRecodingThread>(SourceFile, TargetFile, job.BufferBytes,
                                                job.TargetFormat.get(), job.HighQuality);
    thread_->ReplaceTarget = target_.Replace;
    // The job writes into the directory the choice opened, whatever its name leads to now.
    if (target_.Dir() >= 0) thread_->SetTargetDirectory(target_.TakeDir());
    thread_->BareStream = !job.WavHeader;
    // One job alone may take every processor for a long file (a batch says otherwise).
    thread_->Threads = job.Threads > 0 ? job.Threads : UsableProcessors();
    thread_->SetPriority(settings_.Priority);
    elapsedMs_ = 0;
    clockStopped_ = false;
    figures_ = TProgressFigures{};
    progress_.SetProgressMax(0);
    ResumeJob();
    // Last before the start, so that what the hook sets (a suspension) holds.
    if (prepare_) prepare_(*thread_);
    if (OnThreadCreated) OnThreadCreated(*thread_);
    thread_->Start();
}

void TJobControl::ResumeJob() {
    lastTick_ = clock_.MsSinceMidnight();
    if (thread_) thread_->Resume();
}

void TJobControl::SuspendJob() {
    UpdateProgress();
    if (thread_) thread_->Suspend();
}

void TJobControl::SetJobState(TJobState Requested) {
    switch (jobState_) {
        case jsStopped:
            if (Requested == jsRecoding) {
                jobState_ = jsRecoding;
                StartThread();
            } else if (Requested == jsWaiting) {
                jobState_ = jsWaiting;
                waitCountdown_ = Job().WaitSeconds;
            }
            break;
        case jsRecoding:
            if (Requested == jsStopped) {
                jobState_ = jsStopped;  // the thread's own end is ignored from here on
                const bool stopAfter = CheckBoxStopAfter;
                CheckBoxStopAfter = true;
                messages_.ShowInfo("Stopping current job ...");
                if (thread_) {
                    thread_->Terminate();
                    thread_->WaitFor();
                    thread_.reset();
                }
                messages_.CloseInfo();
                CheckBoxStopAfter = stopAfter;
            } else if (Requested == jsSuspended) {
                SuspendJob();
                jobState_ = jsSuspended;
            }
            break;
        case jsSuspended:
            if (Requested == jsRecoding) {
                ResumeJob();
                jobState_ = jsRecoding;
            }
            break;
        case jsWaiting:
            if (Requested == jsStopped) jobState_ = jsStopped;
            break;
    }
    if (jobState_ == jsStopped) ResetJobDisplay();
    RefreshTargetDirs();
    progress_.JobDisplayChanged();
}

TGoResult TJobControl::ButtonGoClick() {
    LastGoMessage.clear();
    LastGoResult = Go();
    return LastGoResult;
}

TGoResult TJobControl::Go() {
    GoWhenIdle = false;
    if (jobState_ == jsWaiting) SetJobState(jsStopped);
    if (jobState_ != jsStopped) return TGoResult::NotStopped;
    if (!CheckDirLists() || !Check(settings_.CheckSourceExtensions()) ||
        !Check(settings_.CheckTargetExtension()) || !Check(settings_.CheckTargetFormat(), true))
        return TGoResult::Invalid;
    TakeSettings();
    std::string about;  // the target file being checked, which a failure then concerns
    try {
        try {
            do {
                about.clear();
                FindSourceFile();
                ChooseTargetFile();
                about = TargetFile;
                CheckTargetFile();
            } while (SourceFile.empty() || TargetFile.empty());
            SetJobState(jsRecoding);
            return TGoResult::Started;
        } catch (const ENoMoreFileException&) {
            if (Job().TryAgain) {
                SetJobState(jsWaiting);
                return TGoResult::Waiting;
            }
            progress_.JobDisplayChanged();
            return TGoResult::NoMoreFiles;
        }
    } catch (const std::exception& error) {
        LastGoMessage = error.what();
        if (about.empty())
            ShowMessage(error.what());
        else
            messages_.ShowErrorAbout(about, error.what());
        return TGoResult::Failed;
    }
}

void TJobControl::TimerWaitForFileTimer() {
    if (jobState_ != jsWaiting) return;
    --waitCountdown_;
    if (waitCountdown_ <= 0)
        ButtonGoClick();
    else
        SetJobState(jsWaiting);
}

void TJobControl::TrackBarPriorityChange(int Position) {
    settings_.Priority = Position;
    if (jobState_ == jsRecoding && thread_) thread_->SetPriority(Position);
}

void TJobControl::ButtonCancelClick() {
    if (jobState_ == jsWaiting) {
        SetJobState(jsStopped);
        return;
    }
    if (jobState_ != jsRecoding && jobState_ != jsSuspended) return;
    if (messages_.AskAbout(SourceFile, "Do You really want to stop the current job ?", false) !=
        TAnswer::Yes)
        return;
    if (jobState_ != jsRecoding && jobState_ != jsSuspended) return;
    const TAnswer remove = messages_.AskAbout(
        TargetFile, "Do You want the incomplete target file to be deleted ?", true);
    if (remove == TAnswer::Cancel) return;
    // A job that ended while the questions were open is complete: it is handled as such.
    if (thread_ && thread_->Finished()) {
        RecodingThreadDone();
        GoWhenIdle = false;
    }
    if (jobState_ == jsRecoding || jobState_ == jsSuspended) {
        std::unique_ptr<TRecodingThread> thread = std::move(thread_);
        if (thread) {
            thread->Resume();
            thread->Terminate();
            thread->WaitFor();
        }
        if (jobState_ == jsSuspended) SetJobState(jsRecoding);
        SetJobState(jsStopped);
        // The incomplete target only ever exists as the .part file; No keeps it there. A
        // job that completed meanwhile has none left to remove.
        if (thread && thread->Succeeded()) {
            messages_.ShowInformation(
                "The job meanwhile completed ! The target file was NOT deleted !");
        } else if (remove == TAnswer::Yes && thread && !thread->RemovePartFile()) {
            messages_.ShowErrorAbout(TargetFile,
                                     "The incomplete target file could not be deleted !");
        }
    } else {
        messages_.ShowInformation(
            "The job meanwhile completed ! The target file was NOT deleted !");
    }
}

bool TJobControl::RecodingThreadDone() {
    // A job suspended during its last block ends all the same: its end is handled as any.
    if ((jobState_ != jsRecoding && jobState_ != jsSuspended) || !thread_ || !thread_->Finished())
        return false;
    const bool wasSuspended = jobState_ == jsSuspended;
    thread_->WaitFor();
    std::unique_ptr<TRecodingThread> thread = std::move(thread_);
    if (wasSuspended) lastTick_ = clock_.MsSinceMidnight();  // its clock stood still
    UpdateProgressFrom(*thread);
    lastAudioSeconds_ = thread->AudioSeconds();
    jobState_ = jsStopped;
    SetJobState(jsStopped);
    lastOutcome_ = TJobOutcome::Failed;
    const TKoWaveFormat* format = Job().TargetFormat.get();
    // Named before the after-action deletes or moves the source.
    TFileOutcome outcome =
        MakeOutcome(TFileOutcome::TKind::Recoded, SourceFile, TargetFile, format);
    AddJobFacts(outcome, *thread, lastElapsedMs_);
    // A source that changed is recoded again once stable; on the record it is passed over.
    auto sourceChanged = [&] {
        lastOutcome_ = TJobOutcome::SourceChanged;
        outcome.Kind = TFileOutcome::TKind::PassedOver;
        outcome.Message = kSourceChangedText;
        progress_.FileEnded(outcome);
        progress_.SourceChanged(SourceFile, kSourceChangedText);
        if (!CheckBoxStopAfter && !wasSuspended) GoWhenIdle = true;
        return false;
    };
    if (!thread->Succeeded()) {
        if (thread->FailedStep() == TRecodeStep::SourceChanged) return sourceChanged();
        if (thread->FailedStep() == TRecodeStep::OpenSource && thread->ErrorNumber() == ENOENT) {
            // Taken by another process between the search and the job: no news.
            lastOutcome_ = TJobOutcome::SourceGone;
            if (!CheckBoxStopAfter && !wasSuspended) GoWhenIdle = true;
            return false;
        }
        outcome.Kind = TFileOutcome::TKind::Failed;
        progress_.FileEnded(outcome);
        if (!thread->ErrorText().empty()) messages_.ShowJobError(SourceFile, thread->ErrorText());
        messages_.ShowErrorAbout(SourceFile,
                                 "The current job could not be completed successfully !");
        return false;
    }
    try {
        ApplyAfterAction(false, &thread->SourceIdentity());
        lastOutcome_ = TJobOutcome::Recoded;
        progress_.FileDone(SourceFile, TargetFile, false, thread->SourceSize(), lastElapsedMs_);
        progress_.FileEnded(outcome);
        SourceFile.clear();
        TargetFile.clear();
        ++filesProcessed_;
        progress_.JobDisplayChanged();
        if (Job().DoneSound == TDoneSound::Beep) sound_.Beep();
        if (Job().DoneSound == TDoneSound::WavFile) sound_.PlayWav(Job().DoneSoundFile);
        // A job suspended near its end stops the batch there, as Suspend asked.
        if (!CheckBoxStopAfter && !wasSuspended) GoWhenIdle = true;
    } catch (const ESourceChanged&) {
        return sourceChanged();
    } catch (const std::exception& error) {
        outcome.Kind = TFileOutcome::TKind::Failed;
        outcome.Message = error.what();
        progress_.FileEnded(outcome);
        ShowMessage(error.what());
        return false;
    }
    return true;
}

bool TJobControl::StopAndDiscard(bool RemovePart) {
    if (jobState_ != jsRecoding && jobState_ != jsSuspended) return true;
    std::unique_ptr<TRecodingThread> thread = std::move(thread_);
    if (thread) {
        thread->Terminate();
        thread->WaitFor();
    }
    if (jobState_ == jsSuspended) jobState_ = jsRecoding;
    SetJobState(jsStopped);
    return !thread || !RemovePart || thread->RemovePartFile();
}

bool TJobControl::FormCloseQuery() {
    if (jobState_ == jsRecoding || jobState_ == jsSuspended) {
        ButtonCancelClick();
        return jobState_ == jsStopped;
    }
    return true;
}

void TJobControl::UpdateProgress() {
    // A suspended job's clock stands still until it is resumed.
    if (thread_ && jobState_ == jsRecoding) UpdateProgressFrom(*thread_);
}

void TJobControl::StopClock() {
    if (thread_ && !clockStopped_) UpdateProgressFrom(*thread_);
    clockStopped_ = true;
}

void TJobControl::UpdateProgressFrom(TRecodingThread& Thread) {
    const int32_t now = clock_.MsSinceMidnight();
    if (!clockStopped_)
        elapsedMs_ += now < lastTick_ ? now + 86400000 - lastTick_ : now - lastTick_;
    lastTick_ = now;
    lastElapsedMs_ = elapsedMs_;
    TProgressFigures& f = figures_;
    f.SourceSize = Thread.SourceSize();
    f.BytesRead = Thread.BytesRead();
    f.ElapsedMs = elapsedMs_;
    f.HasPercent = f.SourceSize > 0;
    if (f.HasPercent) {
        f.Percent = static_cast<int>(static_cast<double>(f.BytesRead) /
                                     static_cast<double>(f.SourceSize) * 100.0);
        f.PercentText = std::to_string(f.Percent) + "%";
        f.Source = Thread.SourceFileName();
    }
    const int64_t seconds = elapsedMs_ / 1000;
    f.Time = FormatTime(seconds);
    if (elapsedMs_ > 100) {
        const double x = elapsedMs_ * 0.001;
        int64_t total = 0, remaining = 0;
        if (f.BytesRead > 0) {
            const double t =
                static_cast<double>(f.SourceSize) / static_cast<double>(f.BytesRead) * x;
            if (std::isfinite(t)) total = static_cast<int64_t>(t);
            remaining = total - seconds;
        }
        const double rate = static_cast<double>(f.BytesRead) / x;
        f.HasRates = std::isfinite(rate);
        if (f.HasRates) {
            f.RemainingTime = FormatTime(remaining);
            f.TotalTime = FormatTime(total);
            f.BytesPerSec = FormatThousands(static_cast<int64_t>(rate));
        }
    }
    progress_.UpdateProgress(f);
}

bool TJobControl::CheckDirLists() {
    if (settings_.SourceDirs.empty() ||
        (settings_.DirectoryMode() != TDirectoryMode::Rebound && settings_.TargetDirs.empty())) {
        ShowMessage("Please specify at least one directory !");
        return false;
    }
    return true;
}

void TJobControl::RefreshTargetDirs() {
    targetFree_.clear();
    for (const std::string& dir : settings_.TargetDirs)
        targetFree_.push_back(dir.rfind("//", 0) == 0 ? -1
                              : FreeSpaceOf           ? FreeSpaceOf(dir)
                                                      : fileops::FreeSpace(dir));
}
