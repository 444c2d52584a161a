// SPDX-License-Identifier: GPL-3.0-or-later
#include "watch.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fileops.h"

namespace {

// A file closed after writing or moved in; a directory created or moved in (recursion).
constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR | IN_EXCL_UNLINK;

std::string ErrorText() {
    return std::strerror(errno);
}

}  // namespace

std::string TWatch::NetworkFileSystem(const std::string& Dir) {
    struct statfs st {};
    if (::statfs(Dir.c_str(), &st) != 0) return {};
    // inotify sees only the changes made through this machine's kernel.
    switch (static_cast<unsigned long>(st.f_type)) {
        case 0x6969:
            return "nfs";
        case 0x517B:
            return "smb";
        case 0xFF534D42:
            return "cifs";
        case 0xFE534D42:
            return "smb2";
        case 0x65735546:
            return "fuse";
        case 0x00C36400:
            return "ceph";
        case 0x5346414F:
            return "afs";
        case 0x01021997:
            return "9p";
        case 0x0BD00BD0:
            return "lustre";
        case 0x47504653:
            return "gpfs";
        default:
            return {};
    }
}

TWatch::TWatch(const std::vector<std::string>& Dirs, bool Recursive, TNameFilter IsCandidate,
               TReport Report)
    : recursive_(Recursive), isCandidate_(std::move(IsCandidate)), report_(std::move(Report)) {
    for (const std::string& dir : Dirs) {
        const std::string network = NetworkFileSystem(dir);
        if (!network.empty()) {
            FallBack(dir + " lies on a network file system (" + network +
                     "), where inotify does not see other machines' changes");
            return;
        }
    }
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        FallBack("inotify is not available (" + ErrorText() + ")");
        return;
    }
    for (const std::string& dir : Dirs) {
        AddTree(fileops::AddSlash(dir), true);
        if (polling_) return;
    }
}

TWatch::~TWatch() {
    if (fd_ >= 0) ::close(fd_);
}

void TWatch::FallBack(const std::string& Reason) {
    if (polling_) return;
    polling_ = true;
    reason_ = Reason;
    // The watches count against the user's limit: give them back.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    dirs_.clear();
    if (report_) report_(Reason);
}

void TWatch::AddTree(const std::string& Dir, bool IsRoot) {
    // Below a source directory, links are never followed, as the search does not follow them.
    const int wd = ::inotify_add_watch(fd_, Dir.c_str(), kEvents | (IsRoot ? 0u : IN_DONT_FOLLOW));
    if (wd < 0) {
        if (errno == ENOSPC)
            FallBack("the limit of inotify watches (fs.inotify.max_user_watches) is reached");
        else if (IsRoot)
            FallBack(Dir + " cannot be watched (" + ErrorText() + ")");
        // A subdirectory gone or closed meanwhile: the periodic search still covers it.
        return;
    }
    dirs_[wd] = Dir;
    if (!recursive_) return;
    DIR* dir = ::opendir(Dir.c_str());
    if (!dir) return;
    std::vector<std::string> subdirs;
    while (const dirent* entry = ::readdir(dir)) {
        // The search passes over hidden directories (and "." and "..").
        if (entry->d_name[0] == '.') continue;
        const std::string path = Dir + entry->d_name;
        struct stat st {};
        if (entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
            subdirs.push_back(path + "/");
    }
    ::closedir(dir);
    for (const std::string& sub : subdirs) {
        AddTree(sub, false);
        if (polling_) return;
    }
}

bool TWatch::Drain() {
    alignas(inotify_event) char buffer[16384];
    bool arrived = false;
    while (fd_ >= 0) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0) break;  // EAGAIN: every queued event is read
        for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW) {
                FallBack("the inotify event queue overflowed");
                return true;
            }
            if (event->mask & IN_IGNORED) {
                dirs_.erase(event->wd);
                continue;
            }
            const auto dir = dirs_.find(event->wd);
            if (dir == dirs_.end() || event->len == 0) continue;
            const std::string name = event->name;
            if (event->mask & IN_ISDIR) {
                // A new subdirectory: watched from now on; what it already holds is found by
                // the search this wakes.
                if (recursive_ && name[0] != '.' && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
                    AddTree(dir->second + name + "/", false);
                    if (polling_) return true;
                    arrived = true;
                }
                continue;
            }
            if ((event->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && isCandidate_(name))
                arrived = true;
        }
    }
    return arrived;
}

TWatch::TWake TWatch::Wait(int Ms, int StopFd) {
    const int64_t deadline = fileops::MonotonicMs() + Ms;
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (StopFd >= 0) fds[count++] = {StopFd, POLLIN, 0};
        const nfds_t watchAt = count;
        if (Watching()) fds[count++] = {fd_, POLLIN, 0};
        // Polled at least once, so that a wait of 0 still sees what is queued.
        const int64_t left = std::max<int64_t>(deadline - fileops::MonotonicMs(), 0);
        const int ready = ::poll(fds, count, static_cast<int>(left));
        if (ready < 0) {
            // A signal: its handler writes StopFd when it means to stop.
            if (errno == EINTR) continue;
            return TWake::TimedOut;
        }
        if (ready == 0) return TWake::TimedOut;
        if (StopFd >= 0 && (fds[0].revents & POLLIN)) return TWake::Stopped;
        if (watchAt < count && fds[watchAt].revents && Drain()) return TWake::Arrived;
    }
}
