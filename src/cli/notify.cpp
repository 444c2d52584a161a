// SPDX-License-Identifier: GPL-3.0-or-later
#include "notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>

#include "fileops.h"

TServiceNotifier::TServiceNotifier() {
    uint64_t usec = 0;
    // Fed at a quarter of the interval: a search or a job's end may hold the loop a while.
    if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        maxWaitMs_ = static_cast<int>(std::max<uint64_t>(usec / 4000, 1));
}

void TServiceNotifier::Ready(const std::string& Status) {
    status_ = Status;
    ::sd_notify(0, ("READY=1\nSTATUS=" + Status).c_str());
}

void TServiceNotifier::Status(const std::string& Text) {
    if (Text == status_) return;
    status_ = Text;
    ::sd_notify(0, ("STATUS=" + Text).c_str());
}

void TServiceNotifier::Stopping() {
    ::sd_notify(0, "STOPPING=1");
}

void TServiceNotifier::KeepAlive() {
    if (maxWaitMs_ < 0) return;
    const int64_t now = fileops::MonotonicMs();
    if (now - lastKeepAlive_ < maxWaitMs_ / 2) return;
    lastKeepAlive_ = now;
    ::sd_notify(0, "WATCHDOG=1");
}
