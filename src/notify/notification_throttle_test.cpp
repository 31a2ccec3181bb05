#include "notify/notification_throttle.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/clock.h"

namespace {

constexpr int64_t kSecond = kTicksPerSecond;

// Occurrences of one event at these seconds: which are told.
std::vector<bool> Told(NotificationThrottle& throttle, NotifyEvent event, const std::vector<int64_t>& seconds) {
    std::vector<bool> told;
    for (int64_t s : seconds) told.push_back(throttle.ShouldNotify(event, 1000 * kSecond + s * kSecond));
    return told;
}

TEST(NotificationThrottle, TheFirstRepeatIsToldThenOneAnHourWhileItGoesOn) {
    struct Case {
        const char* name;
        std::vector<int64_t> seconds;
        std::vector<bool> told;
    };
    const Case cases[] = {
        {"one event", {0}, {true}},
        {"flapping every 2 s for a minute", {0, 2, 4, 6, 8, 58, 60},
         {true, true, false, false, false, false, false}},
        {"a minute of quiet ends the run of repeats", {0, 10, 20, 80, 90, 100},
         {true, true, false, true, true, false}},
        {"events a minute or more apart are each told", {0, 60, 120, 180}, {true, true, true, true}},
    };
    for (const Case& c : cases) {
        NotificationThrottle throttle;
        EXPECT_EQ(c.told, Told(throttle, NotifyEvent::OnBattery, c.seconds)) << c.name;
    }
}

TEST(NotificationThrottle, WhileTheFlappingGoesOnOneAnHourIsTold) {
    NotificationThrottle throttle;
    std::vector<int64_t> told;
    for (int64_t s = 0; s <= 2 * 3600 + 60; s += 30) {
        if (throttle.ShouldNotify(NotifyEvent::Online, 1000 * kSecond + s * kSecond)) told.push_back(s);
    }
    EXPECT_EQ((std::vector<int64_t>{0, 30, 3630, 7230}), told);
}

TEST(NotificationThrottle, EachEventHasItsOwnHistory) {
    NotificationThrottle throttle;
    EXPECT_EQ((std::vector<bool>{true, true, false}), Told(throttle, NotifyEvent::CommBad, {0, 10, 20}));
    EXPECT_EQ((std::vector<bool>{true, true, false}), Told(throttle, NotifyEvent::CommOk, {1, 11, 21}));
    EXPECT_EQ((std::vector<bool>{true}), Told(throttle, NotifyEvent::Shutdown, {22}));
}

}  // namespace
