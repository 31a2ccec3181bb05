// The monitor pass: silence, connecting, the mains-failure countdown and the
// shutdown sequence, driven second by second on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/scoped_handle.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;
using EventSeq = std::vector<WindowsEvent>;

Lines Without(const Lines& calls, const std::string& prefix) {
    Lines kept;
    for (const std::string& call : calls) {
        if (call.compare(0, prefix.size(), prefix) != 0) kept.push_back(call);
    }
    return kept;
}

class MonitorPassTest : public MonitorTest {};

TEST_F(MonitorPassTest, FirstPassConnectsOverUsb) {
    ASSERT_EQ(1, TheMonitorState().Disconnected.load());
    ASSERT_EQ(-1, TheMonitorState().DeviceHandle.load());

    EXPECT_EQ(0, MonitorPass());

    EXPECT_EQ(Lines({"InitNervaUPSLib", "Wait(1000)", "GetUPSList", "GetModelName(7)"}), fake.calls);
    EXPECT_EQ(std::vector<int32_t>({0}), fake.connectionWhenListed) << "CONNECTION 0 is published first";
    MonitorState& state = TheMonitorState();
    EXPECT_EQ(7, state.DeviceHandle.load());
    EXPECT_EQ(0, state.Disconnected.load());
    EXPECT_EQ(0, state.OpenedByCom.load());
    EXPECT_EQ(1, state.InitialStatusPending.load());
    EXPECT_EQ(kStartTicks + 1000 * kMs, state.LastHeard.load());
    EXPECT_EQ(Lines({"UPS_connected:NV-1500"}), TraceLines());
    EXPECT_EQ(EventSeq({kConnectedEvent}), Events());
    StatusFile written;
    ASSERT_TRUE(ReadStatusFile(written));
    EXPECT_EQ(1, written.Connection);
    EXPECT_EQ("NV-1500", written.Model);
    EXPECT_EQ(2, fake.released) << "the device list and the model name are released";
    EXPECT_EQ(0, fake.releasedUnknown);
    EXPECT_TRUE(scratch->Exists("DataLog\\" + DateStamp() + ".csv")) << "the data log is opened";
}

TEST_F(MonitorPassTest, ConnectedPassWithMainsPresentDoesNothing) {
    Connect();
    fake.calls.clear();
    Lines before = TraceLines();
    for (int second = 0; second < 5; ++second) {
        Deliver(1);
        EXPECT_EQ(0, MonitorPass());
        fakeNow += kTicksPerSecond;
    }
    EXPECT_EQ(Lines(), fake.calls);
    EXPECT_EQ(before, TraceLines());
}

TEST_F(MonitorPassTest, SilenceOfMoreThanTenSecondsDropsAndReconnects) {
    struct Case {
        int64_t silentTicks;
        bool dropped;
    };
    const Case cases[] = {
        {10 * kTicksPerSecond - 1, false},
        {10 * kTicksPerSecond, false},     // exactly 10 s: still connected
        {10 * kTicksPerSecond + 1, true},  // 10.0000001 s
        {11 * kTicksPerSecond, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.silentTicks);
        ResetMonitorStateForTest();
        ResetMonitorPassForTest();
        MonitorState& state = TheMonitorState();
        state.DeviceHandle = 7;
        state.Disconnected = 0;
        state.LastHeard = kStartTicks;
        fakeNow = kStartTicks + c.silentTicks;
        fake.calls.clear();
        size_t linesBefore = TraceLines().size();
        size_t eventsBefore = Events().size();

        EXPECT_EQ(0, MonitorPass());

        Lines lines = TraceLines();
        EventSeq events = Events();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(eventsBefore));
        if (c.dropped) {
            EXPECT_EQ(Lines({"UPS_disconnected", "UPS_connected:NV-1500"}), lines);
            EXPECT_EQ(EventSeq({kLostEvent, kConnectedEvent}), events);
            EXPECT_EQ(Lines({"InitNervaUPSLib", "Wait(1000)", "GetUPSList", "GetModelName(7)"}), fake.calls)
                << "the USB device is dropped by forgetting it, then connected again in the same pass";
        } else {
            EXPECT_EQ(Lines(), lines);
            EXPECT_EQ(EventSeq(), events);
            EXPECT_EQ(Lines(), fake.calls);
        }
    }
}

TEST_F(MonitorPassTest, DroppedComDeviceIsClosedAndLibraryFinished) {
    WriteSettingsFile(60, "", 0, "COM3");
    fake.comHandles["COM3"] = 33;
    Connect();
    ASSERT_EQ(33, TheMonitorState().DeviceHandle.load());
    ASSERT_EQ(1, TheMonitorState().OpenedByCom.load());
    fake.calls.clear();

    Deliver(2);  // device lost
    fake.startEventFails.insert(33);
    EXPECT_EQ(0, MonitorPass());

    EXPECT_EQ(Lines({"CloseCOM(33)", "FinishNervaUPSLib", "InitNervaUPSLib", "Wait(1000)", "OpenCOM(COM3)",
                     "StartEventThreadForCOM(33)", "CloseCOM(33)"}),
              fake.calls);
    EXPECT_EQ(-1, TheMonitorState().DeviceHandle.load());
    EXPECT_EQ(0, TheMonitorState().OpenedByCom.load());
    EXPECT_EQ(0, CurrentStatus().Connection);
}

struct DeviceCase {
    const char* name;
    const char* device;
    std::vector<std::string> ports;
    std::vector<std::string> openFails;
    std::vector<int64_t> startFails;
    std::vector<int64_t> usb;
    Lines calls;  // after InitNervaUPSLib and the wait
    int64_t handle;
    uint8_t openedByCom;
};
void PrintTo(const DeviceCase& c, std::ostream* out) { *out << c.name; }

class DeviceSelection : public MonitorTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(DeviceSelection, OpensTheDeviceThatDeviceNames) {
    const DeviceCase& c = GetParam();
    WriteSettingsFile(60, "", 0, c.device);
    fake.comPorts = c.ports;
    fake.openComFails.insert(c.openFails.begin(), c.openFails.end());
    fake.startEventFails.insert(c.startFails.begin(), c.startFails.end());
    fake.usbDevices = c.usb;

