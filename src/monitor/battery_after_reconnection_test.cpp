// What a reconnected UPS says of its battery before it has said what holds now: a
// low-battery report (code 5) or a charge that comes before its first record is kept,
// and judged on the state that record (or a mains report) gives: on battery the rule
// fires, on mains it is only recorded. Nothing is judged on the state from before the loss.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/status_file.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "monitor/ups_link.h"
#include "ups/ups_library.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

enum class Early { LowBattery, Charge, Nothing };
// What first says what holds now on the new connection.
enum class Says { RecordOnMains, RecordOnBattery, MainsReport, FailureReport };

struct ReconnectionCase {
    const char* name;
    int32_t mainsBeforeLoss;  // the record indicator before the UPS was lost
    Early early;              // what comes on the new connection before its first record
    Says says;
    const char* reasonLine;  // the line that starts the sequence; null = no sequence
    int32_t acFailAfter;
};
void PrintTo(const ReconnectionCase& c, std::ostream* out) { *out << c.name; }

class BatteryAfterReconnection : public MonitorTest, public ::testing::WithParamInterface<ReconnectionCase> {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        WriteSettingsFile(600);
        Settings settings;
        ASSERT_EQ(1, ReadSettings(settings));
        settings.BatteryLowShutdown = 1;
        settings.ShutdownCharge = 30;
        ASSERT_TRUE(WriteSettings(settings));
    }
    size_t ShutdownLines() const {
        const Lines lines = TraceLines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
            return line.compare(0, 12, "Shutdown_by_") == 0;
        }));
    }
};

TEST_P(BatteryAfterReconnection, IsJudgedOnWhatTheUpsSaysNow) {
    const ReconnectionCase& c = GetParam();
    MonitorState& state = TheMonitorState();
    fake.batteryLevel = 80;
    Connect();
    Deliver(kUpsEventMeasurement, NewRecord(c.mainsBeforeLoss));
    ASSERT_EQ(c.mainsBeforeLoss, state.AcFail.load());
    if (c.early == Early::Charge) {
        // A query asked before the loss hangs, and answers 20 % only after the reconnection.
        fake.blockingCalls.insert("GetCurrentBatteryLevel");
        Deliver(kUpsEventMeasurement, NewRecord(c.mainsBeforeLoss));
        fake.batteryLevel = 20;
    }

    // Lost, and found again (the same handle, as a USB UPS keeps it) a second later.
    fakeNow += kTicksPerSecond;
    Deliver(kUpsEventDeviceLost);
    fakeNow += kTicksPerSecond;
    ASSERT_EQ(0, MonitorPass());
    // The pass's wait for the reconnection ends early on the failure signalled before.
    ASSERT_TRUE(WaitForUpsLink(60000));
    ASSERT_EQ(7, state.DeviceHandle.load());
    ASSERT_EQ(0, state.MainsStateKnown.load());

    if (c.early == Early::LowBattery) Deliver(kUpsEventBatteryLow);
    if (c.early == Early::Charge) {
        ReleaseBlockedCalls();  // the answer arrives now; the next query hangs in its turn
        ASSERT_EQ(20, state.ChargePending.load());
    }
    EXPECT_EQ(0, MonitorPass()) << "nothing is judged before the UPS says what holds now";
    EXPECT_EQ(0u, ShutdownLines());
    EXPECT_TRUE(fake.osShutdownAt.empty());

    switch (c.says) {
        case Says::RecordOnMains:
            Deliver(kUpsEventMeasurement, NewRecord(0));
            break;
        case Says::RecordOnBattery:
            Deliver(kUpsEventMeasurement, NewRecord(1));
            break;
        case Says::MainsReport:
            Deliver(kUpsEventMainsRestored);
            break;
        case Says::FailureReport:
            Deliver(kUpsEventMainsFailed);
            break;
    }
    EXPECT_EQ(1, state.MainsStateKnown.load());
    EXPECT_EQ(c.acFailAfter, state.AcFail.load());
    const int32_t pass = MonitorPass();

    const Lines lines = TraceLines();
    if (c.reasonLine != nullptr) {
        EXPECT_EQ(1, pass);
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), c.reasonLine));
        EXPECT_EQ(1u, fake.upsShutdownAt.size());
        EXPECT_EQ(1u, fake.osShutdownAt.size());
    } else {
        EXPECT_EQ(0, pass);
        EXPECT_EQ(0u, ShutdownLines());
        EXPECT_TRUE(fake.upsShutdownAt.empty()) << "no output-off";
        EXPECT_TRUE(fake.osShutdownAt.empty()) << "no OS shutdown";
        EXPECT_EQ(c.acFailAfter, CurrentStatus().AcFail);
    }
    if (c.early == Early::LowBattery) {
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "Battery low")) << "recorded in every case";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BatteryAfterReconnection,
    ::testing::Values(
        ReconnectionCase{"LowBatteryMainsBack", 1, Early::LowBattery, Says::RecordOnMains, nullptr, 0},
        ReconnectionCase{"LowBatteryStillFailed", 1, Early::LowBattery, Says::RecordOnBattery,
                         "Shutdown_by_battery_low", 1},
        ReconnectionCase{"LowBatteryThenMainsReport", 1, Early::LowBattery, Says::MainsReport, nullptr, 0},
        ReconnectionCase{"LowBatteryThenFailureReport", 1, Early::LowBattery, Says::FailureReport,
                         "Shutdown_by_battery_low", 1},
        ReconnectionCase{"ChargeMainsBack", 1, Early::Charge, Says::RecordOnMains, nullptr, 0},
        ReconnectionCase{"ChargeStillFailed", 1, Early::Charge, Says::RecordOnBattery,
                         "Shutdown_by_battery_charge:20", 1},
        // Mains was present before the loss and failed while the UPS was away.
        ReconnectionCase{"FirstRecordSaysOnBatteryAfterALowBattery", 0, Early::LowBattery, Says::RecordOnBattery,
                         "Shutdown_by_battery_low", 1},
        ReconnectionCase{"FirstRecordSaysOnBatteryAlone", 0, Early::Nothing, Says::RecordOnBattery, nullptr, 1},
        ReconnectionCase{"LowBatteryOnMainsAllAlong", 0, Early::LowBattery, Says::RecordOnMains, nullptr, 0}),
    [](const ::testing::TestParamInfo<ReconnectionCase>& p) { return std::string(p.param.name); });

// A first record that says "on battery" starts the countdown from that record when mains
// was present before the loss; WAIT_TIME then runs from there.
TEST_F(BatteryAfterReconnection, AFirstRecordOnBatteryStartsTheCountdownFromItself) {
    MonitorState& state = TheMonitorState();
    Connect();
    Deliver(kUpsEventMeasurement, NewRecord(0));
    Deliver(kUpsEventDeviceLost);
    fakeNow += 5 * kTicksPerSecond;
    ASSERT_EQ(0, MonitorPass());
    ASSERT_TRUE(WaitForUpsLink(60000));
    const int64_t firstRecordAt = fakeNow.load() + kTicksPerSecond;
    fakeNow = firstRecordAt;
    Deliver(kUpsEventMeasurement, NewRecord(1));
    EXPECT_EQ(1, state.AcFail.load());
    EXPECT_EQ(firstRecordAt, state.AcFailStart.load());
    const std::vector<WindowsEvent> events = Events();
    EXPECT_EQ(0, std::count(events.begin(), events.end(), WindowsEvent{kEventTypeWarning, kEventAcFail}))
        << "the first record on a new connection reports no failure event";
}

}  // namespace
}  // namespace monitor_test
