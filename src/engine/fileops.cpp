// SPDX-License-Identifier: GPL-3.0-or-later
// File operations that never follow a planted link nor touch a file that changed.
#include "fileops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
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
    if (fd < 0) return errno == ENOENT ? TStability::Gone : TStability::Busy;
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

int CreateExclusive(const std::string& Path, mode_t Mode) {
    return ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, Mode);
}

TFileIdentity IdentityOf(const struct stat& Status) {
    TFileIdentity id;
    id.Device = Status.st_dev;
    id.Inode = Status.st_ino;
    id.Size = Status.st_size;
    id.Modified = Status.st_mtim;
    id.Changed = Status.st_ctim;
    id.Mode = Status.st_mode;
    return id;
}

bool SameIdentity(const TFileIdentity& A, const TFileIdentity& B) {
    auto same = [](const timespec& x, const timespec& y) {
        return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
    };
    return A.Known() && B.Known() && A.Device == B.Device && A.Inode == B.Inode &&
           A.Size == B.Size && same(A.Modified, B.Modified) && same(A.Changed, B.Changed);
}

TFileIdentity IdentityAt(const std::string& Path) {
    struct stat st {};
    if (Path.empty() || ::lstat(Path.c_str(), &st) != 0) return {};
    return IdentityOf(st);
}

bool StillSame(const std::string& Path, const TFileIdentity& Identity) {
    return SameIdentity(IdentityAt(Path), Identity);
}

mode_t Umask() {
    // Reading the mask through umask() would change it for every thread meanwhile.
    static const mode_t mask = [] {
        FILE* status = std::fopen("/proc/self/status", "re");
        unsigned value = 022;
        if (status) {
            char line[256];
            while (std::fgets(line, sizeof line, status))
                if (std::sscanf(line, "Umask: %o", &value) == 1) break;
            std::fclose(status);
        }
        return static_cast<mode_t>(value & 0777);
    }();
    return mask;
}

std::string ShortName(const std::string& Name) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : Name) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 1099511628211ull;
    }
    char text[32];
    std::snprintf(text, sizeof text, "sonbar-%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string PartName(const std::string& Name) {
    if (Name.size() + 5 <= kNameMax) return Name + ".part";
    return std::string(".").append(ShortName(Name)).append(".part");
}

int OpenDirectoryBelow(const std::string& Root, const std::string& Relative, bool Create) {
    const std::string root = Root.empty() ? "." : Root;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && Create && errno == ENOENT && CreateDirectories(root))
        fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t start = 0;
    while (start <= Relative.size()) {
        std::size_t end = Relative.find('/', start);
        if (end == std::string::npos) end = Relative.size();
        const std::string name = Relative.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        if (Create && ::mkdirat(fd, name.c_str(), 0777) != 0 && errno != EEXIST) {
            const int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
        const int next =
            ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(fd);
        if (next < 0) {
            errno = error;
            return -1;
        }
        fd = next;
    }
    return fd;
}

