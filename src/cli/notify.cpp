// SPDX-License-Identifier: GPL-3.0-or-later
#include "notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "fileops.h"

namespace {

// The service manager's notification protocol: one datagram of NAME=VALUE lines to the socket
// named by $NOTIFY_SOCKET, a path or, after '@', an abstract name. Spoken here rather than
// through the manager's client library, whose loading (with the libraries it draws in) cost
// every start of the program a few milliseconds.
void Notify(const std::string& Message) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@')) return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    if (length < 2 || length >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    ::sendto(fd, Message.data(), Message.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    ::close(fd);
}

// The watchdog's interval in microseconds, when it watches this process; else 0.
uint64_t WatchdogUsec() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !*usec) return 0;
    if (const char* pid = std::getenv("WATCHDOG_PID");
        pid && *pid && std::strtoll(pid, nullptr, 10) != ::getpid())
        return 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(usec, &end, 10);
    return *end == '\0' ? value : 0;
}

}  // namespace

TServiceNotifier::TServiceNotifier() {
    // Fed at a quarter of the interval: a search or a job's end may hold the loop a while.
    if (const uint64_t usec = WatchdogUsec(); usec > 0)
        maxWaitMs_ = static_cast<int>(std::max<uint64_t>(usec / 4000, 1));
}

void TServiceNotifier::Ready(const std::string& Status) {
    status_ = Status;
    Notify("READY=1\nSTATUS=" + Status);
}

void TServiceNotifier::Status(const std::string& Text) {
    if (Text == status_) return;
    status_ = Text;
    Notify("STATUS=" + Text);
}

void TServiceNotifier::Stopping() {
    Notify("STOPPING=1");
}

void TServiceNotifier::KeepAlive() {
    if (maxWaitMs_ < 0) return;
    const int64_t now = fileops::MonotonicMs();
    if (now - lastKeepAlive_ < maxWaitMs_ / 2) return;
    lastKeepAlive_ = now;
    Notify("WATCHDOG=1");
}
