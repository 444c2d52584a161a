// SPDX-License-Identifier: GPL-3.0-or-later
#include "replacefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "fileops.h"

namespace replacefile {

namespace {

[[noreturn]] void Fail(int Error, const std::string& What) {
    throw std::system_error(Error, std::generic_category(), What);
}

}  // namespace

std::string FinalName(const std::string& Path) {
    std::string name = Path;
    // As many links as the kernel follows in one path; a loop ends in ELOOP below.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return name;
        std::vector<char> buffer(static_cast<std::size_t>(status.st_size) + 256);
        const ssize_t n = ::readlink(name.c_str(), buffer.data(), buffer.size());
        if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) return name;
        const std::string target(buffer.data(), static_cast<std::size_t>(n));
        name = target.front() == '/' ? target : fileops::DirectoryPart(name) + target;
    }
    Fail(ELOOP, Path);
}

void Replace(const std::string& Path,
             const std::function<void(int Fd, const std::string& TempName)>& Write) {
    const std::string target = FinalName(Path);
    const std::string dir = fileops::DirectoryPart(target);
    if (!dir.empty() && !fileops::CreateDirectories(dir)) Fail(errno, dir);

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    // The temporary is private while it is written; a new file gets the mode it always had.
    const std::string temp = target + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          exists ? 0600 : 0644);
    if (fd < 0) Fail(errno, temp);
    auto give_up = [&](int Error, const std::string& What) {
        ::close(fd);
        ::unlink(temp.c_str());
        Fail(Error, What);
    };
    try {
        Write(fd, temp);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (exists) {
        // Root saving a user's file leaves it the user's; others cannot change the owner,
        // and then the file is theirs anyway.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid())
            (void)::fchown(fd, old.st_uid, old.st_gid);
        if (::fchmod(fd, old.st_mode & 07777) != 0) give_up(errno, temp);
    }
    if (!fileops::SyncFile(fd)) give_up(errno, temp);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        Fail(error, temp);
    }
    if (!fileops::Rename(temp, target, true)) {
        const int error = errno;
        ::unlink(temp.c_str());
        Fail(error, target);
    }
    if (!fileops::SyncDirectoryOf(target)) Fail(errno, dir);
}

}  // namespace replacefile
