// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "UKoArea.h"

namespace {

TEST(Area, FromToAndLimits) {
    EXPECT_THROW(AreaFromTo(10, 5), EKoError);
    EXPECT_EQ(AreaFromTo(5, 5), MakeArea(uintptr_t{5}, 0));
    EXPECT_EQ(AreaFromTo(5, 12), MakeArea(uintptr_t{5}, 7));
    // The distance must fit the signed 32-bit size instead of being truncated.
    EXPECT_THROW(AreaFromTo(0, uintptr_t{1} << 31), EKoError);
    EXPECT_EQ(AreaFromTo(0, 0x7FFFFFFF).Size, 0x7FFFFFFF);
}

struct IntersectCase {
    const char* name;
    TKoArea a, b;
    bool intersect;
    TKoArea expected;
};

TEST(Area, IntersectAndIntersection) {
    const std::vector<IntersectCase> cases = {
        {"touching", {10, 0}, {10, 10}, false, {}},
        {"overlapping", {10, 0}, {10, 5}, true, {5, 5}},
        {"nested", {100, 0}, {10, 20}, true, {10, 20}},
        {"nested reversed", {10, 20}, {100, 0}, true, {10, 20}},
        {"empty one", {0, 5}, {10, 0}, false, {}},
        {"negative size", {-4, 5}, {10, 0}, false, {}},
        {"disjoint", {5, 100}, {5, 0}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AreasIntersect(c.a, c.b), c.intersect);
        EXPECT_EQ(AreaIntersection(c.a, c.b), c.expected);
    }
}

struct ContainsCase {
    const char* name;
    TKoArea outer, inner;
    bool contained;
};

TEST(Area, Contains) {
    const std::vector<ContainsCase> cases = {
        {"inside", {100, 200}, {10, 250}, true},
        {"whole", {100, 200}, {100, 200}, true},
        {"empty at end", {100, 200}, {0, 300}, true},
        {"past end", {100, 200}, {10, 295}, false},
        {"before start", {100, 200}, {10, 195}, false},
        {"inner without position", {100, 200}, {0, koNoPosition}, false},
        {"outer without position", {100, koNoPosition}, {0, 5}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AreaContains(c.outer, c.inner), c.contained);
    }
}

TEST(Area, Consume) {
    TKoArea a = MakeArea(uintptr_t{100}, 10);
    AreaConsume(a, 4);
    EXPECT_EQ(a, MakeArea(uintptr_t{104}, 6));
    EXPECT_THROW(AreaConsume(a, 7), EKoError);
    EXPECT_EQ(a, MakeArea(uintptr_t{104}, 6)) << "a failed consume changes nothing";
    AreaConsume(a, 6);
    EXPECT_FALSE(AreaNotEmpty(a));
    EXPECT_THROW(RequireNotEmpty(a), EKoError);
    AreaConsume(a, -3);  // gives bytes back in front
    EXPECT_EQ(a, MakeArea(uintptr_t{107}, 3));
}

TEST(Window, SeekRules) {
    const TKoWindow start{100, 1000, 40};
    struct Case {
        const char* name;
        TKoSeekRequest request;
        bool possible;
        int64_t position;
    };
    const std::vector<Case> cases = {
        {"begin 0", SeekFromBeginning(0), true, 0},
        {"begin size", SeekFromBeginning(100), true, 100},
        {"begin past size", SeekFromBeginning(101), false, 40},
        {"begin negative", SeekFromBeginning(-1), false, 40},
        {"end -60", SeekFromEnd(-60), true, 40},
        {"end 0", SeekFromEnd(0), true, 100},
        {"end 1", SeekFromEnd(1), false, 40},
        {"end -size", SeekFromEnd(-100), true, 0},
        {"end before start", SeekFromEnd(-101), false, 40},
        {"end most negative", SeekFromEnd(INT64_MIN), false, 40},
        {"current +60", SeekFromCurrent(60), true, 100},
        {"current +61", SeekFromCurrent(61), false, 40},
        {"current -40", SeekFromCurrent(-40), true, 0},
        {"current -41", SeekFromCurrent(-41), false, 40},
        {"current huge", SeekFromCurrent(INT64_MAX), false, 40},
        {"current most negative", SeekFromCurrent(INT64_MIN), false, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TKoWindow w = start;
        EXPECT_EQ(WindowSeek(w, c.request), c.possible);
        EXPECT_EQ(w.Position, c.position);
        EXPECT_EQ(w.Size, 100);
        EXPECT_EQ(WindowAddress(w), 1000 + c.position);
    }
    TKoWindow w = start;
    EXPECT_THROW(WindowSeek(w, TKoSeekRequest{0, static_cast<TKoSeekOrigin>(3)}), EKoError);
}

TEST(Window, SkipAndAdvance) {
    TKoWindow w = MakeWindowSpan(0, 100, 40);
    EXPECT_EQ(WindowSkip(w, 1000), 60);
    EXPECT_EQ(w.Position, 100);
    WindowAdvance(w, 5);
    EXPECT_EQ(w.Size, 105);
    EXPECT_EQ(w.Position, 105);

    // A negative count is taken unsigned, so it is cut to what is left, never moving back.
    TKoWindow v = MakeWindowSpan(0, 100, 40);
    EXPECT_EQ(WindowSkip(v, -1), 60);

    // Advancing inside the extent does not shrink it.
    TKoWindow u = MakeWindowSpan(0, 100, 10);
    WindowAdvance(u, 20);
    EXPECT_EQ(u.Size, 100);
    EXPECT_EQ(u.Position, 30);
    EXPECT_THROW(WindowAdvance(u, -31), EKoError);
    EXPECT_THROW(WindowAdvance(u, INT64_MAX), EKoError);
    EXPECT_EQ(u.Position, 30);

    // Windows over files beyond 4 GiB.
    TKoWindow big = MakeWindowSpan(int64_t{1} << 32, int64_t{3} << 31);
    EXPECT_TRUE(WindowSeek(big, SeekFromEnd(-1)));
    EXPECT_EQ(WindowAddress(big), (int64_t{1} << 32) + (int64_t{3} << 31) - 1);
}

TEST(Window, InvariantIsChecked) {
    EXPECT_THROW(MakeWindowAt(MakeArea(uintptr_t{0}, 10), 11), EKoError);
    EXPECT_THROW(MakeWindowAt(MakeArea(uintptr_t{0}, 10), -1), EKoError);
    TKoWindow broken{10, 0, 11};
    EXPECT_FALSE(WindowValid(broken));
    EXPECT_THROW(WindowSeek(broken, SeekFromBeginning(0)), EKoError);
    EXPECT_THROW(WindowSkip(broken, 0), EKoError);
    EXPECT_THROW(WindowAdvance(broken, 0), EKoError);
}

TEST(Ring, WrappingStretch) {
    TKoRing r = MakeRing(MakeArea(uintptr_t{200}, 100), MakeArea(uintptr_t{280}, 30));
    TKoArea first, second;
    EXPECT_EQ(RingRegions(r, first, second), 2);
    EXPECT_EQ(first, MakeArea(uintptr_t{280}, 20));
    EXPECT_EQ(second, MakeArea(uintptr_t{200}, 10));

    RingMoveStart(r, 25);
    EXPECT_EQ(r.Inner, MakeArea(uintptr_t{205}, 5));
    EXPECT_THROW(RingMoveEnd(r, 96), EKoError);
    EXPECT_EQ(r.Inner, MakeArea(uintptr_t{205}, 5));
    EXPECT_EQ(RingRegions(r, first, second), 1);
    EXPECT_EQ(first, r.Inner);
    EXPECT_EQ(second, EmptyArea());

    // Giving bytes back in front wraps to the end of the buffer again.
    RingMoveStart(r, -10);
    EXPECT_EQ(r.Inner, MakeArea(uintptr_t{295}, 15));
    RingMoveEnd(r, -15);
    EXPECT_EQ(RingRegions(r, first, second), 0);
    EXPECT_EQ(first, EmptyArea());
}

TEST(Ring, MoveLimits) {
    struct Case {
        const char* name;
        TKoArea inner;
        bool start;  // RingMoveStart, else RingMoveEnd
        int32_t n;
        bool ok;
        TKoArea after;
    };
    const TKoArea outer = MakeArea(uintptr_t{0}, 100);
    const std::vector<Case> cases = {
        {"consume all", {30, 90}, true, 30, true, {0, 20}},
        {"consume one too many", {30, 90}, true, 31, false, {30, 90}},
        {"consume to exact end", {10, 90}, true, 10, true, {0, 0}},
        // With the buffer at address 0 the start must still wrap to the end.
        {"give back across start", {10, 5}, true, -10, true, {20, 95}},
        {"give back past full", {95, 5}, true, -6, false, {95, 5}},
        {"give back most negative", {10, 5}, true, INT32_MIN, false, {10, 5}},
        {"append to full", {30, 90}, false, 70, true, {100, 90}},
        {"append past full", {30, 90}, false, 71, false, {30, 90}},
        {"take back all", {30, 90}, false, -30, true, {0, 90}},
        {"take back too many", {30, 90}, false, -31, false, {30, 90}},
        {"take back most negative", {30, 90}, false, INT32_MIN, false, {30, 90}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TKoRing r = MakeRing(outer, c.inner);
        auto move = [&] { c.start ? RingMoveStart(r, c.n) : RingMoveEnd(r, c.n); };
        if (c.ok) {
            EXPECT_NO_THROW(move());
        } else {
            EXPECT_THROW(move(), EKoError);
        }
        EXPECT_EQ(r.Inner, c.after);
        EXPECT_TRUE(RingValid(r));
    }
}

TEST(Ring, InvalidRingsRaise) {
    struct Case {
        const char* name;
        TKoRing ring;
    };
    const std::vector<Case> cases = {
        {"empty outer", {{0, 100}, {0, 100}}},
        {"start at outer end", {{100, 0}, {0, 100}}},
        {"start before outer", {{100, 10}, {0, 5}}},
        {"inner larger than outer", {{100, 0}, {101, 0}}},
        {"negative inner", {{100, 0}, {-1, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TKoRing r = c.ring;
        TKoArea first, second;
        EXPECT_FALSE(RingValid(r));
        EXPECT_THROW(RingRegions(r, first, second), EKoError);
        EXPECT_THROW(RingMoveStart(r, 0), EKoError);
        EXPECT_THROW(RingMoveEnd(r, 0), EKoError);
    }
}

}  // namespace
