// SPDX-License-Identifier: GPL-3.0-or-later
#include "UKoEvent.h"

#include <algorithm>

#include "UKoException.h"

// Each event has its own mutex, so events of unrelated FIFOs never contend. A wait on several
// events registers a waiter with each; Signal marks the waiter woken under the waiter's own
// mutex, so a signal that comes between the wait's scan and its sleep is never lost. Lock
// order: an event's mutex, then a waiter's.

// Registers a waiter with every event of a wait, and removes it again however the wait ends.
class TKoEventWaitRegistration {
  public:
    TKoEventWaitRegistration(std::span<TKoEvent* const> events, TKoEvent::Waiter& waiter)
        : events_(events), waiter_(waiter) {
        for (TKoEvent* event : events_) {
            std::lock_guard lock(event->mutex_);
            event->waiters_.push_back(&waiter_);
        }
    }
    ~TKoEventWaitRegistration() {
        for (TKoEvent* event : events_) {
            std::lock_guard lock(event->mutex_);
            std::erase(event->waiters_, &waiter_);
        }
    }
    TKoEventWaitRegistration(const TKoEventWaitRegistration&) = delete;
    TKoEventWaitRegistration& operator=(const TKoEventWaitRegistration&) = delete;

  private:
    std::span<TKoEvent* const> events_;
    TKoEvent::Waiter& waiter_;
};

TKoEvent::TKoEvent(TKoEventReset Reset) : manual_(Reset == TKoEventReset::Manual) {}

TKoEvent::~TKoEvent() = default;

void TKoEvent::Signal() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (Waiter* waiter : waiters_) {
        std::lock_guard wake(waiter->mutex);
        waiter->woken = true;
        waiter->wake.notify_one();
    }
}

void TKoEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

// Takes the event when it is signalled (an auto-reset one is reset by the taking).
bool TKoEvent::TryTake() {
    std::lock_guard lock(mutex_);
    if (!signalled_) return false;
    if (!manual_) signalled_ = false;
    return true;
}

TKoEvent* TKoEvent::WaitForAny(std::span<TKoEvent* const> Events) {
    if (Events.empty() || Events.size() > MaxWaitEvents) throw EKoError();
    if (std::find(Events.begin(), Events.end(), nullptr) != Events.end()) throw EKoError();

    Waiter waiter;
    TKoEventWaitRegistration registration(Events, waiter);
    for (;;) {
        {
            std::lock_guard lock(waiter.mutex);
            waiter.woken = false;
        }
        for (TKoEvent* event : Events)
            if (event->TryTake()) return event;
        std::unique_lock lock(waiter.mutex);
        waiter.wake.wait(lock, [&] { return waiter.woken; });
    }
}