    EXPECT_EQ(0, MonitorPass());

    Lines calls = fake.calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(Lines({"InitNervaUPSLib", "Wait(1000)"}), Lines(calls.begin(), calls.begin() + 2));
    EXPECT_EQ(c.calls, Lines(calls.begin() + 2, calls.end()));
    MonitorState& state = TheMonitorState();
    EXPECT_EQ(c.handle, state.DeviceHandle.load());
    EXPECT_EQ(c.openedByCom, state.OpenedByCom.load());
    EXPECT_EQ(c.handle == -1 ? 1 : 0, state.Disconnected.load());
    EXPECT_EQ(c.handle == -1 ? 0 : 1, CurrentStatus().Connection);
    EXPECT_EQ(c.handle == -1 ? Lines() : Lines({"UPS_connected:NV-1500"}), TraceLines());
    EXPECT_EQ(0, fake.releasedUnknown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceSelection,
    ::testing::Values(
        DeviceCase{"UsbTakesFirstDevice", "USB", {}, {}, {}, {7, 8}, {"GetUPSList", "GetModelName(7)"}, 7, 0},
        DeviceCase{"UsbWithoutDevicesOpensNothing", "USB", {}, {}, {}, {}, {"GetUPSList"}, -1, 0},
        DeviceCase{"ComAutoSkipsPortThatFailsToOpen",
                   "COM_AUTO",
                   {"COM1", "COM3"},
                   {"COM1"},
                   {},
                   {},
                   {"GetCOMList", "OpenCOM(COM1)", "OpenCOM(COM3)", "StartEventThreadForCOM(101)", "FreeCOMList",
                    "GetModelName(101)"},
                   101,
                   1},
        DeviceCase{"AutoIsComAuto",
                   "AUTO",
                   {"COM1", "COM3"},
                   {},
                   {},
                   {},
                   {"GetCOMList", "OpenCOM(COM1)", "StartEventThreadForCOM(100)", "FreeCOMList", "GetModelName(100)"},
                   100,
                   1},
        DeviceCase{"ComAutoClosesPortWhoseEventsDoNotStart",
                   "COM_AUTO",
                   {"COM1", "COM3"},
                   {},
                   {100},
                   {},
                   {"GetCOMList", "OpenCOM(COM1)", "StartEventThreadForCOM(100)", "CloseCOM(100)", "OpenCOM(COM3)",
                    "StartEventThreadForCOM(101)", "FreeCOMList", "GetModelName(101)"},
                   101,
                   1},
        DeviceCase{"ComAutoWithNoPortsFreesNothing", "COM_AUTO", {}, {}, {}, {}, {"GetCOMList"}, -1, 0},
        DeviceCase{"ComAutoWithNoWorkingPort",
                   "COM_AUTO",
                   {"COM1", "COM3"},
                   {"COM1", "COM3"},
                   {},
                   {},
                   {"GetCOMList", "OpenCOM(COM1)", "OpenCOM(COM3)", "FreeCOMList"},
                   -1,
                   0},
        DeviceCase{"LowerCaseUsbIsAPortName",
                   "usb",
                   {},
                   {},
                   {},
                   {7},
                   {"OpenCOM(usb)", "StartEventThreadForCOM(100)", "GetModelName(100)"},
                   100,
                   1},
        DeviceCase{"LowerCaseAutoIsAPortName", "auto", {}, {"auto"}, {}, {7}, {"OpenCOM(auto)"}, -1, 0},
        DeviceCase{"NamedPort",
                   "COM3",
                   {"COM1", "COM3"},
                   {},
                   {},
                   {},
                   {"OpenCOM(COM3)", "StartEventThreadForCOM(101)", "GetModelName(101)"},
                   101,
                   1},
        DeviceCase{"NamedPortWhoseEventsDoNotStartIsClosed",
                   "COM3",
                   {"COM1", "COM3"},
                   {},
                   {101},
                   {},
                   {"OpenCOM(COM3)", "StartEventThreadForCOM(101)", "CloseCOM(101)"},
                   -1,
                   0}),
    [](const ::testing::TestParamInfo<DeviceCase>& p) { return std::string(p.param.name); });

TEST_F(MonitorPassTest, ConnectAttemptFailuresEndThePassWithTheirLine) {
    struct Case {
        const char* name;
        std::function<void(MonitorTest&, FakeWorld&)> arrange;
        const char* line;
    };
    const Case cases[] = {
        {"library", [](MonitorTest&, FakeWorld& f) { f.loadError = 126; }, "DllLoad:ER=126"},
        {"library, large code", [](MonitorTest&, FakeWorld& f) { f.loadError = 0xC0000135u; }, "DllLoad:ER=3221225781"},
        {"folder", [](MonitorTest&, FakeWorld& f) { f.enterFolderOk = false; }, "ReadSetting:Err"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.loadError = 0;
        fake.enterFolderOk = true;
        fake.calls.clear();
        size_t before = TraceLines().size();
        c.arrange(*this, fake);
        EXPECT_EQ(0, MonitorPass());
        Lines lines = TraceLines();
        ASSERT_EQ(before + 1, lines.size());
        EXPECT_EQ(c.line, lines.back());
        EXPECT_EQ(Lines(), fake.calls) << "nothing is asked of the library";
        EXPECT_EQ(-1, TheMonitorState().DeviceHandle.load());
    }
}

// A failure that repeats on every pass for hours writes its line once an hour, and a
// success in between makes the next failure news again.
TEST_F(MonitorPassTest, ARepeatedConnectFailureIsWrittenOnceAnHour) {
    fake.loadError = 126;
    RunThreadUntil(kStartTicks + (3 * 3600 + 30) * kTicksPerSecond);
    const Lines lines = TraceLines();
    EXPECT_EQ(Lines(4, "DllLoad:ER=126"), lines) << "the first at once, then one an hour";
    // The passes below belong to a new run, not to the stop's final pass.
    fake.stopAt = INT64_MAX;
    MonitorPrepareRun();

    fake.loadError = 0;
    fake.enterFolderOk = false;
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(0, MonitorPass());
    fake.enterFolderOk = true;
    fake.loadError = 126;
    EXPECT_EQ(0, MonitorPass());
    Lines expected = lines;
    expected.push_back("ReadSetting:Err");
    expected.push_back("DllLoad:ER=126");
    EXPECT_EQ(expected, TraceLines()) << "another failure is written at once, and so is one after it";

    fake.loadError = 0;
    Connect();
    fake.loadError = 126;
    TheMonitorState().Disconnected = 1;
    const size_t before = TraceLines().size();
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ("DllLoad:ER=126", TraceLines().at(before)) << "after a success the failure is news again";
}

TEST_F(MonitorPassTest, UnreadableSettingsEndThePass) {
    // Another process holds Setting.ini open without sharing it.
    ScopedFileHandle locked(CreateFileA(scratch->File("Setting.ini").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(locked);
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(Lines({"ReadSetting:Err"}), TraceLines());
    EXPECT_EQ(Lines(), fake.calls);
}

TEST_F(MonitorPassTest, DataLogThatCannotOpenEndsThePass) {
    scratch->WriteFile("DataLog", "a file where the folder should be");
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(Lines({"DataFileOpen:Err"}), TraceLines());
    EXPECT_EQ(Lines(), fake.calls);
}

TEST_F(MonitorPassTest, SettingsAreReadAtEveryConnectAttempt) {
    WriteSettingsFile(60, "", 0, "COM9");
    fake.openComFails.insert("COM9");
    EXPECT_EQ(0, MonitorPass());
    WriteSettingsFile(60, "", 0, "USB");
    fakeNow += kTicksPerSecond;
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(Lines({"InitNervaUPSLib", "Wait(1000)", "OpenCOM(COM9)", "InitNervaUPSLib", "Wait(1000)", "GetUPSList",
                     "GetModelName(7)"}),
              fake.calls);
}

TEST_F(MonitorPassTest, FailedModelQueryIsWrittenAndTheNextPassDropsTheSilentDevice) {
    struct Case {
        int32_t result;
        const char* line;
    };
    for (const Case& c : {Case{5, "GetModelName:ER=5"}, Case{-1, "GetModelName:ER=4294967295"}}) {
        SCOPED_TRACE(c.line);
        ResetMonitorStateForTest();
        ResetMonitorPassForTest();
        ResetStatusForTest();
        fake.modelResult = c.result;
        size_t before = TraceLines().size();
        size_t eventsBefore = Events().size();

        EXPECT_EQ(0, MonitorPass());
        Lines lines = TraceLines();
        ASSERT_EQ(before + 1, lines.size());
        EXPECT_EQ(c.line, lines.back());
        EXPECT_EQ(eventsBefore, Events().size()) << "no connected event";
        EXPECT_EQ(0, TheMonitorState().LastHeard.load()) << "LastHeard is not refreshed";
        EXPECT_EQ("", CurrentStatus().Model);
        EXPECT_EQ(1, CurrentStatus().Connection);

        fake.calls.clear();
        fakeNow += kTicksPerSecond;
        EXPECT_EQ(0, MonitorPass());
        lines = TraceLines();
        ASSERT_EQ(before + 3, lines.size());
        EXPECT_EQ("UPS_disconnected", lines[before + 1]);
        EXPECT_EQ(Lines({"InitNervaUPSLib", "Wait(1000)", "GetUPSList", "GetModelName(7)"}), fake.calls);
    }
}

// --- The countdown and the shutdown sequence ---

class CountdownTest : public MonitorTest {
protected:
    // Connected to device 7 with mains present, then mains fails at `failAt`.
    void ConnectAndFailAt(int64_t failAt) {
        Connect();
        Deliver(60, NewRecord(0));
        fake.script.push_back({failAt, &FailMains});
        fake.sendsRecords = true;
    }
    void KeepAlive() { fake.sendsRecords = true; }
};

TEST_F(CountdownTest, WaitTimeBoundary) {
    struct Case {
        int32_t waitTime;
        int64_t elapsedTicks;
        bool shutdown;
    };
    const Case cases[] = {
        {0, 0, false},
        {0, 1, true},  // any time at all
        {5, 5 * kTicksPerSecond, false},
        {5, 5 * kTicksPerSecond + 1, true},
        {60, 599 * kTicksPerSecond / 10, false},
        {60, 60 * kTicksPerSecond + 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.waitTime) + " s, " + std::to_string(c.elapsedTicks) + " ticks");
        WriteSettingsFile(c.waitTime);
        MonitorState& state = TheMonitorState();
        state.DeviceHandle = 7;
        state.Disconnected = 0;
        state.AcFail = 1;
        state.MainsStateKnown = 1;
        state.ShutdownStarted = 0;
        state.ShutdownSequenceStarted = 0;
        state.OutputOffDone = 0;
        state.AcFailStart = kStartTicks;
        state.LastHeard = kStartTicks + c.elapsedTicks;
        fakeNow = kStartTicks + c.elapsedTicks;
        fake.osShutdownAt.clear();
        fake.calls.clear();

        EXPECT_EQ(c.shutdown ? 1 : 0, MonitorPass());
        EXPECT_EQ(c.shutdown ? Lines({"Shutdown(7,3)"}) : Lines(), fake.calls);
        EXPECT_EQ(c.shutdown ? 1u : 0u, fake.osShutdownAt.size());
    }
}

TEST_F(CountdownTest, TheRoadOfOneMainsFailure) {
    WriteSettingsFile(5, "cmd /c backup.cmd", 3, "USB", 7);
    fake.commandRunsMs = 1200;
    const int64_t failAt = kStartTicks + 3300 * kMs;
    ConnectAndFailAt(failAt);

    RunThreadUntil(kStartTicks + 60 * kTicksPerSecond);

    ASSERT_EQ(1u, fake.commands.size());
    EXPECT_EQ("cmd /c backup.cmd", fake.commands[0]);
    EXPECT_EQ(3, fake.commandLimits[0]);
    EXPECT_EQ(nullptr, fake.commandWakeEvents[0]) << "nothing may end the command before its EXCMDTIME";
    // The first pass that sees more than WAIT_TIME seconds starts the command.
    EXPECT_GT(fake.commandStartedAt[0], failAt + 5 * kTicksPerSecond);
    EXPECT_LE(fake.commandStartedAt[0], failAt + 6 * kTicksPerSecond);
    ASSERT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(fake.commandStartedAt[0] + 3 * kTicksPerSecond, fake.upsShutdownAt[0])
        << "the output-off follows EXCMDTIME after the command's start, not a tick later";
    EXPECT_EQ(std::vector<int64_t>({fake.upsShutdownAt[0]}), fake.osShutdownAt);
    Lines calls = Without(Without(fake.calls, "Wait("), "GetModelName");
    EXPECT_EQ(Lines({"InitNervaUPSLib", "GetUPSList", "Shutdown(7,7)"}), calls);
    EXPECT_EQ(Lines({"UPS_connected:NV-1500", "Mains failed", "External_command_start:(cmd /c backup.cmd)",
                     "OS_Shutdown_is_started"}),
              TraceLines());
    EXPECT_EQ(EventSeq({kConnectedEvent, kAcFailEvent, kOsShutdownEvent}), Events());
    EXPECT_EQ(1, CurrentStatus().AcFail);
    EXPECT_EQ(1u, DataLines().size()) << "one data-log line a minute";
    // After the shutdown the thread keeps watching, a pass a second, until it is
    // stopped; none of those passes repeats a step (the counts above).
    EXPECT_EQ(1000u, fake.waits.back());
    EXPECT_EQ(fakeNow.load(), kStartTicks + 60 * kTicksPerSecond) << "the thread went on until it was stopped";
}

TEST_F(CountdownTest, RecoveryBeforeWaitTimeEndsTheCountdownAndTheNextFailureStartsAfresh) {
    WriteSettingsFile(10);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    fake.script.push_back({failAt + 9 * kTicksPerSecond, &RestoreMains});
    const int64_t secondFailAt = failAt + 20 * kTicksPerSecond;
    fake.script.push_back({secondFailAt, &FailMains});

    RunThreadUntil(secondFailAt + 30 * kTicksPerSecond);

    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_GT(fake.osShutdownAt[0], secondFailAt + 10 * kTicksPerSecond);
    EXPECT_LE(fake.osShutdownAt[0], secondFailAt + 11 * kTicksPerSecond);
}

// The countdown counts from the first report of the failure: a library that repeats it
// (a record's indicator or code 3 again) must not hold the shutdown back.
TEST_F(CountdownTest, ARepeatedFailureReportDoesNotRestartTheCountdown) {
    struct Case {
        const char* name;
        int32_t code;  // delivered 4 s into a 10 s countdown
        int64_t expectedAfterFailure;
    };
    const Case cases[] = {{"record", kUpsEventMeasurement, 10}, {"code 3", kUpsEventMainsFailed, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetMonitorStateForTest();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        WriteSettingsFile(10);
        const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
        ConnectAndFailAt(failAt);
        fake.sendsRecords = false;
        const int32_t code = c.code;
        fake.script.push_back({failAt + 4 * kTicksPerSecond, [code] {
                                   UpsEventCallback(7, code, code == kUpsEventMeasurement ? NewRecord(1) : nullptr);
                                   SettleBatteryQuery();
                               }});
        // Keep the device alive without records.
        for (int s = 1; s < 40; ++s) {
            fake.script.push_back({failAt + 4 * kTicksPerSecond + s * kTicksPerSecond / 2,
                                   [] { UpsEventCallback(7, kUpsEventAlive, nullptr); }});
        }
        std::stable_sort(fake.script.begin(), fake.script.end(),
                         [](const Happening& a, const Happening& b) { return a.at < b.at; });

        RunThreadUntil(failAt + 30 * kTicksPerSecond);

        ASSERT_EQ(1u, fake.osShutdownAt.size());
        EXPECT_GT(fake.osShutdownAt[0], failAt + c.expectedAfterFailure * kTicksPerSecond);
        EXPECT_LE(fake.osShutdownAt[0], failAt + (c.expectedAfterFailure + 1) * kTicksPerSecond);
        MonitorPrepareRun();
    }
}

TEST_F(CountdownTest, WaitTimeIsReadAgainOnEveryPassOfTheCountdown) {
    WriteSettingsFile(3600);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    fake.script.push_back({failAt + 20 * kTicksPerSecond, [this] { WriteSettingsFile(30); }});

    RunThreadUntil(failAt + 120 * kTicksPerSecond);

    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_GT(fake.osShutdownAt[0], failAt + 30 * kTicksPerSecond);
    EXPECT_LE(fake.osShutdownAt[0], failAt + 31 * kTicksPerSecond);
}

TEST_F(CountdownTest, EmptyExcmdGoesStraightToOutputOff) {
    WriteSettingsFile(2, "", 30);
    ConnectAndFailAt(kStartTicks + 2 * kTicksPerSecond);
    RunThreadUntil(kStartTicks + 60 * kTicksPerSecond);
    EXPECT_TRUE(fake.commands.empty());
    ASSERT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(fake.upsShutdownAt, fake.osShutdownAt);
    Lines lines = TraceLines();
    EXPECT_EQ(lines.end(), std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
                  return line.find("External_command_start") != std::string::npos;
              }));
}

TEST_F(CountdownTest, CommandOutcomeAndTheWaitForExcmdtime) {
    struct Case {
        const char* name;
        int32_t exCmdTime;
        int64_t runsMs;
        bool ng;
        int64_t outputOffAfterStartMs;
    };
    const Case cases[] = {
        {"ends early: wait for the rest", 3, 1200, false, 3000},
        {"ends at once", 3, 0, false, 3000},
        {"runs past its limit", 3, 10000, true, 3000},
        {"limit 0, keeps running: no wait", 0, 10000, true, 0},
        {"limit 0, ends at once", 0, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetMonitorStateForTest();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        WriteSettingsFile(0, "backup", c.exCmdTime);
        fake.commandRunsMs = c.runsMs;
        ReadyForTheSequence();
        size_t before = TraceLines().size();

        EXPECT_EQ(1, MonitorPass());

        ASSERT_EQ(1u, fake.commandStartedAt.size());
        ASSERT_EQ(1u, fake.upsShutdownAt.size());
        EXPECT_EQ(fake.commandStartedAt[0] + c.outputOffAfterStartMs * kMs, fake.upsShutdownAt[0]);
        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
        Lines expected = {"External_command_start:(backup)"};
        if (c.ng) expected.push_back("ExCommand:NG");
        expected.push_back("OS_Shutdown_is_started");
        EXPECT_EQ(expected, lines);
        if (c.outputOffAfterStartMs == 0) {
            EXPECT_TRUE(fake.waits.empty());
        }
    }
}

// Time synchronisation may step the wall clock at any moment, most likely just after
// the start. Durations are measured on the monotonic clock, so no step moves the
// shutdown, fakes a silent UPS, or stretches the wait for EXCMDTIME.
TEST_F(CountdownTest, WallClockStepsMoveNoDeadline) {
    struct Case {
        const char* name;
        int64_t step;
        bool duringCountdown;  // else while idle, before the failure
    };
    const Case cases[] = {
        {"+1 h while idle", 3600 * kTicksPerSecond, false},    {"-1 h while idle", -3600 * kTicksPerSecond, false},
        {"+15 s while idle", 15 * kTicksPerSecond, false},     {"+1 h in countdown", 3600 * kTicksPerSecond, true},
        {"-1 h in countdown", -3600 * kTicksPerSecond, true},  {"+15 s in countdown", 15 * kTicksPerSecond, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetMonitorStateForTest();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        wallClockStep = 0;
        MonitorPrepareRun();
        WriteSettingsFile(20, "backup", 3);
        fake.commandRunsMs = 500;
        const size_t linesBefore = TraceLines().size();
        const int64_t failAt = kStartTicks + 10 * kTicksPerSecond;
        ConnectAndFailAt(failAt);
        const int64_t step = c.step;
        fake.script.push_back({c.duringCountdown ? failAt + 4 * kTicksPerSecond : failAt - 6 * kTicksPerSecond,
                               [step] { StepWallClock(step); }});
        std::stable_sort(fake.script.begin(), fake.script.end(),
                         [](const Happening& a, const Happening& b) { return a.at < b.at; });

        RunThreadUntil(failAt + 120 * kTicksPerSecond);

        ASSERT_EQ(1u, fake.commandStartedAt.size());
        EXPECT_GT(fake.commandStartedAt[0], failAt + 20 * kTicksPerSecond);
        EXPECT_LE(fake.commandStartedAt[0], failAt + 20 * kTicksPerSecond + 2 * kMs);
        ASSERT_EQ(1u, fake.upsShutdownAt.size());
        EXPECT_EQ(fake.commandStartedAt[0] + 3 * kTicksPerSecond, fake.upsShutdownAt[0]);
        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "UPS_disconnected"));
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "UPS_connected:NV-1500"));
    }
}

