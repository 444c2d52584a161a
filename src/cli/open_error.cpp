// SPDX-License-Identifier: GPL-3.0-or-later
#include "open_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "commands.h"
#include "fileops.h"

std::string UnreadableReason(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    struct stat info {};
    const bool directory = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    ::close(fd);
    return directory ? "is a directory" : "";
}

bool CheckInputAndOutput(const std::string& In, const std::string& Out) {
    if (std::string reason = UnreadableReason(In); !reason.empty()) {
        ReportError(In, reason);
        return false;
    }
    if (fileops::SameFile(In, Out)) {
        ReportError(Out, "is the input file itself");
        return false;
    }
    return true;
}

bool OutputTakesPartFile(const std::string& Out) {
    struct stat info {};
    return ::stat(Out.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}
