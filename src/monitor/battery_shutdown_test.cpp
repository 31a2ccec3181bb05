// The battery's say in the shutdown, through the monitor: a low battery reported on
// battery power, or a charge at SHUTDOWN_CHARGE or below, starts the sequence at once,
// long before WAIT_TIME, with the line that says why; on mains power neither does.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "ups/ups_library.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

class BatteryShutdownTest : public MonitorTest {
protected:
    // WAIT_TIME 600 and the two battery settings; connected, records coming.
    void Prepare(int32_t batteryLowShutdown, int32_t shutdownCharge) {
        WriteSettingsFile(600);
        Settings settings;
        ASSERT_EQ(1, ReadSettings(settings));
        settings.BatteryLowShutdown = batteryLowShutdown;
        settings.ShutdownCharge = shutdownCharge;
        ASSERT_TRUE(WriteSettings(settings));
        Connect();
        Deliver(kUpsEventMeasurement, NewRecord(0));
        fake.sendsRecords = true;
    }
    // One case of a table: the monitor as at the start, a new fake world; returns the
    // number of event-log lines written before it.
    size_t StartCase() {
        ResetMonitorStateForTest();
        ResetMonitorPassForTest();
        MonitorPrepareRun();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        return TraceLines().size();
    }
    static void ReportBatteryLow() { UpsEventCallback(7, kUpsEventBatteryLow, nullptr); }
};

TEST_F(BatteryShutdownTest, ALowBatteryOnBatteryStartsTheSequenceAtOnce) {
    const struct {
        const char* name;
        int32_t batteryLowShutdown;
        bool lowBeforeFailure;  // reported on mains, before the failure
        bool shutdown;
    } cases[] = {
        {"on battery", 1, false, true},
        {"rule off", 0, false, false},
        {"reported on mains only", 1, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t linesBefore = StartCase();
        Prepare(c.batteryLowShutdown, 0);
        const int64_t failAt = kStartTicks + 5 * kTicksPerSecond;
        if (c.lowBeforeFailure) fake.script.push_back({failAt - 2 * kTicksPerSecond, &ReportBatteryLow});
        fake.script.push_back({failAt, &FailMains});
        if (!c.lowBeforeFailure) fake.script.push_back({failAt + 3 * kTicksPerSecond + 400 * kMs, &ReportBatteryLow});

        RunThreadUntil(failAt + 60 * kTicksPerSecond);

        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        if (c.shutdown) {
            ASSERT_EQ(1u, fake.upsShutdownAt.size());
            EXPECT_EQ(failAt + 3 * kTicksPerSecond + 400 * kMs, fake.upsShutdownAt[0]) << "at once, on the report";
            EXPECT_EQ(1u, fake.osShutdownAt.size());
            const auto reason = std::find(lines.begin(), lines.end(), "Shutdown_by_battery_low");
            ASSERT_NE(reason, lines.end());
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Shutdown_by_battery_low")) << "written once";
            EXPECT_EQ(*(reason + 1), "OS_Shutdown_is_started") << "no EXCMD: just before the output-off";
        } else {
            EXPECT_TRUE(fake.upsShutdownAt.empty());
            EXPECT_TRUE(fake.osShutdownAt.empty());
            EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Shutdown_by_battery_low"));
        }
        MonitorPrepareRun();
    }
}

TEST_F(BatteryShutdownTest, TheTriggerLineComesJustBeforeTheExternalCommand) {
    Prepare(1, 0);
    WriteSettingsFile(600, "backup", 1);  // the battery keys stay: they are read with the rest
    Settings settings;
    ASSERT_EQ(1, ReadSettings(settings));
    settings.BatteryLowShutdown = 1;
    ASSERT_TRUE(WriteSettings(settings));
    const int64_t failAt = fakeNow.load() + 2 * kTicksPerSecond;
    fake.script.push_back({failAt, &FailMains});
    fake.script.push_back({failAt + kTicksPerSecond, &ReportBatteryLow});
    fake.script.push_back({failAt + 2 * kTicksPerSecond, &ReportBatteryLow});  // a second report changes nothing

    RunThreadUntil(failAt + 30 * kTicksPerSecond);

    const Lines lines = TraceLines();
    const auto reason = std::find(lines.begin(), lines.end(), "Shutdown_by_battery_low");
    ASSERT_NE(reason, lines.end());
    EXPECT_EQ(*(reason + 1), "External_command_start:(backup)");
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Shutdown_by_battery_low"));
    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
}

// SHUTDOWN_CHARGE 30: the first record on battery at 30 % or below starts the sequence;
// a level the library did not really report (a failed query, 0, above 100) never does.
TEST_F(BatteryShutdownTest, AChargeAtTheThresholdStartsTheSequence) {
    const struct {
        const char* name;
        int32_t level;
        bool shutdown;
    } cases[] = {
        {"above", 31, false}, {"at", 30, true}, {"below", 12, true}, {"zero", 0, false}, {"above 100", 101, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t linesBefore = StartCase();
        Prepare(1, 30);
        const int64_t failAt = kStartTicks + 5 * kTicksPerSecond;
        fake.script.push_back({failAt, &FailMains});
        const int32_t level = c.level;
        fake.script.push_back({failAt + 4 * kTicksPerSecond, [level] { world->batteryLevel = level; }});

        RunThreadUntil(failAt + 60 * kTicksPerSecond);

        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        const std::string line = "Shutdown_by_battery_charge:" + std::to_string(c.level);
        if (c.shutdown) {
            ASSERT_EQ(1u, fake.upsShutdownAt.size());
            EXPECT_GE(fake.upsShutdownAt[0], failAt + 4 * kTicksPerSecond);
            EXPECT_LE(fake.upsShutdownAt[0], failAt + 6 * kTicksPerSecond) << "at the first record at the level";
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line));
        } else {
            EXPECT_TRUE(fake.upsShutdownAt.empty());
            EXPECT_TRUE(fake.osShutdownAt.empty());
        }
        MonitorPrepareRun();
    }
}