TEST_F(CountdownTest, RefusedOutputOffStillShutsTheSystemDown) {
    struct Case {
        int32_t result;
        const char* line;
    };
    for (const Case& c : {Case{5, "UPSShutdown:ER=5"}, Case{-2, "UPSShutdown:ER=4294967294"}}) {
        SCOPED_TRACE(c.line);
        fake.upsShutdownResult = c.result;
        fake.osShutdownAt.clear();
        WriteSettingsFile(0);
        ReadyForTheSequence();
        fakeNow = kStartTicks;
        size_t before = TraceLines().size();

        EXPECT_EQ(1, MonitorPass());

        EXPECT_EQ(1u, fake.osShutdownAt.size());
        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
        EXPECT_EQ(Lines({c.line, "OS_Shutdown_is_started"}), lines);
    }
}

// Windows refuses the shutdown (a restart of its own is pending, say): the request
// alone is made again on the next passes; the command and the UPS output-off, which
// cannot be undone, are never repeated, and the network clients keep seeing FSD.
TEST_F(CountdownTest, ARefusedOsShutdownIsRetriedAlone) {
    WriteSettingsFile(2, "backup", 1);
    fake.osShutdownResults = {0, 0, 1};
    ConnectAndFailAt(kStartTicks + 2 * kTicksPerSecond);

    RunThreadUntil(kStartTicks + 60 * kTicksPerSecond);

    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    ASSERT_EQ(3u, fake.osShutdownAt.size());
    // Each retry comes a tick after the one before.
    EXPECT_EQ(fake.osShutdownAt[0] + 1000 * kMs, fake.osShutdownAt[1]);
    EXPECT_EQ(fake.osShutdownAt[1] + 1000 * kMs, fake.osShutdownAt[2]);
    EXPECT_EQ(1, TheMonitorState().ShutdownSequenceStarted.load());
    Lines lines = TraceLines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "OS_Shutdown_is_started"));
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "External_command_start:(backup)"));
    EXPECT_EQ(0, MonitorRunFlag.load());
}

