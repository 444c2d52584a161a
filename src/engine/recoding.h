// SPDX-License-Identifier: GPL-3.0-or-later
// One recoding job: a source WAVE file recoded into one target file, on a thread of its own
// or on the caller's. The target is written as TARGET.part in its own directory, synced, read
// back and only then renamed to TARGET, so no file under a target's name is ever incomplete.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UKoWaveFormat.h"
#include "fileops.h"

// The step at which a job failed, for front ends that explain more than the message.
enum class TRecodeStep {
    None,
    Allocate,
    OpenSource,
    Format,
    OpenTarget,
    Read,
    Write,
    Complete,
    Rename,
    Stopped,
    Exception,
    SourceChanged  // the source was replaced or rewritten while it was recoded
};

// The text of a job whose source changed under it.
constexpr const char* kSourceChangedText = "the source file changed while it was being recoded";

class TKoSplitWriteStream;

class TRecodingThread {
  public:
    // OutputFormat: the target format (copied); nullptr writes the source's own format.
    TRecodingThread(std::string SourceFileName, std::string TargetFileName, int32_t BufferSize,
                    const TKoWaveFormat* OutputFormat, bool HighQuality);
    // Stops and joins a running thread.
    ~TRecodingThread();
    TRecodingThread(const TRecodingThread&) = delete;
    TRecodingThread& operator=(const TRecodingThread&) = delete;

    // Options, set before the job starts.
    // An existing target may be replaced (the policy said so); otherwise completing fails
    // when a file of the target's name has appeared meanwhile.
    bool ReplaceTarget = false;
    // Write TARGET.part and rename it; false writes the target directly (a device named
    // as the output, for instance).
    bool UsePartFile = true;
    // A source with fewer channels than the target format is refused.
    bool RequireChannels = true;
    // Read ahead and write behind on threads of their own.
    bool Threaded = false;
    // Write the target format's bare stream (MP3, GSM, A-law, u-law) instead of a WAVE file
    // where it has one.
    bool BareStream = false;
    // Threads encoding one file at once where its conversion splits into exact ranges.
    int Threads = 1;
    // A job that wrote and verified its .part ends awaiting the durable steps, which the
    // caller takes for several jobs together (CommitTogether) instead of one sync per job.
    bool DeferDurability = false;
    // Runs on the worker thread after Execute has returned (front ends post from there).
    std::function<void()> OnDone;
    // Seams for tests, run on the job's thread: at every block boundary with the bytes read
    // so far, before the job looks whether it is to stop; and once the .part is written and
    // closed, before it is read back.
    std::function<void(int64_t BytesRead)> AtBlockBoundary;
    std::function<void()> BeforeReadBack;
    // The open directory that receives the target (taken over; closed with the job). Without
    // one the job opens the directory the target's name says.
    void SetTargetDirectory(int DirFd);

    // The body: runs the whole job on the calling thread.
    void Execute();
    // Starts Execute on a thread of its own; the first ResumeJob.
    void Start();
    // Cooperative: the worker stops at the next block boundary until resumed.
    void Suspend();
    void Resume();
    bool IsSuspended() const { return suspended_; }
    // The job ends at the next block boundary; its .part file stays for the caller.
    void Terminate();
    bool Terminated() const { return terminated_; }
    bool Finished() const { return finished_; }
    // Waits for the thread's end; with a timeout, whether it has ended.
    void WaitFor();
    bool WaitFor(int Milliseconds);
    // Track bar position 0..6 (0 idle); takes effect at the next block.
    void SetPriority(int Position);

    // Read any time.
    int64_t SourceSize() const { return sourceSize_; }
    int64_t BytesRead() const { return bytesRead_; }
    // Read after the end.
    const std::string& ErrorText() const { return errorText_; }
    bool Succeeded() const { return succeeded_; }
    TRecodeStep FailedStep() const { return failedStep_; }
    int ErrorNumber() const { return errorNumber_; }
    int64_t TargetSize() const { return targetSize_; }
    // Seconds of audio in the source (0 when unknown).
    double AudioSeconds() const { return audioSeconds_; }

    // The source as the job opened it: what an after-action must still find at its name.
    const fileops::TFileIdentity& SourceIdentity() const { return sourceIdentity_; }

    const std::string& SourceFileName() const { return sourceFileName_; }
    const std::string& TargetFileName() const { return targetFileName_; }
    std::string PartFileName() const {
        return fileops::DirectoryPart(targetFileName_) +
               fileops::PartName(fileops::NamePart(targetFileName_));
    }
    // Removes the job's incomplete target if it is still the file the job wrote; after the
    // job's end only.
    bool RemovePartFile();

    // A job with DeferDurability whose .part is written and verified, and that has not been
    // committed yet. It counts as neither succeeded nor failed until then.
    bool AwaitingCommit() const { return awaitingCommit_; }
    // The steps of the commit, after the job's end and in this order: the .part's data
    // synced; the source checked and the .part renamed to the target; once the caller has
    // synced the target's directory, Committed ends the job as its own completion would
    // have. A step that fails ends the job as failed (the .part removed before the rename,
    // the target kept after it); the later steps then do nothing.
    bool SyncPart();
    bool RenamePart();
    void Committed(bool DirectorySynced, int Error = 0);
    int TargetDirectory() const { return targetDir_; }

  private:
    struct TRun;  // what one run carries from step to step
    void Run();
    bool OpenSource(TRun& R);
    bool OpenTarget(TRun& R);
    // Moves the audio block by block; false when the job stopped or failed on the way.
    bool Pump(TRun& R);
    // The chain's split stage, now reading the source file itself, where it can.
    TKoSplitWriteStream* SplitReadingSource(TRun& R) const;
    // The failure of a split stage's Advance or Close: a source that came short, or a write.
    void FailSplit(TRun& R, const TKoSplitWriteStream& Split, int Error);
    // Flushes, syncs, reads back and renames the target.
    void Complete(TRun& R);
    bool SourceUnchanged(int SourceFd) const;
    void Fail(TRecodeStep Step, const char* Text, int Error = 0);
    bool WaitWhileSuspended();
    void ApplyPriority();

    const std::string sourceFileName_;
    const std::string targetFileName_;
    const int32_t bufferSize_;
    std::unique_ptr<TKoWaveFormat> outputFormat_;
    const bool highQuality_;

    std::atomic<int64_t> sourceSize_{0};
    std::atomic<int64_t> bytesRead_{0};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> suspended_{false};
    std::atomic<int> priority_{-1};
    int appliedPriority_ = -1;
    std::string errorText_;
    bool succeeded_ = false;
    TRecodeStep failedStep_ = TRecodeStep::None;
    int errorNumber_ = 0;
    int64_t targetSize_ = 0;
    double audioSeconds_ = 0;
    fileops::TFileIdentity sourceIdentity_;
    int targetDir_ = -1;
    bool awaitingCommit_ = false;
    dev_t partDevice_ = 0;
    ino_t partInode_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

// Makes the targets of several jobs awaiting their commit durable together: every .part's
// data synced, each renamed, each target directory synced once, and only then each job ended.
void CommitTogether(const std::vector<TRecodingThread*>& Jobs);

// The processors this process may run on (its affinity), at least one.
int UsableProcessors();

// Applies a track bar position (0..6) to the calling thread: 0 the idle class, 1..6 nice
// values from +10 down to -5 where permitted. Failing to raise the priority is silent.
void SetCurrentThreadPriority(int Position);
