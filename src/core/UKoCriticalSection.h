// SPDX-License-Identifier: GPL-3.0-or-later
// A re-entrant lock for short sections inside one process.
#pragma once

#include <mutex>

class TKoCriticalSection {
  public:
    TKoCriticalSection() = default;
    virtual ~TKoCriticalSection() = default;
    TKoCriticalSection(const TKoCriticalSection&) = delete;
    TKoCriticalSection& operator=(const TKoCriticalSection&) = delete;

    // The owning thread may enter again and must then leave as often.
    void Enter();
    void Leave();

    // So that std::lock_guard and std::unique_lock can hold it.
    void lock() { Enter(); }
    void unlock() { Leave(); }

  private:
    std::recursive_mutex mutex_;
};
