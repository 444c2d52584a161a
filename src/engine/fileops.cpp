// SPDX-License-Identifier: GPL-3.0-or-later
#include "fileops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <vector>

namespace fileops {

namespace fs = std::filesystem;

std::string AddSlash(const std::string& Path) {
    if (Path.empty() || Path.back() == '/') return Path;
    return Path + "/";
}

std::string Normalise(const std::string& Path) {
    if (Path.empty()) return Path;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(Path), ec);
    if (ec) p = fs::path(Path);
    std::string text = p.lexically_normal().string();
    // "dir/" and "dir" name the same directory; keep the root as it is.
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::string DirectoryPart(const std::string& Path) {
    const auto slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

std::string NamePart(const std::string& Path) {
    const auto slash = Path.rfind('/');
    return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string ReplaceExtension(const std::string& Name, const std::string& Ext) {
    const auto slash = Name.rfind('/');
    const auto dot = Name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return Name + "." + Ext;
    return Name.substr(0, dot) + "." + Ext;
}

bool IsDirectory(const std::string& Path) {
    struct stat st {};
    return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& Path) {
    struct stat st {};
    return !Path.empty() && ::lstat(Path.c_str(), &st) == 0;
}

bool SameFile(const std::string& A, const std::string& B) {
    if (Normalise(A) == Normalise(B)) return true;
    struct stat sa {
    }, sb{};
    return ::stat(A.c_str(), &sa) == 0 && ::stat(B.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool IsWithin(const std::string& Inner, const std::string& Outer) {
    const std::string in = Normalise(Inner);
    const std::string out = Normalise(Outer);
    if (out.empty() || in.size() < out.size() || in.compare(0, out.size(), out) != 0) return false;
    return in.size() == out.size() || out == "/" || in[out.size()] == '/';
}

int64_t ReadableSize(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok ? static_cast<int64_t>(st.st_size) : -1;
}

TStability Stability(const std::string& Path, int64_t StableMs) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return TStability::Busy;
    TStability result = TStability::Stable;
    // A read lease cannot be had while anybody holds the file open for writing. Where no
    // lease can be had at all (a file of another user, network file systems) the age of
    // the last change decides alone.
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    else if (errno == EAGAIN || errno == EBUSY)
        result = TStability::Busy;
    struct stat st {};
    if (result == TStability::Stable && ::fstat(fd, &st) == 0) {
        if (AgeMs(st) < StableMs) result = TStability::Young;
    }
    ::close(fd);
    return result;
}

int64_t AgeMs(const struct stat& Status) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t{now.tv_sec} - Status.st_mtim.tv_sec) * 1000 +
           (int64_t{now.tv_nsec} - Status.st_mtim.tv_nsec) / 1000000;
}

int64_t MonotonicMs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int64_t FreeSpace(const std::string& Dir) {
    struct statvfs st {};
    if (Dir.empty() || ::statvfs(Dir.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.f_bavail) * static_cast<int64_t>(st.f_frsize);
}

bool CreateDirectories(const std::string& Dir) {
    if (Dir.empty()) return false;
    std::error_code ec;
    fs::create_directories(fs::path(Dir), ec);
    return IsDirectory(Dir);
}

int CreateExclusive(const std::string& Path) {
    return ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool SyncFile(int Fd) {
    return ::fsync(Fd) == 0;
}

bool SyncDirectoryOf(const std::string& Path) {
    const std::string part = DirectoryPart(Path);
    const int fd = ::open(part.empty() ? "." : part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // Some file systems refuse fsync on a directory; the rename has happened all the same.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return ok;
}

bool Rename(const std::string& From, const std::string& To, bool Replace) {
    if (Replace) return ::rename(From.c_str(), To.c_str()) == 0;
    if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag (NFS): a hard link never replaces either.
    if (::link(From.c_str(), To.c_str()) != 0) return false;
    ::unlink(From.c_str());
    return true;
}

namespace {

// Copies From into the new file Fd; true when every byte arrived and was synced.
bool CopyInto(const std::string& From, int Fd) {
    const int in = ::open(From.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(Fd, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    ::close(in);
    return ok && SyncFile(Fd);
}

std::atomic<unsigned> tempCounter{0};

}  // namespace

bool MoveFile(const std::string& From, const std::string& To) {
    if (Exists(To)) {
        errno = EEXIST;
        return false;
    }
    if (Rename(From, To, false)) {
        SyncDirectoryOf(To);
        return true;
    }
    if (errno != EXDEV) return false;
    // Another file system: a complete copy under a temporary name first, so no incomplete
    // file ever carries the destination's name.
    const std::string temp = DirectoryPart(To) + "." + NamePart(To) + "." +
                             std::to_string(::getpid()) + "-" + std::to_string(tempCounter++) +
                             ".moving";
    const int fd = CreateExclusive(temp);
    if (fd < 0) return false;
    const bool copied = CopyInto(From, fd);
    const bool closed = ::close(fd) == 0;
    if (!copied || !closed || !Rename(temp, To, false)) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return false;
    }
    SyncDirectoryOf(To);
    return ::unlink(From.c_str()) == 0;
}

bool RemoveFile(const std::string& Path) {
    return ::unlink(Path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace fileops
