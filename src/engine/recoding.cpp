// SPDX-License-Identifier: GPL-3.0-or-later
// One job from the source's open to the target's rename. Kept whole in one file (over 400
// lines): every step that can leave a .part behind, and its clean-up, is read side by side.
#include "recoding.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "UKoMemory.h"
#include "UKoWaveStream.h"
#include "UKoWaveStreamFactory.h"
#include "barestream.h"
#include "fileops.h"
#include "splitencoder.h"

namespace {

// Source audio below which a file is encoded on one thread, whatever Threads says.
constexpr int64_t kSplitMinBytes = 1 << 20;
// A target's pages are handed to the disk whenever this much more has been written, so that
// the fsync at its end finds little left to write.
constexpr int64_t kWriteOutBytes = 2 << 20;

// A chain's split stage, where the audio written into it goes straight there: the last
// stage of the chain.
TKoSplitWriteStream* SplitStageOf(TKoStream* Chain) {
    if (auto* combined = dynamic_cast<TKoCombinedStream*>(Chain))
        Chain = &combined->Member(combined->Count() - 1);
    return dynamic_cast<TKoSplitWriteStream*>(Chain);
}

// A stream over a file descriptor the job opened itself (exclusively, never through a
// link), so the WAVE writer needs no name to open and nothing can be planted under it.
class TFdStream : public TKoStream {
  public:
    explicit TFdStream(int Fd) : fd_(Fd) {}
    int64_t GetPosition() override { return position_; }
    int32_t Read(const TKoArea& Area) override {
        const ssize_t n =
            ::pread(fd_, AreaPointer(Area), static_cast<size_t>(Area.Size), position_);
        if (n < 0) return -1;
        position_ += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const TKoArea& Area) override {
        const char* data = static_cast<const char*>(AreaPointer(Area));
        int32_t done = 0;
        while (done < Area.Size) {
            const ssize_t n =
                ::pwrite(fd_, data + done, static_cast<size_t>(Area.Size - done), position_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = ENOSPC;
                lastError_ = errno;
                return done > 0 ? done : -1;
            }
            done += static_cast<int32_t>(n);
            position_ += n;
            if (position_ > extent_) extent_ = position_;
        }
        if (extent_ - writtenOut_ >= kWriteOutBytes) {
            ::sync_file_range(fd_, writtenOut_, extent_ - writtenOut_, SYNC_FILE_RANGE_WRITE);
            writtenOut_ = extent_;
        }
        return done;
    }
    bool Seek(const TKoSeekRequest& Request) override {
        int64_t to = Request.Offset;
        if (Request.Origin == koFromCurrent) to += position_;
        if (Request.Origin == koFromEnd) {
            struct stat st {};
            if (::fstat(fd_, &st) != 0) return false;
            to += st.st_size;
        }
        if (to < 0) return false;
        position_ = to;
        return true;
    }
    int64_t Extent() const { return extent_; }
    int LastError() const { return lastError_; }