// A retry does not wait for mains: the UPS has been told to switch its output off.
TEST_F(CountdownTest, ARefusedOsShutdownIsRetriedEvenWhenMainsHasReturned) {
    WriteSettingsFile(0);
    fake.osShutdownResults = {0};
    ReadyForTheSequence();
    EXPECT_EQ(0, MonitorPass());
    TheMonitorState().AcFail = 0;
    fake.calls.clear();

    EXPECT_EQ(1, MonitorPass());

    EXPECT_EQ(2u, fake.osShutdownAt.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(Lines(), fake.calls) << "no output-off again";
}

TEST_F(CountdownTest, BatteryLowWithMainsPresentDoesNotShutDown) {
    WriteSettingsFile(0);
    Connect();
    KeepAlive();
    fake.script.push_back({kStartTicks + 3 * kTicksPerSecond, [] { UpsEventCallback(7, kUpsEventBatteryLow, nullptr); }});
    RunThreadUntil(kStartTicks + 20 * kTicksPerSecond);
    EXPECT_TRUE(fake.osShutdownAt.empty());
    EXPECT_TRUE(fake.upsShutdownAt.empty());
}

TEST_F(CountdownTest, CountdownGoesOnAcrossADropAndReconnection) {
    WriteSettingsFile(20);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    // The device falls silent for 12 s in the middle of the countdown.
    fake.script.push_back({failAt + 3 * kTicksPerSecond, [] { world->sendsRecords = false; }});
    fake.script.push_back({failAt + 15 * kTicksPerSecond, [] { world->sendsRecords = true; }});

    RunThreadUntil(failAt + 60 * kTicksPerSecond);

    Lines lines = TraceLines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "UPS_disconnected"));
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "UPS_connected:NV-1500"));
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_GT(fake.osShutdownAt[0], failAt + 20 * kTicksPerSecond);
    EXPECT_LE(fake.osShutdownAt[0], failAt + 21 * kTicksPerSecond);
}

