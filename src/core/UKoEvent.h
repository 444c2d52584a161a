// SPDX-License-Identifier: GPL-3.0-or-later
// An event with auto- or manual-reset semantics and a wait for the first of several events.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "UKoException.h"

enum class TKoEventReset { Auto, Manual };

class TKoEvent {
  public:
    // The most events one WaitForAny accepts.
    static constexpr std::size_t MaxWaitEvents = 64;

    // Initially not signalled.
    explicit TKoEvent(TKoEventReset Reset = TKoEventReset::Auto);
    static std::unique_ptr<TKoEvent> CreateManualReset() {
        return std::make_unique<TKoEvent>(TKoEventReset::Manual);
    }
    // Must not be destroyed while a thread waits on it.
    virtual ~TKoEvent();
    TKoEvent(const TKoEvent&) = delete;
    TKoEvent& operator=(const TKoEvent&) = delete;

    void Signal();
    void Reset();
    bool IsManualReset() const { return manual_; }

    // Blocks until one of Events is signalled and returns it; when several are, the earliest
    // in the list wins. An auto-reset event returned has been reset by the wait. Raises
    // EKoError for an empty list, more than MaxWaitEvents events or a null entry.
    static TKoEvent* WaitForAny(std::span<TKoEvent* const> Events);
    static TKoEvent* WaitForAny(std::initializer_list<TKoEvent*> Events) {
        return WaitForAny(std::span<TKoEvent* const>(Events.begin(), Events.size()));
    }

  private:
    struct Waiter {
        std::mutex mutex;
        std::condition_variable wake;
        bool woken = false;
    };
    friend class TKoEventWaitRegistration;
    bool TryTake();

    const bool manual_;
    std::mutex mutex_;
    // Guarded by mutex_.
    bool signalled_ = false;
    std::vector<Waiter*> waiters_;
};