  private:
    static void* AreaPointer(const TKoArea& Area) { return reinterpret_cast<void*>(Area.Start); }
    int fd_;
    int64_t position_ = 0;
    int64_t extent_ = 0;
    int64_t writtenOut_ = 0;
    int lastError_ = 0;
};

// The .part file as it lies on disk matches what was written: a WAVE file in the format of
// the chain's file stage, whose RIFF size and data chunk agree with the bytes written. It is
// read back through its directory, and only if that entry is still the file written.
bool VerifyWritten(int DirFd, const std::string& Name, const struct stat& Written,
                   const TKoWaveFormat& Expected, int64_t Extent, int64_t DataAtLeast) {
    const int fd = ::openat(DirFd, Name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == Written.st_dev &&
              st.st_ino == Written.st_ino && st.st_size == Extent;
    if (ok) {
        TFdStream stream(fd);
        auto file = TKoMMIOWaveStream::OpenReadStream(stream);
        ok = false;
        if (file) {
            const auto* format = file->GetFormat();
            const int64_t dataSize = file->GetSize();
            const MMCKINFO& data = file->DataChunk();
            ok = format && format->Format().SameAs(Expected) && dataSize >= DataAtLeast &&
                 int64_t{data.dwDataOffset} + dataSize <= Extent;
            file->Close();
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

void SetCurrentThreadPriority(int Position) {
    const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
    struct sched_param param {};
    if (Position <= 0) {
        ::sched_setscheduler(tid, SCHED_IDLE, &param);
        return;
    }
    ::sched_setscheduler(tid, SCHED_OTHER, &param);
    static const int kNice[7] = {19, 10, 7, 4, 1, -2, -5};
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[std::min(Position, 6)]);
}

TRecodingThread::TRecodingThread(std::string SourceFileName, std::string TargetFileName,
                                 int32_t BufferSize, const TKoWaveFormat* OutputFormat,
                                 bool HighQuality)
    : sourceFileName_(std::move(SourceFileName)),
      targetFileName_(std::move(TargetFileName)),
      bufferSize_(BufferSize),
      outputFormat_(OutputFormat ? KoClone(*OutputFormat) : nullptr),
      highQuality_(HighQuality) {}

TRecodingThread::~TRecodingThread() {
    if (thread_.joinable()) {
        Terminate();
        thread_.join();
    }
    if (targetDir_ >= 0) ::close(targetDir_);
}

void TRecodingThread::SetTargetDirectory(int DirFd) {
    if (targetDir_ >= 0) ::close(targetDir_);
    targetDir_ = DirFd;
}

bool TRecodingThread::RemovePartFile() {
    if (partInode_ == 0 || targetDir_ < 0) return true;
    const std::string part = fileops::PartName(fileops::NamePart(targetFileName_));
    struct stat st {};
    if (::fstatat(targetDir_, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return true;
        // Unknown what is there: the name is the job's own (its target is claimed), so an
        // incomplete file must not stay behind because a look at it failed.
    } else if (st.st_dev != partDevice_ || st.st_ino != partInode_) {
        return true;  // not ours any more
    }
    return ::unlinkat(targetDir_, part.c_str(), 0) == 0 || errno == ENOENT;
}

bool TRecodingThread::SourceUnchanged(int SourceFd) const {
    struct stat st {};
    return ::fstat(SourceFd, &st) == 0 &&
           fileops::SameIdentity(fileops::IdentityOf(st), sourceIdentity_) &&
           fileops::StillSame(sourceFileName_, sourceIdentity_);
}

void TRecodingThread::Start() {
    thread_ = std::thread([this] {
        Execute();
        if (OnDone) OnDone();
    });
}

void TRecodingThread::Suspend() {
    std::lock_guard lock(mutex_);
    suspended_ = true;
}

void TRecodingThread::Resume() {
    {
        std::lock_guard lock(mutex_);
        suspended_ = false;
    }
    wake_.notify_all();
}

void TRecodingThread::Terminate() {
    {
        std::lock_guard lock(mutex_);
        terminated_ = true;
    }
    wake_.notify_all();
}

void TRecodingThread::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

bool TRecodingThread::WaitFor(int Milliseconds) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(Milliseconds),
                   [this] { return finished_.load(); });
    const bool done = finished_;
    lock.unlock();
    if (done && thread_.joinable()) thread_.join();
    return done;
}

void TRecodingThread::SetPriority(int Position) {
    priority_ = Position;
}

void TRecodingThread::ApplyPriority() {
    const int wanted = priority_;
    if (wanted < 0 || wanted == appliedPriority_) return;
    SetCurrentThreadPriority(wanted);
    appliedPriority_ = wanted;
}

bool TRecodingThread::WaitWhileSuspended() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !suspended_ || terminated_; });
    return !terminated_;
}

void TRecodingThread::Fail(TRecodeStep Step, const char* Text, int Error) {
    if (failedStep_ != TRecodeStep::None) return;
    failedStep_ = Step;
    errorText_ = Text;
    errorNumber_ = Error;
}