TEST_F(CountdownTest, PassesAfterTheShutdownWasStartedRepeatNothing) {
    WriteSettingsFile(2, "backup", 1);
    ConnectAndFailAt(kStartTicks + 2 * kTicksPerSecond);
    RunThreadUntil(kStartTicks + 30 * kTicksPerSecond);
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    const size_t linesBefore = TraceLines().size();
    fake.calls.clear();

    // The final pass of a service stop comes after the thread has ended by itself.
    EXPECT_EQ(1, MonitorPass());

    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(Lines(), fake.calls);
    EXPECT_EQ(linesBefore, TraceLines().size());
}

// After a drop and reconnection the countdown goes on; an expired one waits for what
// the reconnected UPS says now, but never longer than a grace of about the silence
// limit (10 s, counted from the expiry): a UPS that answers the model query and then
// says nothing must not hold the shutdown for ever.
enum class AfterReconnect { Records, SignsOfLifeOnly, Nothing };

struct ReconnectCase {
    const char* name;
    bool mainsBackWhileSilent;
    AfterReconnect speaks;
    bool shutdown;
    int64_t earliestAfterFailure;  // ticks
    int64_t latestAfterFailure;
    bool outputOff;  // the UPS is connected at the decision and takes the output-off
};

class ExpiredCountdownAfterReconnection : public CountdownTest,
                                          public ::testing::WithParamInterface<ReconnectCase> {};

