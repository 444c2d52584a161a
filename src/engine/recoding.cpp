// SPDX-License-Identifier: GPL-3.0-or-later
#include "recoding.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>

#include "UKoMemory.h"
#include "UKoWaveStreamFactory.h"
#include "barestream.h"
#include "fileops.h"

namespace {

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

void TRecodingThread::Run() {
    ApplyPriority();
    TKoWaveStreamFactory factory;
    errorText_.clear();
    succeeded_ = false;

    if (bufferSize_ <= 0) return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");
    TKoMemChunk buffer = TKoMemChunk::CreateSized(bufferSize_);
    if (buffer.Area().Size != bufferSize_)
        return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");

    // The source is read through the descriptor opened here, and its identity kept: whatever
    // appears under its name meanwhile is not what was recoded.
    TFdGuard sourceFd{::open(sourceFileName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat sourceStatus {};
    if (sourceFd.fd < 0 || ::fstat(sourceFd.fd, &sourceStatus) != 0 ||
        !S_ISREG(sourceStatus.st_mode))
        return Fail(TRecodeStep::OpenSource, "Error opening source file !",
                    sourceFd.fd < 0 ? errno : EINVAL);
    sourceIdentity_ = fileops::IdentityOf(sourceStatus);
    TFdStream sourceStream(sourceFd.fd);

    factory.Threaded = Threaded;
    factory.Threads = Threads;
    std::unique_ptr<TKoStream> in;
    try {
        TKoReadStreamFactory stages(sourceStream);
        in = factory.BuildReadChain(stages);
    } catch (const std::exception&) {
    }
    // Not a WAVE file the reader takes: no system error to name.
    if (!in) return Fail(TRecodeStep::OpenSource, "Error opening source file !", 0);

    auto* sourceFormat = dynamic_cast<TKoWaveStreamFormat*>(in->GetFormat());
    if (!sourceFormat || (RequireChannels && outputFormat_ && outputFormat_->IsComplete() &&
                          sourceFormat->Format().Channels() < outputFormat_->Channels()))
        return Fail(TRecodeStep::Format,
                    "Format error ! You can't write a stereo file out of an mono file !");
    const auto source = KoClone(*sourceFormat);

    if (outputFormat_) factory.SetWantedFormat(*outputFormat_);
    factory.HighSpeed = !highQuality_;
    factory.BareStream = BareStream;

    // The output: TARGET.part created exclusively in the target's directory, or the target
    // itself.
    const std::string targetName = fileops::NamePart(targetFileName_);
    const std::string partName = fileops::PartName(targetName);
    const std::string outName = UsePartFile ? PartFileName() : targetFileName_;
    TFdGuard part;
    std::unique_ptr<TFdStream> file;
    std::unique_ptr<TKoStream> out;
    bool created = false;
    if (UsePartFile) {
        if (targetDir_ < 0) targetDir_ = fileops::OpenDirectoryOf(targetFileName_);
        if (targetDir_ < 0)
            return Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
        // A .part left by a job that was killed is ours to replace; removing the name never
        // follows a link planted there. Private until complete.
        ::unlinkat(targetDir_, partName.c_str(), 0);
        part.fd = ::openat(targetDir_, partName.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (part.fd < 0) return Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
        struct stat st {};
        if (::fstat(part.fd, &st) == 0) {
            partDevice_ = st.st_dev;
            partInode_ = st.st_ino;
        }
        created = true;
        file = std::make_unique<TFdStream>(part.fd);
    }
    // Whatever way the job ends short of success, its incomplete output goes.
    bool keep = false;
    struct TCleanup {
        std::function<void()> action;
        ~TCleanup() { action(); }
    } cleanup{[&] {
        if (keep || !created) return;
        if (UsePartFile) {
            RemovePartFile();
        } else {
            struct stat st {};
            if (::lstat(outName.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ::unlink(outName.c_str());
        }
    }};
    if (UsePartFile) {
        TKoWriteStreamFactory stages(*file);
        out = factory.BuildWriteChain(stages, *source);
    } else {
        struct stat before {};
        const bool existed = ::stat(outName.c_str(), &before) == 0;
        out = factory.OpenWriteChain(outName, *source);
        const int error = errno;
        struct stat after {};
        created = !existed && ::stat(outName.c_str(), &after) == 0 && S_ISREG(after.st_mode);
        errno = error;
        if (existed && S_ISREG(before.st_mode)) created = true;  // truncated: no longer whole
    }
    if (!out) return Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);

    // The file stage at the bottom of the chain: its format is what the file must hold.
    TKoStream* bottom = out.get();
    if (auto* combined = dynamic_cast<TKoCombinedStream*>(out.get())) bottom = &combined->Member(0);
    const auto* fileFormat = dynamic_cast<TKoWaveStreamFormat*>(bottom->GetFormat());
    const auto expected = fileFormat ? KoClone(fileFormat->Format()) : nullptr;
    const bool bare = dynamic_cast<TKoBareStream*>(bottom) != nullptr;

    sourceSize_ = in->GetSize();
    if (const uint32_t rate = source->Format().AvgBytesPerSec(); rate > 0)
        audioSeconds_ = static_cast<double>(sourceSize_) / rate;
    TKoArea area = buffer.Area();
    bool stopped = false;
    // A chain that keeps no size (a read-ahead stage) ends where its reads end.
    const bool sized = sourceSize_ >= 0 && in->GetPosition() >= 0;
    while (!sized || in->GetPosition() != sourceSize_) {
        ApplyPriority();
        if (terminated_ || (suspended_ && !WaitWhileSuspended())) {
            stopped = true;
            break;
        }
        const int32_t n = in->Read(area);
        if (n == 0 && !sized) break;
        if (n <= 0) {
            // 0 before the declared end is a truncated source, not the end of the job; a
            // source still growing is tried again once it is stable.
            out->Close();
            if (!SourceUnchanged(sourceFd.fd))
                return Fail(TRecodeStep::SourceChanged, kSourceChangedText);
            return Fail(TRecodeStep::Read, "Error reading input stream !");
        }
        if (n != area.Size) area.Size = n;
        if (out->Write(area) != n) {
            const int error = file ? file->LastError() : errno;
            out->Close();
            return Fail(TRecodeStep::Write, "Error writing output stream !", error);
        }
        bytesRead_ = sized ? in->GetPosition() : bytesRead_ + n;
    }
    if (stopped) {
        // A stopped job's .part is the caller's: Cancel asks whether it goes.
        out->Close();
        out.reset();
        keep = true;
        return Fail(TRecodeStep::Stopped, "");
    }

    // Success means the target is complete: the chain drained and closed without error,
    // the bytes are on disk and read back as written.
    // With write-behind the file stage belongs to its own thread until the close, and its
    // position cannot be read from here: the read-back then checks the sizes' agreement only.
    const int64_t dataBeforeClose = Threaded ? 0 : bottom->GetPosition();
    if (!out->Close()) {
        const int error = file ? file->LastError() : 0;
        return Fail(TRecodeStep::Complete, "Error writing output stream !", error);
    }
    // A bare file has no header to agree with: its length follows from the audio written
    // (the file stage is no longer written once the chain is closed).
    const int64_t bareData = bare ? bottom->GetPosition() : 0;
    out.reset();
    in->Close();
    if (!UsePartFile) {
        struct stat st {};
        if (::stat(outName.c_str(), &st) == 0) targetSize_ = st.st_size;
        keep = true;
        succeeded_ = true;
        return;
    }
    // The target is never more readable than its source.
    const mode_t mode = sourceIdentity_.Mode & 0666 & ~fileops::Umask();
    struct stat written {};
    if (::fchmod(part.fd, mode) != 0 || !fileops::SyncFile(part.fd) ||
        ::fstat(part.fd, &written) != 0)
        return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    const int closed = ::close(part.fd);
    part.fd = -1;
    if (closed != 0) return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    const bool whole = expected && (bare ? TKoBareStream::Verify(outName, *expected, bareData)
                                         : VerifyWritten(targetDir_, partName, written, *expected,
                                                         file->Extent(), dataBeforeClose));
    if (!whole) return Fail(TRecodeStep::Complete, "Error writing output stream !", EIO);
    if (terminated_) {
        // Stopped while completing: the finished file stays under its .part name.
        keep = true;
        return Fail(TRecodeStep::Stopped, "");
    }
    // The source must still be the file that was read, under its name, as it was.
    if (!SourceUnchanged(sourceFd.fd)) return Fail(TRecodeStep::SourceChanged, kSourceChangedText);
    if (!fileops::RenameAt(targetDir_, partName, targetDir_, targetName, ReplaceTarget))
        return Fail(TRecodeStep::Rename, "Target file access denied !", errno);
    // From here the file under the target's name is complete: a failure keeps it, and the
    // source stays too.
    keep = true;
    targetSize_ = file->Extent();
    if (!fileops::SyncDirectory(targetDir_))
        return Fail(TRecodeStep::Complete, "Error writing output stream !", errno);
    succeeded_ = true;
}
