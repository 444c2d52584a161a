// SPDX-License-Identifier: GPL-3.0-or-later
// What a batch started by systemd as a Type=notify service tells it: ready once the settings
// are checked and the watch is set, a status line with the files done and failed, the
// watchdog's keep-alive, and that it is stopping. Outside such a service it does nothing.
#pragma once

#include <cstdint>
#include <string>

class TServiceNotifier {
  public:
    TServiceNotifier();

    void Ready(const std::string& Status);
    // Sent only when it changed.
    void Status(const std::string& Text);
    void Stopping();
    // Keeps the watchdog fed: call it from every turn of the batch's loop.
    void KeepAlive();
    // The longest wait between two KeepAlive calls that keeps the watchdog fed (ms), or -1
    // when no watchdog runs.
    int MaxWaitMs() const { return maxWaitMs_; }

  private:
    int maxWaitMs_ = -1;
    int64_t lastKeepAlive_ = 0;
    std::string status_;
};