TEST_P(ExpiredCountdownAfterReconnection, IsDecidedOnWhatTheUpsSaysNowOrAfterTheGrace) {
    const ReconnectCase& c = GetParam();
    // The countdown expires at failAt + 15 s while the UPS, silent since failAt + 3 s,
    // has been dropped and reconnected (it stays listed and answers the model query).
    WriteSettingsFile(15);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    const int64_t silentAt = failAt + 3 * kTicksPerSecond;
    const int64_t backAt = failAt + 20 * kTicksPerSecond;  // within the grace
    fake.script.push_back({silentAt, [] { world->sendsRecords = false; }});
    if (c.mainsBackWhileSilent) fake.script.push_back({silentAt + kTicksPerSecond, [] { world->mainsIndicator = 0; }});
    if (c.speaks == AfterReconnect::Records) fake.script.push_back({backAt, [] { world->sendsRecords = true; }});
    if (c.speaks == AfterReconnect::SignsOfLifeOnly) {
        fake.script.push_back({backAt, [] { world->sendsAliveOnly = true; }});
    }

    RunThreadUntil(failAt + 60 * kTicksPerSecond);

    Lines lines = TraceLines();
    EXPECT_LE(2, std::count(lines.begin(), lines.end(), "UPS_connected:NV-1500"));
    if (c.shutdown) {
        ASSERT_EQ(1u, fake.osShutdownAt.size());
        EXPECT_GE(fake.osShutdownAt[0], failAt + c.earliestAfterFailure);
        EXPECT_LE(fake.osShutdownAt[0], failAt + c.latestAfterFailure);
        EXPECT_EQ(c.outputOff ? 1u : 0u, fake.upsShutdownAt.size()) << "only a connected UPS takes the output-off";
    } else {
        EXPECT_TRUE(fake.osShutdownAt.empty());
        EXPECT_TRUE(fake.upsShutdownAt.empty());
        EXPECT_EQ(0, CurrentStatus().AcFail);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reconnection, ExpiredCountdownAfterReconnection,
    ::testing::Values(
        ReconnectCase{"MainsBackWhileSilent", true, AfterReconnect::Records, false, 0, 0, false},
        ReconnectCase{"MainsStillFailed", false, AfterReconnect::Records, true, 20 * kTicksPerSecond,
                      23 * kTicksPerSecond, true},
        ReconnectCase{"SignsOfLifeOnly", false, AfterReconnect::SignsOfLifeOnly, true, 25 * kTicksPerSecond,
                      27 * kTicksPerSecond, true},
        // Reconnected at about 14 s, silent again, dropped 10 s later within the grace:
        // with no UPS connected the decision comes at once, without an output-off.
        ReconnectCase{"NoRecordEver", false, AfterReconnect::Nothing, true, 24 * kTicksPerSecond,
                      26 * kTicksPerSecond, false}),
    [](const ::testing::TestParamInfo<ReconnectCase>& param) { return std::string(param.param.name); });

// --- A UPS lost during an outage ---

void LoseTheUps() {
    UpsEventCallback(7, kUpsEventDeviceLost, nullptr);
    world->usbDevices.clear();
    world->openDevice = -1;
}

void BringBackTheUpsOnMains() {
    world->usbDevices = {8};
    world->mainsIndicator = 0;
    world->sendsRecords = true;
}

struct LostCase {
    const char* name;
    std::string exCmd;
    bool backOnMains;  // listed again 2 s after the loss, reporting mains present
};

class LostUpsDuringAnOutage : public CountdownTest, public ::testing::WithParamInterface<LostCase> {};

TEST_P(LostUpsDuringAnOutage, RunsTheSequenceOnTheLastKnownStateWithoutAnOutputOff) {
    const LostCase& c = GetParam();
    WriteSettingsFile(5, c.exCmd, 2);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    fake.script.push_back({failAt + kTicksPerSecond, &LoseTheUps});
    if (c.backOnMains) fake.script.push_back({failAt + 3 * kTicksPerSecond, &BringBackTheUpsOnMains});

    RunThreadUntil(failAt + 60 * kTicksPerSecond);

    Lines lines = TraceLines();
    Lines calls = fake.calls;
    const auto outputOffCalls = std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.compare(0, 9, "Shutdown(") == 0;
    });
    EXPECT_EQ(0, outputOffCalls) << "no output-off to a stale or absent handle";
    if (c.backOnMains) {
        EXPECT_TRUE(fake.osShutdownAt.empty());
        EXPECT_EQ(0, std::count(lines.begin(), lines.end(), "UPSShutdown:ER=1167"));
        return;
    }
    // Connect attempts go on every pass meanwhile, each with its second after
    // InitNervaUPSLib: the decision comes within about a second of WAIT_TIME.
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    const int64_t decidedAt = c.exCmd.empty() ? fake.osShutdownAt[0] : fake.commandStartedAt.at(0);
    EXPECT_GT(decidedAt, failAt + 5 * kTicksPerSecond);
    EXPECT_LE(decidedAt, failAt + 7 * kTicksPerSecond);
    if (!c.exCmd.empty()) {
        // The command has its whole EXCMDTIME before the OS step. A reconnection attempt
        // may be under way on the UPS link's thread meanwhile, and its second after
        // InitNervaUPSLib moves the shared fake clock too: a second more, never less.
        EXPECT_GE(fake.osShutdownAt[0], fake.commandStartedAt[0] + 2 * kTicksPerSecond);
        EXPECT_LE(fake.osShutdownAt[0], fake.commandStartedAt[0] + 3 * kTicksPerSecond);
    }
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "UPSShutdown:ER=1167"));
    auto offLine = std::find(lines.begin(), lines.end(), "UPSShutdown:ER=1167");
    auto osLine = std::find(lines.begin(), lines.end(), "OS_Shutdown_is_started");
    EXPECT_LT(offLine, osLine);
    EXPECT_EQ(EventSeq({kConnectedEvent, kAcFailEvent, kLostEvent, kOsShutdownEvent}), Events());
}

