// Following a UPS that another machine serves: its readings, its FSD and the end of the
// login in place of the output-off, as the monitor sees them through the callback and
// the table of entry points (the network source itself is tested in network_ups/).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "config/status_file.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "monitor/ups_reading.h"
#include "ups/network_ups_events.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;
using EventSeq = std::vector<WindowsEvent>;

NetworkUpsReadings* Readings(bool onBattery, bool chargeKnown = true, int32_t charge = 87) {
    auto* readings = new NetworkUpsReadings;
    readings->MainsFailed = onBattery;
    readings->MeasurementsRead = true;
    readings->Measurements[kInputVoltage] = onBattery ? "0.0" : "230.4";
    readings->Measurements[kInputFrequency] = onBattery ? "" : "50.0";  // not reported on battery
    readings->Measurements[kOutputVoltage] = "229.8";
    readings->Measurements[kOutputFrequency] = "50.0";
    readings->Measurements[kLoadPercent] = "23";
    readings->Measurements[kTemperature] = "31";
    readings->Measurements[kBatteryVoltage] = "27.10";
    readings->ChargeKnown = chargeKnown;
    readings->Charge = charge;
    return readings;
}

Lines Tail(const Lines& lines, size_t from) { return Lines(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()); }

class FollowedUpsTest : public MonitorTest {
protected:
    // Connected to device 7, which another machine serves.
    void ConnectToTheServedUps() {
        Connect();
        TheMonitorState().NetworkUps = 1;
    }
};

// A DEVICE with an @ is opened through the network source, which needs none of the
// maker's library; back on USB, the library's own table is used again.
TEST_F(FollowedUpsTest, ADeviceWithAnAtIsOpenedThroughTheNetworkSourceWithoutTheLibrary) {
    fake.loadError = 126;  // no NervaUPSLib.dll on this computer
    WriteSettingsFile(60, "", 0, "ups@nas.example:3493");

    EXPECT_EQ(0, MonitorPass());

    EXPECT_EQ(Lines({"LoadNetworkUps", "InitNervaUPSLib", "Wait(1000)", "OpenCOM(ups@nas.example:3493)",
                     "StartEventThreadForCOM(100)", "GetModelName(100)"}),
              fake.calls);
    EXPECT_EQ(1, TheMonitorState().NetworkUps.load());
    EXPECT_EQ(100, TheMonitorState().DeviceHandle.load());
    EXPECT_EQ(Lines({"UPS_connected:NV-1500"}), TraceLines());

    // The UPS is lost and DEVICE now says USB: the library is needed again.
    fake.calls.clear();
    WriteSettingsFile(60, "", 0, "USB");
    Deliver(kUpsEventDeviceLost);
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(Lines({"CloseCOM(100)", "FinishNervaUPSLib"}), fake.calls) << "dropped through the table it came from";
    EXPECT_EQ(0, TheMonitorState().NetworkUps.load());
    EXPECT_EQ("DllLoad:ER=126", TraceLines().back());
}

// The readings are a record that brings its own charge: the data log gets the columns of
// the library's records (the temperature in column 8, the battery voltage in column 9)
// with the no-reading mark where the UPS has no value, and the charge is never asked of
// the table.
TEST_F(FollowedUpsTest, ReadingsMakeTheDataLogLineAndTheLatestReadingWithTheirOwnCharge) {
    WriteSettingsFile(60);
    ConnectToTheServedUps();
    const int callsBefore = fake.batteryLevelCalls;

    Deliver(kUpsEventNetworkReadings, Readings(false));
    Deliver(kUpsEventNetworkReadings, Readings(false, false));  // within the minute: no line

    EXPECT_EQ(Lines({"230.4,50.0,229.8,50.0,23,31,27.10,87"}), DataLines());
    EXPECT_EQ(callsBefore, fake.batteryLevelCalls);
    const UpsReading latest = LatestUpsReading();
    EXPECT_EQ("27.10", latest.Measurements[kBatteryVoltage]);
    EXPECT_EQ("31", latest.Measurements[kTemperature]);
    EXPECT_FALSE(latest.BatteryChargeKnown) << "the latest readings had no charge";

    Advance(60 * kTicksPerSecond);
    Deliver(kUpsEventNetworkReadings, Readings(true, false));
    EXPECT_EQ(Lines({"230.4,50.0,229.8,50.0,23,31,27.10,87", "0.0,--.-,229.8,50.0,23,31,27.10,--.-"}),
              DataLines());
}