int OpenDirectoryOf(const std::string& Path) {
    const std::string dir = DirectoryPart(Path);
    return ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool SyncDirectory(int DirFd) {
    // Some file systems refuse fsync on a directory; the rename has happened all the same.
    return ::fsync(DirFd) == 0 || errno == EINVAL;
}

bool SyncFile(int Fd) {
    return ::fsync(Fd) == 0;
}

bool SyncDirectoryOf(const std::string& Path) {
    const int fd = OpenDirectoryOf(Path);
    if (fd < 0) return false;
    const bool ok = SyncDirectory(fd);
    const int error = errno;
    ::close(fd);
    errno = error;
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

// Copies the open file In into the new file Out; true when every byte arrived.
bool CopyInto(int In, int Out) {
    std::vector<char> buffer(1 << 20);
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(In, buffer.data(), buffer.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(Out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = ENOSPC;
                return false;
            }
            done += w;
        }
        offset += n;
    }
}

std::atomic<unsigned> tempCounter{0};

// Keeps errno across the clean-up that follows a failure.
bool FailKeepingErrno(const std::function<void()>& CleanUp) {
    const int saved = errno;
    CleanUp();
    errno = saved;
    return false;
}

// Links a complete file into Name without replacing anything: renameat2 where the file
// system knows the flag, a hard link elsewhere (NFS).
bool RenameNoReplace(int FromDir, const std::string& From, int ToDir, const std::string& To) {
    if (::renameat2(FromDir, From.c_str(), ToDir, To.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    if (::linkat(FromDir, From.c_str(), ToDir, To.c_str(), 0) != 0) return false;
    ::unlinkat(FromDir, From.c_str(), 0);
    return true;
}

// The copy of a move to another file system: a complete, synced copy with the source's
// mode, owner, group and times under a temporary name first, so no incomplete file ever
// carries the destination's name.
bool CopyAcross(const std::string& From, const TFileIdentity& Identity, int DirFd,
                const std::string& Name) {
    const int in = ::open(From.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st {};
    if (::fstat(in, &st) != 0 || !SameIdentity(IdentityOf(st), Identity)) {
        ::close(in);
        errno = ESTALE;
        return false;
    }
    std::string temp = ".";
    temp.append(ShortName(Name)).append(".").append(std::to_string(::getpid())).append("-");
    temp.append(std::to_string(tempCounter++)).append(".moving");
    const int out =
        ::openat(DirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return FailKeepingErrno([&] { ::close(in); });
    bool ok = CopyInto(in, out);
    if (ok) {
        // Owner and group only where permitted (as root, or a group of one's own); the
        // mode after them, since a change of owner clears the set-id bits.
        static_cast<void>(::fchown(out, st.st_uid, st.st_gid));
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ok = ::fchmod(out, st.st_mode & 07777) == 0 && ::futimens(out, times) == 0 && SyncFile(out);
    }
    ok = ::close(out) == 0 && ok;
    ::close(in);
    if (!ok || !RenameNoReplace(DirFd, temp, DirFd, Name))
        return FailKeepingErrno([&] { ::unlinkat(DirFd, temp.c_str(), 0); });
    return true;
}

}  // namespace

bool RenameAt(int FromDir, const std::string& From, int ToDir, const std::string& To,
              bool Replace) {
    if (Replace) return ::renameat(FromDir, From.c_str(), ToDir, To.c_str()) == 0;
    return RenameNoReplace(FromDir, From, ToDir, To);
}

bool MoveFileInto(const std::string& From, const TFileIdentity& Identity, int DirFd,
                  const std::string& Name) {
    if (!StillSame(From, Identity)) {
        errno = ESTALE;
        return false;
    }
    struct stat st {};
    if (::fstatat(DirFd, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    if (RenameNoReplace(AT_FDCWD, From, DirFd, Name)) return SyncDirectory(DirFd);
    if (errno != EXDEV) return false;
    if (!CopyAcross(From, Identity, DirFd, Name)) return false;
    // The copy is durable before the source goes; a source changed meanwhile stays, and so
    // does nothing of the copy.
    auto removeCopy = [&] { ::unlinkat(DirFd, Name.c_str(), 0); };
    if (!SyncDirectory(DirFd)) return FailKeepingErrno(removeCopy);
    if (!StillSame(From, Identity)) {
        removeCopy();
        errno = ESTALE;
        return false;
    }
    return ::unlink(From.c_str()) == 0;
}

bool MoveFile(const std::string& From, const std::string& To) {
    const int dir = OpenDirectoryOf(To);
    if (dir < 0) return false;
    const bool moved = MoveFileInto(From, IdentityAt(From), dir, NamePart(To));
    const int error = errno;
    ::close(dir);
    errno = error;
    return moved;
}

bool DeleteIfSame(const std::string& From, const TFileIdentity& Identity) {
    if (!StillSame(From, Identity)) {
        errno = ESTALE;
        return false;
    }
    return ::unlink(From.c_str()) == 0;
}

bool RemoveFile(const std::string& Path) {
    return ::unlink(Path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace fileops
