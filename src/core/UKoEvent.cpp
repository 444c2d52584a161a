#include "UKoEvent.h"

#include <algorithm>
#include <mutex>

#include "UKoException.h"

namespace {

// One mutex for all events: a wait on several events must test and take them atomically.
// Waiters sleep on their own condition variable and are woken only by their own events.
std::mutex& EventMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

// Registers a waiter with every event of a wait, and removes it again however the wait ends.
class TKoEventWaitRegistration {
  public:
    TKoEventWaitRegistration(std::span<TKoEvent* const> events, TKoEvent::Waiter& waiter)
        : events_(events), waiter_(waiter) {
        for (TKoEvent* event : events_) event->waiters_.push_back(&waiter_);
    }
    ~TKoEventWaitRegistration() {
        for (TKoEvent* event : events_) std::erase(event->waiters_, &waiter_);
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
    std::lock_guard lock(EventMutex());
    signalled_ = true;
    for (Waiter* waiter : waiters_) waiter->wake.notify_one();
}

void TKoEvent::Reset() {
    std::lock_guard lock(EventMutex());
    signalled_ = false;
}

TKoEvent* TKoEvent::WaitForAny(std::span<TKoEvent* const> Events) {
    if (Events.empty() || Events.size() > MaxWaitEvents) throw EKoError();
    if (std::find(Events.begin(), Events.end(), nullptr) != Events.end()) throw EKoError();

    std::unique_lock lock(EventMutex());
    Waiter waiter;
    TKoEventWaitRegistration registration(Events, waiter);
    for (;;) {
        for (TKoEvent* event : Events) {
            if (event->signalled_) {
                if (!event->manual_) event->signalled_ = false;
                return event;
            }
        }
        waiter.wake.wait(lock);
    }
}