// Right after a connect the status comes before the measurements: a record that says only
// whether mains holds sets the mains state and judges no charge and writes no data-log
// line; the first one with its measurements makes the first line.
TEST_F(FollowedUpsTest, AStatusOnlyRecordSetsTheMainsStateAndLeavesTheDataLogToTheMeasurements) {
    WriteSettingsFile(600);
    ConnectToTheServedUps();
    TheMonitorState().InitialStatusPending = 1;

    NetworkUpsReadings* statusOnly = new NetworkUpsReadings;
    statusOnly->MainsFailed = true;
    Deliver(kUpsEventNetworkReadings, statusOnly);
    EXPECT_EQ(1, TheMonitorState().AcFail.load());
    EXPECT_EQ(1, TheMonitorState().MainsStateKnown.load());
    EXPECT_EQ(Lines(), DataLines());

    Deliver(kUpsEventNetworkReadings, Readings(true, true, 40));
    EXPECT_EQ(Lines({"0.0,--.-,229.8,50.0,23,31,27.10,40"}), DataLines());
    EXPECT_EQ(40, TheMonitorState().ChargeOnBattery.load());
    EXPECT_EQ(EventSeq({kConnectedEvent}), Events()) << "the first records said what holds now";
}

// A network UPS is heard after every answer of its server, which may take its time within
// its limits: its silence is judged over the longer limit, the library's over 10 s.
TEST_F(FollowedUpsTest, ASlowServerIsSlowNotSilent) {
    const struct {
        bool network;
        int64_t silentTicks;
        bool dropped;
    } cases[] = {
        {true, 11 * kTicksPerSecond, false},
        {true, kNetworkUpsSilenceLimitSeconds * kTicksPerSecond, false},
        {true, kNetworkUpsSilenceLimitSeconds * kTicksPerSecond + 1, true},
        {false, 10 * kTicksPerSecond + 1, true},
    };
    WriteSettingsFile(600);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.network) + " " + std::to_string(c.silentTicks));
        ResetMonitorStateForTest();
        ResetMonitorPassForTest();
        MonitorState& state = TheMonitorState();
        state.DeviceHandle = 7;
        state.Disconnected = 0;
        state.NetworkUps = c.network ? 1 : 0;
        state.LastHeard = fakeNow.load();
        fakeNow += c.silentTicks;
        const size_t eventsBefore = Events().size();

        MonitorPass();

        const EventSeq events = Events();
        const bool lost = std::find(events.begin() + static_cast<std::ptrdiff_t>(eventsBefore), events.end(),
                                    kLostEvent) != events.end();
        EXPECT_EQ(c.dropped, lost);
    }
}

// The first readings after a connect say what holds now without a Windows event, as the
// library's first record does; later changes are reported.
TEST_F(FollowedUpsTest, TheFirstReadingsBringTheMainsStateInLineSilently) {
    WriteSettingsFile(600);
    ConnectToTheServedUps();
    TheMonitorState().InitialStatusPending = 1;

    Deliver(kUpsEventNetworkReadings, Readings(true));
    EXPECT_EQ(1, TheMonitorState().AcFail.load());
    EXPECT_EQ(1, TheMonitorState().MainsStateKnown.load());
    EXPECT_EQ(87, TheMonitorState().ChargeOnBattery.load()) << "the charge is judged on battery power";
    EXPECT_EQ(EventSeq({kConnectedEvent}), Events());

    Deliver(kUpsEventNetworkReadings, Readings(false));
    Deliver(kUpsEventNetworkReadings, Readings(true));
    EXPECT_EQ(EventSeq({kConnectedEvent, kRecoveryEvent, kAcFailEvent}), Events());
    EXPECT_EQ(1, CurrentStatus().AcFail);
}

