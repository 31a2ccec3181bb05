// The monitor against a UPS library that misbehaves: calls that never return, a UPS
// that answers but never reports. Whatever the library does, the decision comes on
// time, the sequence goes on, and the logs stay readable.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

int Count(const Lines& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int CountEvents(const std::vector<WindowsEvent>& events, uint32_t identifier) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [identifier](const WindowsEvent& e) { return e.identifier == identifier; }));
}

class MisbehavingLibraryTest : public MonitorTest {
protected:
    // Connected to device 7 with mains present and records coming, then mains fails.
    void ConnectAndFailAt(int64_t failAt) {
        Connect();
        Deliver(kUpsEventMeasurement, NewRecord(0));
        fake.sendsRecords = true;
        fake.script.push_back({failAt, [] {
                                   world->mainsIndicator = 1;
                                   UpsEventCallback(7, kUpsEventMainsFailed, nullptr);
                               }});
    }
};

// The UPS falls silent during an outage, is dropped, and the reconnection hangs in
// one of its calls for ever: the decision still comes at WAIT_TIME, on the last state
// the UPS reported, with the "no UPS" line in place of the output-off.
TEST_F(MisbehavingLibraryTest, AReconnectionThatHangsNeverHoldsTheDecision) {
    for (const char* hanging : {"InitNervaUPSLib", "GetUPSList", "GetModelName"}) {
        SCOPED_TRACE(hanging);
        const size_t linesBefore = TraceLines().size();
        WriteSettingsFile(20);
        const int64_t failAt = fakeNow.load() + 2 * kTicksPerSecond;
        ConnectAndFailAt(failAt);
        fake.script.push_back({failAt + kTicksPerSecond, [hanging] {
                                   world->sendsRecords = false;
                                   world->blockingCalls.insert(hanging);
                               }});

        RunThreadUntil(failAt + 60 * kTicksPerSecond);

        ASSERT_EQ(1u, fake.osShutdownAt.size());
        EXPECT_GT(fake.osShutdownAt[0], failAt + 20 * kTicksPerSecond);
        EXPECT_LE(fake.osShutdownAt[0], failAt + 21 * kTicksPerSecond);
        EXPECT_TRUE(fake.upsShutdownAt.empty()) << "nothing is sent to a UPS that is not connected";
        Lines lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
        EXPECT_EQ(1, Count(lines, "UPSShutdown:ER=1167"));
        EXPECT_TRUE(UpsLinkBusy()) << "the hanging call is still under way";

        ReleaseBlockedCalls();
        ResetMonitorStateForTest();
        ResetMonitorPassForTest();
        MonitorPrepareRun();
        fake = FakeWorld();
    }
}

// The output-off call hangs: after its 10 s the line says so, and Windows is shut down
// at once. The battery level of a record that arrives meanwhile is still asked, on its
// own lane, and the hung call is never made again.
TEST_F(MisbehavingLibraryTest, AnOutputOffThatHangsIsGivenUpAfterTenSeconds) {
    WriteSettingsFile(0);
    ReadyForTheSequence();
    fake.blockingCalls.insert("Shutdown");
    fakeNow = kStartTicks;
    const ULONGLONG started = GetTickCount64();

    EXPECT_EQ(1, MonitorPass());

    const ULONGLONG took = GetTickCount64() - started;
    EXPECT_GE(took, 9500u);
    EXPECT_LT(took, 60000u);
    EXPECT_EQ(Lines({"UPSShutdown:ER=1460", "OS_Shutdown_is_started"}), TraceLines());
    EXPECT_EQ(1u, fake.osShutdownAt.size());
    ASSERT_TRUE(UpsLinkStalled());
    Deliver(kUpsEventMeasurement, NewRecord(1));
    EXPECT_EQ(1, fake.batteryLevelCalls) << "the charge is asked beside the hung call";

    ReleaseBlockedCalls();
    EXPECT_EQ(Lines({"Shutdown(7,3)"}), fake.calls) << "the hung call returned; nothing was repeated";
    Deliver(kUpsEventMeasurement, NewRecord(1));
    EXPECT_EQ(2, fake.batteryLevelCalls);
}

// A UPS that stays listed and answers the model query but never reports is connected,
// dropped ten seconds later and connected again, all day. Its first loss and
// reconnection are written, and so are the first loss and reconnection that repeat the
// cycle; then one of each an hour. A minute of normal reports ends the cycle, and the
// next loss is news again.
TEST_F(MisbehavingLibraryTest, AUpsLostAndFoundOverAndOverIsWrittenOnceAnHour) {
    WriteSettingsFile(60);
    Connect();
    fake.sendsRecords = false;

    RunThreadUntil(kStartTicks + 60 * kTicksPerSecond);
    Lines lines = TraceLines();
    EXPECT_EQ(2, Count(lines, "UPS_disconnected"));
    EXPECT_EQ(3, Count(lines, "UPS_connected:NV-1500"));
    EXPECT_EQ(2, CountEvents(Events(), kEventUpsDisconnected));
    EXPECT_EQ(3, CountEvents(Events(), kEventUpsConnected));

    fake.stopAt = INT64_MAX;
    MonitorPrepareRun();
    RunThreadUntil(kStartTicks + (2 * 3600 + 30) * kTicksPerSecond);
    lines = TraceLines();
    EXPECT_EQ(4, Count(lines, "UPS_disconnected")) << "the first two, then one an hour";
    EXPECT_EQ(5, Count(lines, "UPS_connected:NV-1500"));
    EXPECT_EQ(4, CountEvents(Events(), kEventUpsDisconnected));
    EXPECT_EQ(5, CountEvents(Events(), kEventUpsConnected));

    // Normal reports for more than a minute, then the UPS is lost again.
    fake.sendsRecords = true;
    fake.stopAt = INT64_MAX;
    MonitorPrepareRun();
    const int64_t steadyFrom = fakeNow.load();
    fake.script.push_back({steadyFrom + 120 * kTicksPerSecond, [] { world->sendsRecords = false; }});
    RunThreadUntil(steadyFrom + 150 * kTicksPerSecond);
    lines = TraceLines();
    // A loss after a steady minute is news, and so is the cycle that starts again with it.
    EXPECT_EQ(6, Count(lines, "UPS_disconnected"));
    EXPECT_EQ(7, Count(lines, "UPS_connected:NV-1500"));
}

// A UPS that reports its loss itself (code 2) over and over goes through the same rule.
TEST_F(MisbehavingLibraryTest, RepeatedLossReportsOfTheLibraryAreWrittenLikeARepeatedFailure) {
    WriteSettingsFile(60);
    for (int cycle = 0; cycle < 5; ++cycle) {
        Connect();
        Deliver(kUpsEventDeviceLost);
        fakeNow += kTicksPerSecond;
    }
    EXPECT_EQ(2, Count(TraceLines(), "UPS lost"));
    EXPECT_EQ(2, CountEvents(Events(), kEventUpsDisconnected));
    EXPECT_EQ(3, Count(TraceLines(), "UPS_connected:NV-1500"));
}

}  // namespace
}  // namespace monitor_test