INSTANTIATE_TEST_SUITE_P(Lost, LostUpsDuringAnOutage,
                         ::testing::Values(LostCase{"WithoutCommand", "", false}, LostCase{"WithCommand", "backup", false},
                                           LostCase{"BackOnMainsBeforeWaitTime", "", true}),
                         [](const ::testing::TestParamInfo<LostCase>& param) { return std::string(param.param.name); });

TEST_F(CountdownTest, LibraryGoneDuringAnOutageStillEndsInTheShutdown) {
    WriteSettingsFile(5);
    const int64_t failAt = kStartTicks + 2 * kTicksPerSecond;
    ConnectAndFailAt(failAt);
    fake.script.push_back({failAt + kTicksPerSecond, [] {
                               LoseTheUps();
                               world->loadError = 126;  // the pass now ends at the library load
                           }});

    RunThreadUntil(failAt + 30 * kTicksPerSecond);

    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_GT(fake.osShutdownAt[0], failAt + 5 * kTicksPerSecond);
    EXPECT_LE(fake.osShutdownAt[0], failAt + 6 * kTicksPerSecond);
    EXPECT_TRUE(fake.upsShutdownAt.empty());
}

// --- The wait between passes ends when the decision falls due ---

TEST_F(CountdownTest, ThePassAfterAFailureAndTheDecisionComeOnTimeNotOnTheNextTick) {
    struct Case {
        int32_t waitTime;
        int64_t phaseMs;  // of the failure within the second between two passes
    };
    const Case cases[] = {{3, 370}, {3, 1}, {3, 999}, {0, 370}, {1, 500}};
    for (const Case& c : cases) {
        SCOPED_TRACE("WAIT_TIME " + std::to_string(c.waitTime) + ", failure " + std::to_string(c.phaseMs) +
                     " ms into a second");
        ResetMonitorStateForTest();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        MonitorPrepareRun();
        WriteSettingsFile(c.waitTime);
        // Passes fall on whole seconds after the connect (which ends at kStartTicks + 1 s).
        const int64_t failAt = kStartTicks + 3 * kTicksPerSecond + c.phaseMs * kMs;
        ConnectAndFailAt(failAt);

        RunThreadUntil(failAt + 30 * kTicksPerSecond);

        // The failure ends the wait it falls in: the countdown's first pass is at once.
        EXPECT_NE(fake.passWaitsEndedAt.end(),
                  std::find(fake.passWaitsEndedAt.begin(), fake.passWaitsEndedAt.end(), failAt));
        ASSERT_EQ(1u, fake.osShutdownAt.size());
        // "More than WAIT_TIME": the pass at failure + WAIT_TIME, then one a tick later.
        EXPECT_GT(fake.osShutdownAt[0], failAt + c.waitTime * kTicksPerSecond);
        EXPECT_LE(fake.osShutdownAt[0], failAt + c.waitTime * kTicksPerSecond + kMs);
    }
}

