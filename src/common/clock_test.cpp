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

TEST(MonotonicClock, DeadlinesInMillisecondsRoundUpAndNeverGoBelowZero) {
    fakeMonotonic = 1000 * kTicksPerSecond;
    SetMonotonicClockForTest(&FakeMonotonic);
    const int64_t deadline = MonotonicDeadlineAfterMs(1500);
    EXPECT_EQ(deadline, fakeMonotonic + 15000000);
    const struct {
        int64_t now;
        uint32_t left;
    } cases[] = {
        {deadline - 15000000, 1500},  // all of it
        {deadline - 10001, 2},        // a part of a millisecond counts as a whole one
        {deadline - 1, 1},
        {deadline, 0},
        {deadline + 1, 0},            // a passed deadline is no wait at all
        {deadline + 100 * kTicksPerSecond, 0},
    };
    for (const auto& c : cases) {
        fakeMonotonic = c.now;
        EXPECT_EQ(MsUntilMonotonic(deadline), c.left) << c.now - deadline;
    }
    SetMonotonicClockForTest(nullptr);
}

}  // namespace