TEST_F(BatteryShutdownTest, AChargeAtTheThresholdOnMainsStartsNothing) {
    Prepare(1, 30);
    fake.batteryLevel = 10;
    RunThreadUntil(fakeNow.load() + 30 * kTicksPerSecond);
    EXPECT_TRUE(fake.upsShutdownAt.empty());
    EXPECT_TRUE(fake.osShutdownAt.empty());
}

// A reconnection hangs in the model query while the records of the reconnected UPS flow.
// The charge is still asked on its own lane: at 75 % with SHUTDOWN_CHARGE 95 the rule
// fires. When the charge query hangs too, the rule cannot see the charge: after 30 s
// without one on battery a line and a Windows warning say so (once), and WAIT_TIME still
// holds.
TEST_F(BatteryShutdownTest, TheChargeRuleSeesThroughAHungLinkOrSaysItCannot) {
    const struct {
        const char* name;
        bool chargeQueryHangs;
    } cases[] = {{"charge readable", false}, {"charge query hangs too", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t linesBefore = StartCase();
        Prepare(1, 95);
        WriteSettingsFile(60);  // the battery keys stay
        Settings settings;
        ASSERT_EQ(1, ReadSettings(settings));
        settings.ShutdownCharge = 95;
        ASSERT_TRUE(WriteSettings(settings));
        fake.batteryLevel = 100;
        const int64_t failAt = kStartTicks + 5 * kTicksPerSecond;
        fake.script.push_back({failAt, &FailMains});
        const bool chargeHangs = c.chargeQueryHangs;
        // Silent for more than 10 s: dropped, and the reconnection hangs in GetModelName.
        fake.script.push_back({failAt + 2 * kTicksPerSecond, [chargeHangs] {
                                   world->sendsRecords = false;
                                   world->blockingCalls.insert("GetModelName");
                                   if (chargeHangs) world->blockingCalls.insert("GetCurrentBatteryLevel");
                               }});
        fake.script.push_back({failAt + 16 * kTicksPerSecond, [] {
                                   world->sendsRecords = true;
                                   world->batteryLevel = 75;
                               }});

        RunThreadUntil(failAt + 80 * kTicksPerSecond);

        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        const std::vector<WindowsEvent> events = Events();
        const WindowsEvent unreadable{kEventTypeWarning, kEventBatteryChargeUnreadable};
        ASSERT_EQ(1u, fake.osShutdownAt.size());
        if (!c.chargeQueryHangs) {
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Shutdown_by_battery_charge:75"));
            EXPECT_GE(fake.osShutdownAt[0], failAt + 16 * kTicksPerSecond);
            EXPECT_LE(fake.osShutdownAt[0], failAt + 19 * kTicksPerSecond) << "at the first record at 75 %";
            EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Battery_charge_unreadable"));
            EXPECT_EQ(0, std::count(events.begin(), events.end(), unreadable));
        } else {
            EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "Shutdown_by_battery_charge:75"));
            EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Battery_charge_unreadable")) << "throttled";
            EXPECT_EQ(1, std::count(events.begin(), events.end(), unreadable));
            const auto unseen = std::find(lines.begin(), lines.end(), "Battery_charge_unreadable");
            const auto os = std::find(lines.begin(), lines.end(), "OS_Shutdown_is_started");
            EXPECT_LT(unseen, os);
            EXPECT_GT(fake.osShutdownAt[0], failAt + 60 * kTicksPerSecond) << "WAIT_TIME still holds";
            EXPECT_LE(fake.osShutdownAt[0], failAt + 61 * kTicksPerSecond);
        }
        ReleaseBlockedCalls();
        MonitorPrepareRun();
    }
}

// With SHUTDOWN_CHARGE off, or with the charge read, nothing is said of the charge.
TEST_F(BatteryShutdownTest, TheChargeLineComesOnlyWhenTheRuleIsOnAndBlind) {
    const struct {
        const char* name;
        int32_t shutdownCharge;
        bool queryHangs;
        int lines;
    } cases[] = {
        {"rule off, query hangs", 0, true, 0},
        {"rule on, charge read", 20, false, 0},
        {"rule on, query hangs", 20, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t linesBefore = StartCase();
        Prepare(1, c.shutdownCharge);
        const int64_t failAt = kStartTicks + 5 * kTicksPerSecond;
        fake.script.push_back({failAt, &FailMains});
        const bool hangs = c.queryHangs;
        fake.script.push_back({failAt - 2 * kTicksPerSecond, [hangs] {
                                   if (hangs) world->blockingCalls.insert("GetCurrentBatteryLevel");
                               }});
        std::stable_sort(fake.script.begin(), fake.script.end(),
                         [](const Happening& a, const Happening& b) { return a.at < b.at; });

        RunThreadUntil(failAt + 45 * kTicksPerSecond);

        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        EXPECT_EQ(c.lines, std::count(lines.begin(), lines.end(), "Battery_charge_unreadable"));
        EXPECT_TRUE(fake.osShutdownAt.empty()) << "WAIT_TIME 600";
        ReleaseBlockedCalls();
        MonitorPrepareRun();
    }
}

}  // namespace
}  // namespace monitor_test