TEST_F(CountdownTest, WithMainsPresentThePassesKeepTheirSecond) {
    WriteSettingsFile(3);
    Connect();
    KeepAlive();
    RunThreadUntil(kStartTicks + 10 * kTicksPerSecond);
    ASSERT_LE(8u, fake.waits.size());
    for (uint32_t ms : fake.waits) EXPECT_EQ(1000u, ms);
}

// --- A stop ---

TEST_F(CountdownTest, AStopBeforeTheSequenceCancelsItAndTheFinalPassNeverStartsOne) {
    WriteSettingsFile(2, "backup", 5);
    MonitorState& state = TheMonitorState();
    state.DeviceHandle = 7;
    state.Disconnected = 0;
    state.AcFail = 1;
    state.AcFailStart = kStartTicks - 10 * kTicksPerSecond;
    state.LastHeard = kStartTicks;
    MonitorRequestStop();

    EXPECT_EQ(0, MonitorPass());

    EXPECT_TRUE(fake.commands.empty());
    EXPECT_TRUE(fake.upsShutdownAt.empty());
    EXPECT_TRUE(fake.osShutdownAt.empty());
    EXPECT_EQ(0, state.ShutdownSequenceStarted.load());
    EXPECT_EQ(0, state.ShutdownSequenceRunning.load());
    EXPECT_EQ(Lines(), TraceLines());
}

TEST_F(CountdownTest, TheSequenceIsMarkedStartedBeforeTheCommandAndForGood) {
    WriteSettingsFile(0, "backup", 1);
    fake.osShutdownResults = {0};
    ReadyForTheSequence();
    MonitorState& state = TheMonitorState();
    uint8_t startedWhenCommandRan = 0;
    uint8_t runningWhenCommandRan = 0;
    fake.script.push_back({kStartTicks + 1, [&] {
                               startedWhenCommandRan = state.ShutdownSequenceStarted.load();
                               runningWhenCommandRan = state.ShutdownSequenceRunning.load();
                           }});
    fake.commandRunsMs = 100;

    EXPECT_EQ(0, MonitorPass()) << "the OS refused";

    EXPECT_EQ(1, startedWhenCommandRan);
    EXPECT_EQ(1, runningWhenCommandRan);
    EXPECT_EQ(1, state.ShutdownSequenceStarted.load()) << "never cleared";
    EXPECT_EQ(0, state.ShutdownSequenceRunning.load());
}

// A pause holds the sequence before it begins and before each irreversible step.
MonitorSeams::RunExternalCommandFn fakeCommand = nullptr;

void RecordingHold() { world->calls.push_back("Hold"); }

int32_t RecordingCommand(const std::string& commandLine, std::string& output, int32_t limit, HANDLE wake) {
    world->calls.push_back("Command");
    return fakeCommand(commandLine, output, limit, wake);
}

TEST_F(CountdownTest, EveryStepThatCannotBeUndoneComesAfterAHoldForAPause) {
    WriteSettingsFile(0, "backup", 1);
    MonitorSeams seams = FakeSeams();
    fakeCommand = seams.RunExternalCommand;
    seams.RunExternalCommand = &RecordingCommand;
    seams.HoldWhilePaused = &RecordingHold;
    SetMonitorSeamsForTest(&seams);
    ReadyForTheSequence();

    EXPECT_EQ(1, MonitorPass());

    EXPECT_EQ(Lines({"Hold", "Command", "Wait(1000)", "Hold", "Shutdown(7,3)", "Hold"}), fake.calls);
    EXPECT_EQ(1u, fake.osShutdownAt.size());
}

// --- Nothing escapes a thread ---

TEST_F(CountdownTest, AnExceptionInTheCallbackEndsThatEventWithOneLineAndNothingElse) {
    Connect();
    Deliver(60, NewRecord(0));
    fake.releaseThrows = true;
    const size_t before = TraceLines().size();
    const int releasedBefore = fake.released;

    Deliver(60, NewRecord(1));  // would unwind into the library's thread

    Lines lines = TraceLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(Lines({"UpsEventCallback:Exception"}), lines);
    EXPECT_EQ(releasedBefore + 1, fake.released) << "the record is still released";
    // The next event is handled as usual.
    fake.releaseThrows = false;
    Deliver(kUpsEventMainsFailed);
    EXPECT_EQ(1, TheMonitorState().AcFail.load());
}

// The battery-level query runs on a thread of ours: what it throws ends that query with
// one line, the record's mains flag has been handled before it, and the next record
// asks again.
TEST_F(CountdownTest, AnExceptionInTheBatteryQueryEndsThatQueryWithOneLine) {
    Connect();
    Deliver(60, NewRecord(0));
    fake.batteryLevelThrows = true;
    const size_t before = TraceLines().size();

    Deliver(60, NewRecord(1));

    Lines lines = TraceLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(Lines({"UpsLink:Exception"}), lines);
    EXPECT_EQ(1, TheMonitorState().AcFail.load()) << "the mains flag comes first";
    fake.batteryLevelThrows = false;
    const int callsBefore = fake.batteryLevelCalls;
    Deliver(60, NewRecord(1));
    EXPECT_EQ(callsBefore + 1, fake.batteryLevelCalls) << "the next record asks again";
}

TEST_F(CountdownTest, AnExceptionInAPassIsWrittenAndTheNextPassFollowsAfterTheUsualWait) {
    WriteSettingsFile(2, "backup", 1);
    fake.commandThrows = 1;
    ConnectAndFailAt(kStartTicks + 2 * kTicksPerSecond);

    RunThreadUntil(kStartTicks + 30 * kTicksPerSecond);

    Lines lines = TraceLines();
    EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "MonitorPass:Exception"));
    // The next pass goes on where the sequence stopped: the command, which has begun,
    // is not run again, and the output-off still keeps its EXCMDTIME after its start.
    ASSERT_EQ(1u, fake.commandStartedAt.size());
    ASSERT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_GE(fake.upsShutdownAt[0], fake.commandStartedAt[0] + 1000 * kMs);
    EXPECT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(0, TheMonitorState().ShutdownSequenceRunning.load());
}

}  // namespace
}  // namespace monitor_test