void TRecodingThread::Execute() {
    try {
        Run();
    } catch (const std::exception& error) {
        succeeded_ = false;
        failedStep_ = TRecodeStep::Exception;
        errorText_ = *error.what()
                         ? std::string("The encoding thread reported the following error:") + "\r" +
                               error.what()
                         : "The encoding thread reported an error !";
    } catch (...) {
        succeeded_ = false;
        failedStep_ = TRecodeStep::Exception;
        errorText_ = "The encoding thread reported an error !";
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    wake_.notify_all();
}

namespace {

// Closes a descriptor when the job's body ends, however it ends.
struct TFdGuard {
    int fd = -1;
    ~TFdGuard() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// What one run of the job carries from step to step. Whatever way the run ends short of
// success, its incomplete output goes with it, before the chain lets go of the file.
struct TRecodingThread::TRun {
    explicit TRun(TRecodingThread& Job) : job(Job) {}
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;
    ~TRun();

    TRecodingThread& job;
    TKoWaveStreamFactory factory;
    TKoMemChunk buffer;
    // The source is read through the descriptor the job opened, and its identity kept:
    // whatever appears under its name meanwhile is not what was recoded.
    TFdGuard sourceFd;
    std::unique_ptr<TFdStream> sourceStream;
    std::unique_ptr<TKoStream> in;
    std::unique_ptr<TKoWaveStreamFormat> source;
    std::string targetName;
    std::string partName;
    std::string outName;
    TFdGuard part;
    std::unique_ptr<TFdStream> file;
    std::unique_ptr<TKoStream> out;
    // The stage at the file end of the chain: its format is what the file must hold.
    TKoFileStage fileStage;
    // The split stage on top when its workers read the source file themselves.
    TKoSplitWriteStream* direct = nullptr;
    bool created = false;  // the output exists because of this run
    bool keep = false;     // the output stays, whatever follows
};

TRecodingThread::TRun::~TRun() {
    if (keep || !created) return;
    if (job.UsePartFile) {
        job.RemovePartFile();
    } else {
        struct stat st {};
        if (::lstat(outName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(outName.c_str());
    }
}

void TRecodingThread::Run() {
    ApplyPriority();
    TRun run(*this);
    errorText_.clear();
    succeeded_ = false;

    if (bufferSize_ <= 0) return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");
    run.buffer = TKoMemChunk::CreateSized(bufferSize_);
    if (run.buffer.Area().Size != bufferSize_)
        return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");
    if (!OpenSource(run) || !OpenTarget(run) || !Pump(run)) return;
    Complete(run);
}

bool TRecodingThread::OpenSource(TRun& R) {
    R.sourceFd.fd = ::open(sourceFileName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat sourceStatus {};
    if (R.sourceFd.fd < 0 || ::fstat(R.sourceFd.fd, &sourceStatus) != 0 ||
        !S_ISREG(sourceStatus.st_mode)) {
        Fail(TRecodeStep::OpenSource, "Error opening source file !",
             R.sourceFd.fd < 0 ? errno : EINVAL);
        return false;
    }
    sourceIdentity_ = fileops::IdentityOf(sourceStatus);
    R.sourceStream = std::make_unique<TFdStream>(R.sourceFd.fd);

    R.factory.Threaded = Threaded;
    R.factory.Threads = Threads;
    std::unique_ptr<TKoWaveStreamFormat> sourceFormat;
    try {
        TKoReadStreamFactory stages(*R.sourceStream);
        R.in = R.factory.BuildReadChain(stages, &sourceFormat);
    } catch (const std::exception&) {
    }
    if (!R.in) {
        // Not a WAVE file the reader takes: no system error to name.
        Fail(TRecodeStep::OpenSource, "Error opening source file !", 0);
        return false;
    }
    if (!sourceFormat || (RequireChannels && outputFormat_ && outputFormat_->IsComplete() &&
                          sourceFormat->Format().Channels() < outputFormat_->Channels())) {
        Fail(TRecodeStep::Format,
             "Format error ! You can't write a stereo file out of an mono file !");
        return false;
    }
    R.source = std::move(sourceFormat);
    return true;
}

bool TRecodingThread::OpenTarget(TRun& R) {
    if (outputFormat_) R.factory.SetWantedFormat(*outputFormat_);
    R.factory.HighSpeed = !highQuality_;
    R.factory.BareStream = BareStream;

    // The output: TARGET.part created exclusively in the target's directory, or the target
    // itself.
    R.targetName = fileops::NamePart(targetFileName_);
    R.partName = fileops::PartName(R.targetName);
    R.outName = UsePartFile ? PartFileName() : targetFileName_;
    // Ranges on other cores cost threads and copies that a short file never earns back. A
    // read-ahead stage keeps no size: the file's own then tells a short one.
    int64_t audio = R.in->GetSize();
    if (audio < 0) audio = sourceIdentity_.Size;
    if (audio >= 0 && audio < kSplitMinBytes) R.factory.Threads = 1;
    if (UsePartFile) {
        if (targetDir_ < 0) targetDir_ = fileops::OpenDirectoryOf(targetFileName_);
        if (targetDir_ < 0) {
            Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
            return false;
        }
        // A .part left by a job that was killed is ours to replace; removing the name never
        // follows a link planted there. Private until complete.
        ::unlinkat(targetDir_, R.partName.c_str(), 0);
        R.part.fd = ::openat(targetDir_, R.partName.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (R.part.fd < 0) {
            Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
            return false;
        }
        struct stat st {};
        if (::fstat(R.part.fd, &st) == 0) {
            partDevice_ = st.st_dev;
            partInode_ = st.st_ino;
        }
        R.created = true;
        R.file = std::make_unique<TFdStream>(R.part.fd);
        TKoWriteStreamFactory stages(*R.file);
        R.out = R.factory.BuildWriteChain(stages, *R.source, &R.fileStage);
    } else {
        struct stat before {};
        const bool existed = ::stat(R.outName.c_str(), &before) == 0;
        R.out = R.factory.OpenWriteChain(R.outName, *R.source, &R.fileStage);
        const int error = errno;
        struct stat after {};
        R.created = !existed && ::stat(R.outName.c_str(), &after) == 0 && S_ISREG(after.st_mode);
        errno = error;
        if (existed && S_ISREG(before.st_mode)) R.created = true;  // truncated: no longer whole
    }
    if (!R.out) {
        Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
        return false;
    }
    return true;
}

TKoSplitWriteStream* TRecodingThread::SplitReadingSource(TRun& R) const {
    // The source's audio straight from its file: the file reader at its first audio byte, a
    // split stage right on it, and every byte the file claims for audio there now.
    auto* split = SplitStageOf(R.out.get());
    auto* wave = dynamic_cast<TKoMMIOWaveStream*>(R.in.get());
    struct stat st {};
    if (!split || !wave || wave->GetPosition() != 0 || sourceSize_ <= 0 ||
        ::fstat(R.sourceFd.fd, &st) != 0 ||
        int64_t{wave->DataChunk().dwDataOffset} + sourceSize_ > st.st_size)
        return nullptr;
    split->ReadSource(R.sourceFd.fd, wave->DataChunk().dwDataOffset, sourceSize_);
    return split;
}

bool TRecodingThread::Pump(TRun& R) {
    sourceSize_ = R.in->GetSize();
    if (const uint32_t rate = R.source->Format().AvgBytesPerSec(); rate > 0)
        audioSeconds_ = static_cast<double>(sourceSize_) / rate;
    const TKoArea buffer = R.buffer.Area();
    // A chain that keeps no size (a read-ahead stage) ends where its reads end.
    const bool sized = sourceSize_ >= 0 && R.in->GetPosition() >= 0;
    // Where the workers of a split stage read the audio themselves, it is told how far the
    // job has come instead, and the reader only follows.
    R.direct = sized ? SplitReadingSource(R) : nullptr;
    while (!sized || R.in->GetPosition() != sourceSize_) {
        ApplyPriority();
        if (AtBlockBoundary) AtBlockBoundary(bytesRead_);
        if (terminated_ || (suspended_ && !WaitWhileSuspended())) {
            // A stopped job's .part is the caller's: Cancel asks whether it goes.
            R.out->Close();
            R.out.reset();
            R.keep = true;
            Fail(TRecodeStep::Stopped, "");
            return false;
        }
        if (R.direct) {
            const auto n = static_cast<int32_t>(
                std::min<int64_t>(buffer.Size, sourceSize_ - R.in->GetPosition()));
            if (!R.in->Seek(SeekFromCurrent(n)) || R.direct->Advance(n) != n) {
                const int error = R.file ? R.file->LastError() : errno;
                R.out->Close();
                FailSplit(R, *R.direct, error);
                return false;
            }
            // Done is what is written out, not what is handed over.
            bytesRead_ = R.direct->SourceDone();
            continue;
        }
        // Read into the chain's own memory where it has some, as much as the copy buffer
        // holds: one copy less.
        TKoArea area = R.out->WritableArea(buffer.Size);
        if (area.Size <= 0) area = buffer;
        const int32_t n = R.in->Read(area);
        if (n == 0 && !sized) break;
        if (n <= 0) {
            // 0 before the declared end is a truncated source, not the end of the job; a
            // source still growing is tried again once it is stable.
            R.out->Close();
            if (!SourceUnchanged(R.sourceFd.fd))
                Fail(TRecodeStep::SourceChanged, kSourceChangedText);
            else
                Fail(TRecodeStep::Read, "Error reading input stream !");
            return false;
        }
        area.Size = n;
        if (R.out->Write(area) != n) {
            const int error = R.file ? R.file->LastError() : errno;
            R.out->Close();
            Fail(TRecodeStep::Write, "Error writing output stream !", error);
            return false;
        }
        bytesRead_ = sized ? R.in->GetPosition() : bytesRead_ + n;
    }
    return true;
}

void TRecodingThread::FailSplit(TRun& R, const TKoSplitWriteStream& Split, int Error) {
    // A worker's read that came short: the source was cut or rewritten under the job.
    if (!Split.SourceFailed())
        Fail(TRecodeStep::Write, "Error writing output stream !", Error);
    else if (!SourceUnchanged(R.sourceFd.fd))
        Fail(TRecodeStep::SourceChanged, kSourceChangedText);
    else
        Fail(TRecodeStep::Read, "Error reading input stream !");
}

void TRecodingThread::Complete(TRun& R) {
    // Success means the target is complete: the chain drained and closed without error,
    // the bytes are on disk and read back as written.
    // With write-behind the file stage belongs to its own thread until the close, and its
    // position cannot be read from here: the read-back then checks the sizes' agreement only.
    TKoStream* const fileStage = R.fileStage.Stream;
    const bool bare = R.fileStage.Bare;
    const int64_t dataBeforeClose = Threaded ? 0 : fileStage->GetPosition();
    if (!R.out->Close()) {
        const int error = R.file ? R.file->LastError() : 0;
        if (R.direct && R.direct->SourceFailed()) return FailSplit(R, *R.direct, error);
        return Fail(TRecodeStep::Complete, "Error writing output stream !", error);
    }
    if (R.direct) bytesRead_ = R.direct->SourceDone();
    // A bare file has no header to agree with: its length follows from the audio written
    // (the file stage is no longer written once the chain is closed).
    const int64_t bareData = bare ? fileStage->GetPosition() : 0;
    R.out.reset();
    R.in->Close();
    if (!UsePartFile) {
        struct stat st {};
        if (::stat(R.outName.c_str(), &st) == 0) targetSize_ = st.st_size;
        R.keep = true;
        succeeded_ = true;
        return;
    }
    // The target is never more readable than its source.
    const mode_t mode = sourceIdentity_.Mode & 0666 & ~fileops::Umask();
    struct stat written {};
    if (DeferDurability) {
        // Synced later with others; the writing out starts now, so that little is left then.
        ::sync_file_range(R.part.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    if (::fchmod(R.part.fd, mode) != 0 || (!DeferDurability && !fileops::SyncFile(R.part.fd)) ||
        ::fstat(R.part.fd, &written) != 0)
        return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    const int closed = ::close(R.part.fd);
    R.part.fd = -1;
    if (closed != 0) return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    if (BeforeReadBack) BeforeReadBack();
    const TKoWaveStreamFormat* expected = R.fileStage.Format.get();
    const bool whole =
        expected && (bare ? TKoBareStream::Verify(R.outName, expected->Format(), bareData)
                          : VerifyWritten(targetDir_, R.partName, written, expected->Format(),
                                          R.file->Extent(), dataBeforeClose));
    if (!whole) return Fail(TRecodeStep::Complete, "Error writing output stream !", EIO);
    if (terminated_) {
        // Stopped while completing: the finished file stays under its .part name.
        R.keep = true;
        return Fail(TRecodeStep::Stopped, "");
    }
    // The source must still be the file that was read, under its name, as it was.
    if (!SourceUnchanged(R.sourceFd.fd))
        return Fail(TRecodeStep::SourceChanged, kSourceChangedText);
    if (DeferDurability) {
        R.keep = true;
        targetSize_ = R.file->Extent();
        awaitingCommit_ = true;
        return;
    }
    if (!fileops::RenameAt(targetDir_, R.partName, targetDir_, R.targetName, ReplaceTarget))
        return Fail(TRecodeStep::Rename, "Target file access denied !", errno);
    // From here the file under the target's name is complete: a failure keeps it, and the
    // source stays too.
    R.keep = true;
    targetSize_ = R.file->Extent();
    if (!fileops::SyncDirectory(targetDir_))
        return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    succeeded_ = true;
}

bool TRecodingThread::SyncPart() {
    if (!awaitingCommit_) return false;
    const std::string part = fileops::PartName(fileops::NamePart(targetFileName_));
    const int fd = ::openat(targetDir_, part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
    int error = ok ? 0 : errno;
    // Only the file this job wrote: whatever else took its name is no target of ours.
    if (ok && (st.st_dev != partDevice_ || st.st_ino != partInode_)) {
        ok = false;
        error = ESTALE;
    }
    if (ok && !fileops::SyncFile(fd)) {
        ok = false;
        error = errno;
    }
    if (fd >= 0) ::close(fd);
    if (ok) return true;
    awaitingCommit_ = false;
    Fail(TRecodeStep::Complete, "Error writing output stream !", error);
    RemovePartFile();
    return false;
}

bool TRecodingThread::RenamePart() {
    if (!awaitingCommit_) return false;
    // The source must still be the file that was read, under its name, as it was.
    if (!fileops::StillSame(sourceFileName_, sourceIdentity_)) {
        awaitingCommit_ = false;
        Fail(TRecodeStep::SourceChanged, kSourceChangedText);
        RemovePartFile();
        return false;
    }
    const std::string target = fileops::NamePart(targetFileName_);
    if (!fileops::RenameAt(targetDir_, fileops::PartName(target), targetDir_, target,
                           ReplaceTarget)) {
        awaitingCommit_ = false;
        Fail(TRecodeStep::Rename, "Target file access denied !", errno);
        RemovePartFile();
        return false;
    }
    return true;
}

void TRecodingThread::Committed(bool DirectorySynced, int Error) {
    if (!awaitingCommit_) return;
    awaitingCommit_ = false;
    if (!DirectorySynced)
        return Fail(TRecodeStep::Complete, "Error writing output stream !", Error);
    succeeded_ = true;
}

void CommitTogether(const std::vector<TRecodingThread*>& Jobs) {
    std::vector<TRecodingThread*> renamed;
    for (TRecodingThread* job : Jobs)
        if (job->SyncPart()) renamed.push_back(job);
    std::erase_if(renamed, [](TRecodingThread* Job) { return !Job->RenamePart(); });
    // One sync per target directory, whichever job's descriptor names it.
    std::vector<std::pair<std::pair<dev_t, ino_t>, int>> synced;  // directory, errno (0 ok)
    for (TRecodingThread* job : renamed) {
        struct stat st {};
        const bool known = ::fstat(job->TargetDirectory(), &st) == 0;
        const std::pair<dev_t, ino_t> dir{st.st_dev, st.st_ino};
        auto done = std::find_if(synced.begin(), synced.end(),
                                 [&](const auto& Entry) { return known && Entry.first == dir; });
        if (done == synced.end()) {
            const int error = fileops::SyncDirectory(job->TargetDirectory()) ? 0 : errno;
            synced.push_back({known ? dir : std::pair<dev_t, ino_t>{}, error});
            done = synced.end() - 1;
        }
        job->Committed(done->second == 0, done->second);
    }
}

int UsableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}
