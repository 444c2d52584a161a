// SPDX-License-Identifier: GPL-3.0-or-later
#include "claims.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <random>

#include "fileops.h"

namespace {

// The whole (small) content of a file; "" when it cannot be read.
std::string ReadSmall(const std::string& Path) {
    const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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

// Creates Path holding Content, all at once: the content is written under a name of our
// own first and then linked to Path, which fails when Path exists (on network file systems
// too). A process killed half-way leaves no empty claim that would look alive.
int CreateClaim(const std::string& Path, const std::string& Content) {
    const std::string temp = Path + "." + std::to_string(::getpid()) + ".new";
    ::unlink(temp.c_str());
    const int fd = fileops::CreateExclusive(temp);
    if (fd < 0) return errno;
    const bool written =
        ::write(fd, Content.data(), Content.size()) == static_cast<ssize_t>(Content.size());
    const int writeError = errno ? errno : ENOSPC;
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        return writeError;
    }
    const int linked = ::link(temp.c_str(), Path.c_str());
    const int linkError = errno;
    ::unlink(temp.c_str());
    return linked == 0 ? 0 : linkError;
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
}

bool TClaims::IsClaimName(const std::string& Name) {
    return Name.find(Suffix) != std::string::npos;
}

std::string TClaims::ClaimPathOf(const std::string& Path) {
    return fileops::DirectoryPart(Path) + "." + fileops::NamePart(Path) + Suffix;
}

TClaims::TResult TClaims::Claim(const std::string& Path) {
    if (held_.count(Path)) return TResult::Taken;
    const std::string claim = ClaimPathOf(Path);
    const std::string content = NewContent(host_);
    // Twice at most: once more after taking over a stale claim.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int error = CreateClaim(claim, content);
        if (error == 0) {
            held_[Path] = content;
            return TResult::Claimed;
        }
        if (error != EEXIST) return TResult::Unclaimable;
        const std::string existing = ReadSmall(claim);
        if (!IsStale(claim, existing) || !TakeOver(claim, existing)) return TResult::Taken;
    }
    return TResult::Taken;
}

bool TClaims::IsStale(const std::string& ClaimPath, const std::string& Content) const {
    struct stat st {};
    if (::lstat(ClaimPath.c_str(), &st) != 0) return errno == ENOENT;
    if (fileops::AgeMs(st) > TimeoutMs) return true;
    // On this host the owner's process answers for itself; a claim from another host waits
    // for the timeout.
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
    const std::string aside = ClaimPath + "." + host_ + "." + std::to_string(::getpid()) + Suffix;
    if (::rename(ClaimPath.c_str(), aside.c_str()) != 0) return errno == ENOENT;
    const bool same = ReadSmall(aside) == Content;
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
    if (ReadSmall(claim) == it->second) ::unlink(claim.c_str());
    held_.erase(it);
}

void TClaims::Refresh() {
    const int64_t now = fileops::MonotonicMs();
    if (now - lastRefreshMs_ < TimeoutMs / 4) return;
    lastRefreshMs_ = now;
    for (const auto& [path, content] : held_)
        ::utimensat(AT_FDCWD, ClaimPathOf(path).c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
}
