// SPDX-License-Identifier: GPL-3.0-or-later
#include "stdio_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "commands.h"

namespace {

const std::string kStdin = "(stdin)";
const std::string kStdout = "(stdout)";

// A new empty file in $TMPDIR (or /tmp), readable by its owner only; its descriptor.
int CreateTemporary(std::string& Name) {
    const char* dir = std::getenv("TMPDIR");
    Name = std::string(dir && *dir ? dir : "/tmp") + "/sonbar-XXXXXX.wav";
    const int fd = ::mkstemps(Name.data(), 4);
    if (fd < 0) Name.clear();
    return fd;
}

// Copies everything From holds to To; 0 or the errno of the failing call.
int CopyAll(int From, int To) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(From, buffer, sizeof buffer);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(To, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return errno;
            done += put;
        }
    }
}

}  // namespace

TStdioFiles::~TStdioFiles() {
    if (!in_.empty()) ::unlink(in_.c_str());
    if (!out_.empty()) ::unlink(out_.c_str());
}

bool TStdioFiles::Prepare(std::string& In, std::string& Out) {
    if (In == "-") {
        const int fd = CreateTemporary(in_);
        if (fd < 0) {
            ReportError(kStdin,
                        std::string("cannot create a temporary file: ") + std::strerror(errno));
            return false;
        }
        const int error = CopyAll(STDIN_FILENO, fd);
        const int closed = ::close(fd) == 0 ? 0 : errno;
        if (error || closed) {
            ReportError(kStdin,
                        std::string("reading failed: ") + std::strerror(error ? error : closed));
            return false;
        }
        In = in_;
    }
    if (Out == "-") {
        const int fd = CreateTemporary(out_);
        if (fd < 0) {
            ReportError(kStdout,
                        std::string("cannot create a temporary file: ") + std::strerror(errno));
            return false;
        }
        ::close(fd);
        Out = out_;
    }
    return true;
}

bool TStdioFiles::Finish() {
    if (out_.empty()) return true;
    const int fd = ::open(out_.c_str(), O_RDONLY | O_CLOEXEC);
    int error = fd < 0 ? errno : CopyAll(fd, STDOUT_FILENO);
    if (fd >= 0) ::close(fd);
    if (error) ReportError(kStdout, std::string("writing failed: ") + std::strerror(error));
    return error == 0;
}

const std::string& TStdioFiles::InName(const std::string& In) const {
    return !in_.empty() && In == in_ ? kStdin : In;
}

const std::string& TStdioFiles::OutName(const std::string& Out) const {
    return !out_.empty() && Out == out_ ? kStdout : Out;
}
