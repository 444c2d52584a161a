// SPDX-License-Identifier: GPL-3.0-or-later
#include "claims.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "fileops.h"

namespace {

// Claims of folders on other hosts may be dated a little ahead by a clock that runs fast;
// further ahead than this, a date proves nothing.
constexpr int64_t kClockSkewMs = 60000;
// A temporary of a claim being made is older than this only when its maker is gone.
constexpr int64_t kTemporaryMs = 10000;

// The whole (small) content of a file; "" when it cannot be read.
std::string ReadSmall(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string NewContent(const std::string& Host) {
    static std::mt19937_64 random{std::random_device{}()};
    char text[320];
    std::snprintf(text, sizeof text, "%s %ld %016llx\n", Host.c_str(),
                  static_cast<long>(::getpid()), static_cast<unsigned long long>(random()));
    return text;
}

// Whether somebody holds a lock on the file: 1 held, 0 free, -1 the file system keeps no
// locks (or the file is not there).
int LockHeld(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const int result = ::fcntl(fd, F_OFD_GETLK, &lock);
    ::close(fd);
    if (result != 0) return -1;
    return lock.l_type != F_UNLCK ? 1 : 0;
}

bool Lock(int Fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(Fd, F_OFD_SETLK, &lock) == 0;
}

// Gives the open file Fd the name Path, failing where Path exists. Linking a descriptor
// directly takes a privilege; its name under /proc does not.
bool LinkOpenFile(int Fd, const std::string& Path) {
    const std::string self = "/proc/self/fd/" + std::to_string(Fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, Path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Writes Content into Fd, locked; false with errno set.
bool LockAndWrite(int Fd, const std::string& Content) {
    // Without locks (some network mounts) the claim lives by its owner and its age.
    static_cast<void>(Lock(Fd));
    errno = 0;
    if (::write(Fd, Content.data(), Content.size()) == static_cast<ssize_t>(Content.size()))
        return true;
    if (errno == 0) errno = ENOSPC;
    return false;
}

// Creates Path holding Content, all at once and locked: the content is written and locked
// in a file without a name, or under a name of our own, first and then linked to Path, which
// fails when Path exists (on network file systems too). Returns the locked descriptor, or
// -errno.
int CreateClaim(const std::string& Path, const std::string& Content) {
    // Unnamed, the file leaves nothing behind should the process die before the link, and
    // costs the folder no entry to make and remove.
    const std::string dir = fileops::DirectoryPart(Path);
    const int unnamed =
        ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (unnamed >= 0) {
        if (!LockAndWrite(unnamed, Content)) {
            const int error = errno;
            ::close(unnamed);
            return -error;
        }
        if (LinkOpenFile(unnamed, Path)) return unnamed;
        const int error = errno;
        ::close(unnamed);
        // Without /proc the named way below links it.
        if (error != ENOENT) return -error;
    }
    const std::string temp = Path + "." + std::to_string(::getpid()) + ".new";
    ::unlink(temp.c_str());
    const int fd = fileops::CreateExclusive(temp);
    if (fd < 0) return -errno;
    if (!LockAndWrite(fd, Content)) {
        const int writeError = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return -writeError;
    }
    const int linked = ::link(temp.c_str(), Path.c_str());
    const int linkError = errno;
    ::unlink(temp.c_str());
    if (linked != 0) {
        ::close(fd);
        return -linkError;
    }
    return fd;
}

}  // namespace

TClaims::TClaims(int64_t Timeout) : TimeoutMs(Timeout) {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    host_ = name[0] ? name : "localhost";
    // Host names hold no blanks; keep the claim's three fields apart whatever it says.
    for (char& c : host_)
        if (c == ' ' || c == '\n') c = '_';
}

TClaims::~TClaims() {
    while (!held_.empty()) Release(held_.begin()->first);
    // What a failed removal left behind goes now that no lock holds it.
    for (const std::string& dir : dirs_) Sweep(dir);
}

bool TClaims::IsClaimName(const std::string& Name) {
    return Name.find(Suffix) != std::string::npos;
}

std::string TClaims::ClaimPathOf(const std::string& Path) {
    const std::string name = fileops::NamePart(Path);
    // Room for the temporaries made beside a claim (".PID.new").
    const bool fits =
        1 + name.size() + std::char_traits<char>::length(Suffix) + 24 <= fileops::kNameMax;
    return fileops::DirectoryPart(Path) + "." + (fits ? name : fileops::ShortName(name)) + Suffix;
}

TClaims::TResult TClaims::Claim(const std::string& Path) {
    if (held_.count(Path)) return TResult::Taken;
    const std::string claim = ClaimPathOf(Path);
    // Twice at most: once more after taking over a stale claim.
    for (int attempt = 0; attempt < 2; ++attempt) {
        THeld made;
        const int error = Make(claim, made);
        if (error == 0) {
            held_[Path] = std::move(made);
            lastMade_ = Path;
            dirs_.insert(fileops::DirectoryPart(claim));
            return TResult::Claimed;
        }
        // A sweep may remove a temporary in the instant before its lock: make it again.
        if (error == ENOENT && attempt == 0) continue;
        if (error != EEXIST) return TResult::Unclaimable;
        const std::string existing = ReadSmall(claim);
        if (!IsStale(claim, existing) || !TakeOver(claim, existing)) return TResult::Taken;
    }
    return TResult::Taken;
}

// A job claims its source and then its target, and the next job's source follows while the
// last target's claim is still held: a claim is the file of the claim made last, linked under
// a second name, while that one is held and on the same file system. That saves making,
// writing and later freeing a file per claim. The claims stay apart: each has a descriptor of
// its own (sharing the lock) and is released on its own.
int TClaims::Make(const std::string& ClaimPath, THeld& Made) {
    if (const auto last = held_.find(lastMade_); last != held_.end()) {
        if (LinkOpenFile(last->second.fd, ClaimPath)) {
            const int fd = ::fcntl(last->second.fd, F_DUPFD_CLOEXEC, 0);
            if (fd >= 0) {
                Made = THeld{last->second.content, fd};
                return 0;
            }
            ::unlink(ClaimPath.c_str());
        } else if (errno == EEXIST) {
            return EEXIST;
        }
    }
    Made.content = NewContent(host_);
    const int fd = CreateClaim(ClaimPath, Made.content);
    if (fd < 0) return -fd;
    Made.fd = fd;
    return 0;
}

bool TClaims::IsStale(const std::string& ClaimPath, const std::string& Content) const {
    struct stat st {};
    if (::lstat(ClaimPath.c_str(), &st) != 0) return errno == ENOENT;
    // Not a claim of ours at all (a link, a folder): nothing lives there.
    if (!S_ISREG(st.st_mode)) return true;
    switch (LockHeld(ClaimPath)) {
        case 1:
            return false;
        case 0:
            return true;
        default:
            break;
    }
    // No locks here: the owner's process answers for itself on this host; a claim from
    // another host lives until the timeout, and a date in the future proves nothing.
    const int64_t age = fileops::AgeMs(st);
    if (age > TimeoutMs || age < -kClockSkewMs) return true;
    char host[256] = {};
    long pid = 0;
    if (std::sscanf(Content.c_str(), "%255s %ld", host, &pid) != 2 || host_ != host || pid <= 0)
        return false;
    if (pid == ::getpid()) return true;  // a claim left by an earlier process of this id
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Moves the stale claim aside under a name of our own, so that of several processes taking
// it over at once only one succeeds. Should the claim have been replaced by a fresh one
// between the look and the move, the fresh one is put back.
bool TClaims::TakeOver(const std::string& ClaimPath, const std::string& Content) {
    const std::string aside =
        fileops::DirectoryPart(ClaimPath) + "." +
        fileops::ShortName(fileops::NamePart(ClaimPath) + host_ + std::to_string(::getpid())) +
        Suffix + ".aside";
    if (::rename(ClaimPath.c_str(), aside.c_str()) != 0) return errno == ENOENT;
    const bool same = ReadSmall(aside) == Content && LockHeld(aside) != 1;
    // Fails when somebody claimed anew meanwhile: theirs stands.
    if (!same) static_cast<void>(::link(aside.c_str(), ClaimPath.c_str()));
    ::unlink(aside.c_str());
    return same;
}

void TClaims::Release(const std::string& Path) {
    const auto it = held_.find(Path);
    if (it == held_.end()) return;
    const std::string claim = ClaimPathOf(Path);
    // Only our own: after a long silence another process may have taken it over.
    struct stat mine {
    }, there{};
    if (::fstat(it->second.fd, &mine) == 0 && ::lstat(claim.c_str(), &there) == 0 &&
        mine.st_dev == there.st_dev && mine.st_ino == there.st_ino)
        ::unlink(claim.c_str());
    ::close(it->second.fd);
    held_.erase(it);
}

void TClaims::Refresh() {
    const int64_t now = fileops::MonotonicMs();
    if (now - lastRefreshMs_ < TimeoutMs / 4) return;
    lastRefreshMs_ = now;
    for (const auto& [path, held] : held_) ::futimens(held.fd, nullptr);
}

int TClaims::Sweep(const std::string& Dir) {
    const std::string dir = fileops::AddSlash(Dir.empty() ? "." : Dir);
    DIR* listing = ::opendir(dir.c_str());
    if (!listing) return 0;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing))
        if (IsClaimName(entry->d_name)) names.emplace_back(entry->d_name);
    ::closedir(listing);
    int removed = 0;
    const std::string suffix = Suffix;
    for (const std::string& name : names) {
        const std::string path = dir + name;
        bool held = false;
        for (const auto& [file, claim] : held_) held = held || ClaimPathOf(file) == path;
        if (held) continue;
        const bool isClaim = name.size() > suffix.size() &&
                             name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (isClaim) {
            const std::string content = ReadSmall(path);
            if (IsStale(path, content) && TakeOver(path, content)) ++removed;
            continue;
        }
        // A temporary: its maker locked it at once (and holds that lock for as long as
        // the claim linked from it lives), or is gone. Without locks, age alone tells.
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        const int locked = LockHeld(path);
        if ((locked == 0 || (locked < 0 && fileops::AgeMs(st) > kTemporaryMs)) &&
            ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}
