// SPDX-License-Identifier: GPL-3.0-or-later
// The main window with several jobs at once ("Jobs" above 1, or Automatic on a machine with
// several processors): Go runs the engine's batch loop on the window's event loop. A job's
// end is posted from its thread; a hot folder waits for inotify's word or the countdown;
// Suspend, Resume, Cancel and "Stop after finishing this file" act on every running job, and
// Cancel asks its questions once.
#include <QApplication>
#include <QCheckBox>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <thread>

#include "FMain.h"
#include "batch.h"
#include "batchfiles.h"
#include "claims.h"
#include "jobpanel.h"
#include "jobtexts.h"

int TFormMain::JobCount() const {
    if (settings_.Jobs > 0) return settings_.Jobs;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

TJobState TFormMain::BatchState() const {
    if (!batch_) return jsStopped;
    if (batchWaiting_) return jsWaiting;
    return batch_->Suspended() ? jsSuspended : jsRecoding;
}

void TFormMain::BatchGo() {
    if (batch_ && !batchWaiting_) return;  // running: Go is not enabled
    if (batch_) {
        // Go while waiting searches at once.
        BatchTurn();
        return;
    }
    ListViewFiles->clear();
    ended_[0] = ended_[1] = ended_[2] = 0;
    if (!OpenRecord()) return;
    if (!claims_) claims_ = std::make_unique<TClaims>();
    TBatch::TOptions options;
    options.Jobs = JobCount();
    options.Watch = settings_.Option(CheckBoxTryAgain);
    options.KeepGoing = settings_.KeepGoing;
    options.Claims = claims_.get();
    batch_ = std::make_unique<TBatch>(settings_, JobMessages(), static_cast<IProgress&>(*this),
                                      *clock_, *sound_, std::move(options));
    if (!batch_->Start()) {
        batch_.reset();
        FocusMissingDirectory();
        return;
    }
    StartBatchCount();
    const uint64_t serial = ++batchSerial_;
    batch_->OnJobEnded = [this, serial] {
        QMetaObject::invokeMethod(
            this,
            [this, serial] {
                if (serial == batchSerial_ && batch_) BatchTurn();
            },
            Qt::QueuedConnection);
    };
    batch_->SetStopAfter(CheckBoxStopAfter->isChecked());
    batch_->Runner().ForEachControl([this](TJobControl& Control) {
        Control.CheckBoxStopAfter = CheckBoxStopAfter->isChecked();
        Control.CheckBoxAction = CheckBoxAction->isChecked();
    });
    if (TWatch* hot = batch_->HotFolder(); hot && hot->Descriptor() >= 0) {
        hotNotifier_ = new QSocketNotifier(hot->Descriptor(), QSocketNotifier::Read, this);
        connect(hotNotifier_, &QSocketNotifier::activated, this, [this] {
            if (!batch_ || !batch_->HotFolder()) return;
            if (batch_->HotFolder()->Wait(0) == TWatch::TWake::Arrived && batchWaiting_)
                BatchTurn();
        });
    }
    BatchTurn();
}

void TFormMain::BatchTurn() {
    if (!batch_) return;
    // At the start, and after waiting: what is there now, before the jobs take their files.
    if (recount_ || batchWaiting_) CountFiles();
    batchWaiting_ = false;
    TimerWaitForFile->stop();
    switch (batch_->Turn()) {
        case TBatch::TNext::WaitForJobs:
            if (const int64_t due = batch_->MsUntilCommit(); due >= 0) {
                // Targets written wait to be made durable with others, but not for long.
                const uint64_t serial = batchSerial_;
                QTimer::singleShot(static_cast<int>(due) + 1, this, [this, serial] {
                    if (serial == batchSerial_ && batch_) BatchTurn();
                });
            }
            break;
        case TBatch::TNext::SearchSoon: {
            const uint64_t serial = batchSerial_;
            QTimer::singleShot(TBatch::RetryMs, this, [this, serial] {
                if (serial == batchSerial_ && batch_ && batch_->Running() == 0) BatchTurn();
            });
            break;
        }
        case TBatch::TNext::WaitForFiles:
            batchWaiting_ = true;
            waitCountdown_ = batch_->WaitMs() / 1000;
            if (realWaitTimer_) TimerWaitForFile->start();
            break;
        case TBatch::TNext::Finished:
            BatchEnded();
            return;
    }
    BatchDisplayChanged();
}

void TFormMain::BatchEnded() {
    batchFiles_ += batch_->FilesProcessed();
    ++batchSerial_;
    delete hotNotifier_;
    hotNotifier_ = nullptr;
    batch_.reset();
    batchWaiting_ = false;
    TimerWaitForFile->stop();
    BatchDisplayChanged();
    NotifyIfEnded();
}

void TFormMain::BatchCountdown() {
    if (!batchWaiting_) return;
    if (--waitCountdown_ <= 0)
        BatchTurn();
    else
        BatchDisplayChanged();
}

void TFormMain::BatchSuspend() {
    if (BatchState() != jsRecoding) return;
    batch_->Suspend();
    BatchDisplayChanged();
}

void TFormMain::BatchResume() {
    if (BatchState() != jsSuspended) return;
    batch_->Resume();
    BatchTurn();
}

bool TFormMain::BatchCancel() {
    if (!batch_) return true;
    if (batchWaiting_) {
        BatchEnded();
        return true;
    }
    if (messages_->Ask("Do You really want to stop the current job ?", false) != TAnswer::Yes)
        return false;
    if (!batch_) return true;  // it ended while the question was open
    const TAnswer remove =
        messages_->Ask("Do You want the incomplete target file to be deleted ?", true);
    if (remove == TAnswer::Cancel || !batch_) return !batch_;
    // Jobs that completed while the questions were open are finished as such first.
    batch_->Runner().Reap(0);
    batch_->Cancel(remove == TAnswer::Yes);
    BatchEnded();
    return true;
}

namespace {

std::vector<TRunningJobView> Views(const std::vector<TRunningJob>& Jobs) {
    std::vector<TRunningJobView> views;
    for (const TRunningJob& job : Jobs) views.push_back({job.Source, job.Target, job.Percent});
    return views;
}

}  // namespace

void TFormMain::BatchProgress() {
    if (!batch_) return;
    batch_->UpdateProgress();
    JobPanel->ShowRunningJobs(Views(batch_->RunningJobs()));
}

void TFormMain::BatchDisplayChanged() {
    const TJobState state = BatchState();
    std::string source, target;
    if (batch_) {
        const std::vector<TRunningJob> jobs = batch_->RunningJobs();
        if (jobs.size() == 1) {
            source = jobs.front().Source;
            target = jobs.front().Target;
        }
        JobPanel->ShowRunningJobs(Views(jobs));
    } else {
        JobPanel->ShowRunningJobs({});
    }
    const int64_t done = batchFiles_ + (batch_ ? batch_->FilesProcessed() : 0);
    JobPanel->ShowState(state, JobStateCaption(state, waitCountdown_), source, target, done);
    ShowBatchCount(state, batch_ ? batch_->UnderWay() : 0, batchFigures_.BytesRead);
    if (state == jsStopped)
        ResetJobDisplay();
    else
        setWindowTitle(QString::fromStdString(JobStateTitle(state, waitCountdown_, batchFigures_)));
    if (state == jsRecoding) {
        if (!TimerProgress->isActive()) TimerProgress->start();
    } else {
        TimerProgress->stop();
    }
}
