#include "common/clock.h"

#include <gtest/gtest.h>

#include "common/win32.h"

namespace {

int64_t fakeMonotonic = 0;
int64_t FakeMonotonic() { return fakeMonotonic; }

TEST(MonotonicClock, NeverGoesBackAndFollowsRealTime) {
    const int64_t first = MonotonicNow();
    int64_t previous = first;
    for (int i = 0; i < 1000; ++i) {
        const int64_t now = MonotonicNow();
        ASSERT_GE(now, previous);
        previous = now;
    }
    Sleep(200);
    const int64_t elapsed = MonotonicNow() - first;
    // At least the sleep; the upper bound only rules out a wrong scale (ms or counts).
    EXPECT_GE(elapsed, 150 * (kTicksPerSecond / 1000));
    EXPECT_LT(elapsed, 60 * kTicksPerSecond);
}

TEST(MonotonicClock, TestClockReplacesAndRestores) {
    fakeMonotonic = 42;
    SetMonotonicClockForTest(&FakeMonotonic);
    EXPECT_EQ(MonotonicNow(), 42);
    SetMonotonicClockForTest(nullptr);
    EXPECT_NE(MonotonicNow(), 42);
}

}  // namespace