// The serving machine's FSD starts the sequence at the next pass, on mains power or on
// battery long before WAIT_TIME, with its own line before the command's; the output-off
// is left to that machine and the login ends right before the request to Windows.
class ForcedShutdown : public FollowedUpsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ForcedShutdown, StartsTheSequenceAtOnceAndEndsTheLoginInsteadOfTheOutputOff) {
    const bool onBattery = GetParam();
    WriteSettingsFile(3600, "backup.cmd", 2, "USB", 5);
    ConnectToTheServedUps();
    Deliver(kUpsEventNetworkReadings, Readings(onBattery));
    EXPECT_EQ(0, MonitorPass()) << "nothing is due before the FSD";
    const size_t before = TraceLines().size();

    Deliver(kUpsEventForcedShutdown);
    Deliver(kUpsEventForcedShutdown);  // said again: one sequence
    EXPECT_EQ(1, MonitorPass());

    EXPECT_EQ(Lines({"Shutdown_by_remote_fsd", "External_command_start:(backup.cmd)", "Output_off_left_to_server",
                     "OS_Shutdown_is_started"}),
              Tail(TraceLines(), before));
    EXPECT_EQ(Lines({"backup.cmd"}), fake.commands);
    Lines outputOffs;
    for (const std::string& call : fake.calls) {
        if (call.rfind("Shutdown(", 0) == 0) outputOffs.push_back(call);
    }
    EXPECT_EQ(Lines({"Shutdown(7,0)"}), outputOffs) << "the network source's Shutdown ends the login";
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(fake.upsShutdownAt.back(), fake.osShutdownAt[0]) << "the logout comes right before the request";
    EXPECT_EQ(kOsShutdownEvent, Events().back());
}

INSTANTIATE_TEST_SUITE_P(OnMainsOrBattery, ForcedShutdown, ::testing::Bool());

// The login cannot be ended when the serving machine is gone or refuses: a line says so,
// and the shutdown goes on.
TEST_F(FollowedUpsTest, ALoginThatCannotBeEndedIsWrittenAndTheShutdownGoesOn) {
    struct Case {
        bool connected;
        int32_t result;
        const char* line;
    };
    for (const Case& c : {Case{false, 0, "UPSLogout:ER=1167"}, Case{true, 10054, "UPSLogout:ER=10054"}}) {
        SCOPED_TRACE(c.line);
        fake.upsShutdownResult = c.result;
        fake.osShutdownAt.clear();
        WriteSettingsFile(0);
        ReadyForTheSequence();
        TheMonitorState().NetworkUps = 1;
        TheMonitorState().Disconnected = c.connected ? 0 : 1;
        fakeNow = kStartTicks;
        const size_t before = TraceLines().size();

        EXPECT_EQ(1, MonitorPass());

        EXPECT_EQ(Lines({"Output_off_left_to_server", c.line, "OS_Shutdown_is_started"}), Tail(TraceLines(), before));
        EXPECT_EQ(1u, fake.osShutdownAt.size());
    }
}

// Readings for a device that is no longer the current one change nothing.
TEST_F(FollowedUpsTest, ReadingsOfAnotherDeviceChangeNothing) {
    WriteSettingsFile(60);
    ConnectToTheServedUps();
    UpsEventCallback(TheMonitorState().DeviceHandle.load() + 1, kUpsEventNetworkReadings, Readings(true));
    UpsEventCallback(TheMonitorState().DeviceHandle.load() + 1, kUpsEventForcedShutdown, nullptr);
    EXPECT_EQ(0, TheMonitorState().AcFail.load());
    EXPECT_EQ(0, TheMonitorState().ServerForcedShutdown.load());
    EXPECT_TRUE(DataLines().empty());
}

}  // namespace
}  // namespace monitor_test
