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

#include "UKoMemory.h"
#include "UKoWaveStreamFactory.h"
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
// the chain's file stage, whose RIFF size and data chunk agree with the bytes written.
bool VerifyWritten(const std::string& Path, const TKoWaveFormat& Expected, int64_t Extent,
                   int64_t DataAtLeast) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != Extent)
        return false;
    auto file = TKoMMIOWaveStream::OpenReadFile(Path);
    if (!file) return false;
    const auto* format = file->GetFormat();
    const int64_t dataSize = file->GetSize();
    const MMCKINFO& data = file->DataChunk();
    const bool ok = format && format->Format().SameAs(Expected) && dataSize >= DataAtLeast &&
                    int64_t{data.dwDataOffset} + dataSize <= Extent;
    file->Close();
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

void TRecodingThread::Run() {
    ApplyPriority();
    TKoWaveStreamFactory factory;
    errorText_.clear();
    succeeded_ = false;

    if (bufferSize_ <= 0) return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");
    TKoMemChunk buffer = TKoMemChunk::CreateSized(bufferSize_);
    if (buffer.Area().Size != bufferSize_)
        return Fail(TRecodeStep::Allocate, "Error allocating copy buffer !");

    factory.Threaded = Threaded;
    std::unique_ptr<TKoStream> in;
    try {
        in = factory.OpenReadChain(sourceFileName_);
    } catch (const std::exception&) {
    }
    if (!in) return Fail(TRecodeStep::OpenSource, "Error opening source file !", errno);

    auto* sourceFormat = dynamic_cast<TKoWaveStreamFormat*>(in->GetFormat());
    if (!sourceFormat || (RequireChannels && outputFormat_ && outputFormat_->IsComplete() &&
                          sourceFormat->Format().Channels() < outputFormat_->Channels()))
        return Fail(TRecodeStep::Format,
                    "Format error ! You can't write a stereo file out of an mono file !");
    const auto source = KoClone(*sourceFormat);

    if (outputFormat_) factory.SetWantedFormat(*outputFormat_);
    factory.HighSpeed = !highQuality_;

    // The output: TARGET.part created exclusively, or the target itself.
    const std::string outName = UsePartFile ? PartFileName() : targetFileName_;
    int fd = -1;
    std::unique_ptr<TFdStream> file;
    std::unique_ptr<TKoStream> out;
    bool created = false;
    struct FdCloser {
        int& fd;
        ~FdCloser() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    if (UsePartFile) {
        // A .part left by a job that was killed is ours to replace; removing the name never
        // follows a link planted there.
        fileops::RemoveFile(outName);
        fd = fileops::CreateExclusive(outName);
        if (fd < 0) return Fail(TRecodeStep::OpenTarget, "Error opening target file !", errno);
        created = true;
        file = std::make_unique<TFdStream>(fd);
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
    auto cleanup = [&] {
        if (UsePartFile || created) {
            struct stat st {};
            if (::lstat(outName.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                ::unlink(outName.c_str());
        }
    };
    if (!out) {
        const int error = errno;
        cleanup();
        return Fail(TRecodeStep::OpenTarget, "Error opening target file !", error);
    }

    // The file stage at the bottom of the chain: its format is what the file must hold.
    TKoStream* bottom = out.get();
    if (auto* combined = dynamic_cast<TKoCombinedStream*>(out.get())) bottom = &combined->Member(0);
    const auto* fileFormat = dynamic_cast<TKoWaveStreamFormat*>(bottom->GetFormat());
    const auto expected = fileFormat ? KoClone(fileFormat->Format()) : nullptr;

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
            // 0 before the declared end is a truncated source, not the end of the job.
            out->Close();
            cleanup();
            return Fail(TRecodeStep::Read, "Error reading input stream !");
        }
        if (n != area.Size) area.Size = n;
        if (out->Write(area) != n) {
            const int error = file ? file->LastError() : errno;
            out->Close();
            cleanup();
            return Fail(TRecodeStep::Write, "Error writing output stream !", error);
        }
        bytesRead_ = sized ? in->GetPosition() : bytesRead_ + n;
    }
    if (stopped) {
        out->Close();
        out.reset();
        return Fail(TRecodeStep::Stopped, "");
    }

    // Success means the target is complete: the chain drained and closed without error,
    // the bytes are on disk and read back as written.
    // With write-behind the file stage belongs to its own thread until the close, and its
    // position cannot be read from here: the read-back then checks the sizes' agreement only.
    const int64_t dataBeforeClose = Threaded ? 0 : bottom->GetPosition();
    if (!out->Close()) {
        const int error = file ? file->LastError() : 0;
        cleanup();
        return Fail(TRecodeStep::Complete, "Error writing output stream !", error);
    }
    out.reset();
    in->Close();
    if (UsePartFile) {
        if (!fileops::SyncFile(fd)) {
            const int error = errno;
            cleanup();
            return Fail(TRecodeStep::Complete, "Error writing output stream !", error);
        }
        ::close(fd);
        fd = -1;
        if (!expected || !VerifyWritten(outName, *expected, file->Extent(), dataBeforeClose)) {
            cleanup();
            return Fail(TRecodeStep::Complete, "Error writing output stream !", EIO);
        }
        if (terminated_) {
            // Stopped while completing: the finished file stays under its .part name.
            return Fail(TRecodeStep::Stopped, "");
        }
        if (!fileops::Rename(outName, targetFileName_, ReplaceTarget)) {
            const int error = errno;
            cleanup();
            return Fail(TRecodeStep::Rename, "Target file access denied !", error);
        }
        fileops::SyncDirectoryOf(targetFileName_);
        targetSize_ = file->Extent();
    } else {
        struct stat st {};
        if (::stat(outName.c_str(), &st) == 0) targetSize_ = st.st_size;
    }
    succeeded_ = true;
}
