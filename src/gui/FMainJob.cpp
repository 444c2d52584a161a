// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's job with one file at a time: Go, the idle hook chaining files, the wait
// countdown, the thread's end posted back to the window, and the job panel's display (which
// several jobs at once share; see FMainBatch.cpp).
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "FMain.h"
#include "batch.h"
#include "batchfiles.h"
#include "dirlisteditor.h"
#include "jobpanel.h"
#include "jobtexts.h"
#include "sourcelist.h"
#include "watch.h"

void TFormMain::ButtonGoClick() {
    if (batch_ || (JobCount() > 1 && job_->JobState() == jsStopped && !job_->GoWhenIdle)) {
        BatchGo();
        return;
    }
    // A click on Go starts a new list; the idle hook and the wait timer go on with it.
    if (job_->JobState() == jsStopped && !job_->GoWhenIdle) {
        if (sender() == ButtonGo) {
            ListViewFiles->clear();
            job_->Search().Skip.clear();
            ended_[0] = ended_[1] = ended_[2] = 0;
        }
        StartBatchCount();
    }
    if (!OpenRecord()) return;
    if (job_->ButtonGoClick() == TGoResult::Invalid) FocusMissingDirectory();
    NotifyIfEnded();
}

void TFormMain::FocusMissingDirectory() {
    if (settings_.SourceDirs.empty())
        ButtonAddSourceDir->setFocus();
    else if (settings_.DirectoryMode() != TDirectoryMode::Rebound && settings_.TargetDirs.empty())
        ButtonAddTargetDir->setFocus();
}

void TFormMain::AppIdle() {
    idleQueued_ = false;
    if (job_->GoWhenIdle) ButtonGoClick();
}

void TFormMain::TimerWaitForFileTimer() {
    if (batch_)
        BatchCountdown();
    else
        job_->TimerWaitForFileTimer();
}

void TFormMain::OnThreadCreated(TRecodingThread& Thread) {
    const uint64_t serial = ++jobSerial_;
    JobPanel->ClearProgress();
    // The worker never waits for the window: its end is posted, and progress is read by a
    // timer of the window's own.
    Thread.OnDone = [this, serial] {
        QMetaObject::invokeMethod(
            this,
            [this, serial] {
                if (serial == jobSerial_) OnThreadDone();
            },
            Qt::QueuedConnection);
    };
}

void TFormMain::SetProgressMax(int64_t SourceSize) {
    JobPanel->SetProgressMax(SourceSize);
}

void TFormMain::UpdateProgress(const TProgressFigures& Figures) {
    JobPanel->UpdateProgress(Figures);
    if (batch_) {
        batchFigures_ = Figures;
        ShowBatchCount(BatchState(), batch_->UnderWay(), Figures.BytesRead);
        if (BatchState() == jsRecoding)
            setWindowTitle(QString::fromStdString(JobStateTitle(jsRecoding, 0, Figures)));
        return;
    }
    ShowBatchCount(job_->JobState(), 1, Figures.BytesRead);
    if (job_->JobState() == jsRecoding)
        setWindowTitle(QString::fromStdString(
            JobStateTitle(job_->JobState(), job_->WaitCountdown(), job_->Figures())));
}

void TFormMain::StartBatchCount() {
    count_.Start(clock_->MsSinceMidnight());
    recount_ = true;
}

void TFormMain::CountFiles() {
    recount_ = false;
    if (batch_) {
        if (batch_->Runner().Job())
            count_.Found(batch_->Runner().Search().Count(*batch_->Runner().Job()));
    } else {
        count_.Found(job_->Search().Count(job_->Job()));
    }
}

void TFormMain::ShowBatchCount(TJobState State, int Running, int64_t BytesRead) {
    if ((State == jsRecoding || State == jsSuspended) && count_.Known())
        JobPanel->ShowBatchCount(count_.FileText(Running),
                                 count_.RemainingText(BytesRead, clock_->MsSinceMidnight()));
    else
        JobPanel->ShowBatchCount({}, {});
}

void TFormMain::ResetJobDisplay() {
    setWindowTitle("Sonbar  [Stopped]");
    JobPanel->Reset();
}

void TFormMain::JobDisplayChanged() {
    if (batch_) {
        BatchDisplayChanged();
        return;
    }
    const TJobState state = job_->JobState();
    // The files are counted as a batch starts and as it goes on after waiting for more.
    if (state == jsWaiting) recount_ = true;
    if (state == jsRecoding && recount_) CountFiles();
    JobPanel->ShowState(state, JobStateCaption(state, job_->WaitCountdown()),
                        JobSourceLabel(job_->SourceFile, job_->SourceFileSize), job_->TargetFile,
                        job_->FilesProcessed() + batchFiles_);
    ShowBatchCount(state, 1, job_->Figures().BytesRead);
    if (state == jsStopped)
        ResetJobDisplay();
    else
        setWindowTitle(QString::fromStdString(
            JobStateTitle(job_->JobState(), job_->WaitCountdown(), job_->Figures())));
    if (state == jsWaiting) {
        if (realWaitTimer_ && !TimerWaitForFile->isActive()) TimerWaitForFile->start();
    } else {
        TimerWaitForFile->stop();
    }
    WatchWhileWaiting(state == jsWaiting);
    if (state == jsRecoding) {
        if (!TimerProgress->isActive()) TimerProgress->start();
    } else {
        TimerProgress->stop();
    }
    // The engine has just measured the free space again.
    TargetDirsEditor->ShowFreeSpace();
}

// While waiting for the next file, the source directories are watched: a file closed after
// writing or moved in is searched for once it can be stable, instead of at the countdown's
// end. Where the system cannot watch them, the countdown alone goes on.
void TFormMain::WatchWhileWaiting(bool On) {
    if (!On) {
        delete waitNotifier_;
        waitNotifier_ = nullptr;
        waitWatch_.reset();
        return;
    }
    if (waitWatch_) return;
    const TJobSettings& job = job_->Job();
    waitWatch_ = std::make_unique<TWatch>(
        job.SourceDirs, job.Recurse,
        [job](const std::string& Name) { return IsSourceName(job, Name); },
        [](const std::string&) {});
    if (waitWatch_->Descriptor() < 0) return;
    waitNotifier_ = new QSocketNotifier(waitWatch_->Descriptor(), QSocketNotifier::Read, this);
    const int settleMs = job.StableSeconds * 1000 + 250;
    connect(waitNotifier_, &QSocketNotifier::activated, this, [this, settleMs] {
        if (!waitWatch_ || waitWatch_->Wait(0) != TWatch::TWake::Arrived) return;
        QTimer::singleShot(settleMs, this, [this] {
            if (job_->JobState() == jsWaiting) ButtonGoClick();
        });
    });
}
