// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "UKoCriticalSection.h"
#include "UKoEvent.h"

namespace {

// Returns E when it is signalled, otherwise the always-signalled probe: a wait that never blocks.
TKoEvent* Probe(TKoEvent& e) {
    static const auto always = [] {
        auto ev = TKoEvent::CreateManualReset();
        ev->Signal();
        return ev;
    }();
    return TKoEvent::WaitForAny({&e, always.get()});
}

TEST(Event, AutoResetLowestIndexFirst) {
    TKoEvent a, b;
    a.Signal();
    b.Signal();
    EXPECT_EQ(TKoEvent::WaitForAny({&a, &b}), &a);
    EXPECT_EQ(TKoEvent::WaitForAny({&a, &b}), &b);
    EXPECT_NE(Probe(a), &a);
    EXPECT_NE(Probe(b), &b);
    // Signalling twice does not count.
    a.Signal();
    a.Signal();
    EXPECT_EQ(Probe(a), &a);
    EXPECT_NE(Probe(a), &a);
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    auto m = TKoEvent::CreateManualReset();
    TKoEvent later;
    m->Signal();
    later.Signal();
    EXPECT_EQ(TKoEvent::WaitForAny({m.get(), &later}), m.get());
    EXPECT_EQ(TKoEvent::WaitForAny({m.get(), &later}), m.get());
    m->Reset();
    EXPECT_EQ(TKoEvent::WaitForAny({m.get(), &later}), &later);
    EXPECT_NE(Probe(*m), m.get());
}

TEST(Event, ListLimits) {
    std::vector<std::unique_ptr<TKoEvent>> owned;
    std::vector<TKoEvent*> events;
    for (int i = 0; i < 65; ++i) {
        owned.push_back(std::make_unique<TKoEvent>());
        events.push_back(owned.back().get());
    }
    events[63]->Signal();
    events[64]->Signal();
    EXPECT_THROW(TKoEvent::WaitForAny(events), EKoError);
    events.pop_back();
    EXPECT_EQ(TKoEvent::WaitForAny(events), events[63]);
    EXPECT_THROW(TKoEvent::WaitForAny(std::span<TKoEvent* const>()), EKoError);
    EXPECT_THROW(TKoEvent::WaitForAny({nullptr}), EKoError);
}

TEST(Event, WakesAWaitingThread) {
    TKoEvent a, b;
    TKoEvent* woken = nullptr;
    std::thread waiter([&] { woken = TKoEvent::WaitForAny({&a, &b}); });
    b.Signal();
    waiter.join();
    EXPECT_EQ(woken, &b);
    EXPECT_NE(Probe(b), &b) << "the waiter consumed the auto-reset event";
}

// Two threads hand a token back and forth; a lost wake-up would hang the test.
TEST(Event, PingPongBetweenThreads) {
    constexpr int rounds = 2000;
    TKoEvent ping, pong, unused;
    int counter = 0;  // only touched by the thread that holds the token
    std::thread other([&] {
        for (int i = 0; i < rounds; ++i) {
            TKoEvent::WaitForAny({&unused, &ping});
            ++counter;
            pong.Signal();
        }
    });
    for (int i = 0; i < rounds; ++i) {
        ping.Signal();
        ASSERT_EQ(TKoEvent::WaitForAny({&pong, &unused}), &pong);
        ++counter;
    }
    other.join();
    EXPECT_EQ(counter, 2 * rounds);
}

// Each signal of an auto-reset event releases exactly one of several waiters.
TEST(Event, AutoResetReleasesOneWaiterPerSignal) {
    constexpr int waiters = 4;
    TKoEvent go, done;
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < waiters; ++i) {
        threads.emplace_back([&] {
            TKoEvent::WaitForAny({&go});
            ++released;
            done.Signal();
        });
    }
    for (int i = 0; i < waiters; ++i) {
        go.Signal();
        TKoEvent::WaitForAny({&done});
        // Only the one waiter this signal released may have run.
        EXPECT_LE(released.load(), i + 1);
        EXPECT_NE(Probe(go), &go);
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(released.load(), waiters);
}

TEST(CriticalSection, ReentrantAndExclusive) {
    TKoCriticalSection cs;
    cs.Enter();
    cs.Enter();  // the owner enters again without blocking
    cs.Leave();
    cs.Leave();

    long total = 0;
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            std::lock_guard lock(cs);
            ++total;
        }
    };
    std::thread t1(add), t2(add);
    t1.join();
    t2.join();
    EXPECT_EQ(total, 40000);
}

}  // namespace
