// A computer that sleeps during an outage, on the fake UPS world: the countdown counts
// only the time awake, nothing is decided after the wake until the UPS has said what
// holds now, a wake is acted on once however late and often Windows reports it, and
// the request that keeps Windows awake is held from the failure until mains returns or
// the request to Windows, and let go on every other way out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/settings.h"
#include "monitor/monitor_signals.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "ups/network_ups_events.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

constexpr int64_t kSecond = kTicksPerSecond;
constexpr int64_t kTwoHours = 2 * 3600 * kSecond;

bool HeldNow() { return !world->keptAwake.empty() && world->keptAwake.back(); }

// Whether the computer was kept awake at each step of the sequence, in order.
std::vector<std::string> heldAtSteps;

int32_t NotedCommand(const std::string& commandLine, std::string& output, int32_t limit, HANDLE wake) {
    heldAtSteps.push_back(std::string("command held=") + (HeldNow() ? "1" : "0"));
    return FakeSeams().RunExternalCommand(commandLine, output, limit, wake);
}

int32_t NotedPowerOff() {
    heldAtSteps.push_back(std::string("power-off held=") + (HeldNow() ? "1" : "0"));
    return FakeSeams().ShutdownOperatingSystem();
}

int32_t NotedHibernation(void (*beforeRequest)()) {
    heldAtSteps.push_back(std::string("hibernation held=") + (HeldNow() ? "1" : "0"));
    return FakeSeams().HibernateOperatingSystem(beforeRequest);
}

void ReportResume() { MonitorRequestRearm(); }

// What the sleep is like: the two hours and what happens during them are scripted as
// one happening (the UPS's reports meanwhile are lost with the sleep).
struct SleepPlan {
    int64_t afterFailure;       // how far into the failure the computer falls asleep
    bool mainsBack = false;     // mains power comes back during the sleep
    bool upsGone = false;       // the UPS is not found after the wake until UpsBack
    bool resumeAtOnce = false;  // Windows reports the resume before the first pass
};
SleepPlan plan{0};

void TwoHoursAsleep() {
    if (plan.mainsBack) world->mainsIndicator = 0;
    if (plan.upsGone) world->usbDevices.clear();
    // The connection does not survive the sleep: the UPS reports again once connected anew.
    world->openDevice = -1;
    Hibernation(kTwoHours);
    if (plan.resumeAtOnce) ReportResume();
}

void UpsBack() { world->usbDevices = {7}; }

class SleepDuringOutage : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        heldAtSteps.clear();
        MonitorSeams seams = FakeSeams();
        seams.RunExternalCommand = &NotedCommand;
        seams.ShutdownOperatingSystem = &NotedPowerOff;
        seams.HibernateOperatingSystem = &NotedHibernation;
        SetMonitorSeamsForTest(&seams);
    }

    void WriteChoice(int32_t waitTime, const std::string& osShutdown = "poweroff") {
        Settings settings;
        settings.WaitTime = waitTime;
        settings.ExCmd = "save.cmd";
        settings.ExCmdTime = 1;
        settings.OsShutdown = osShutdown;
        ASSERT_TRUE(WriteSettings(settings));
    }

    // Connected, mains present, the UPS reporting a record a second; the failure comes
    // two seconds later, and the two hours of sleep as `sleep` says. Returns the moment
    // of the wake.
    int64_t FailureThenSleep(const SleepPlan& sleep) {
        Connect();
        Deliver(kUpsEventMeasurement, NewRecord(0));
        fake.sendsRecords = true;
        const int64_t failAt = fakeNow.load() + 2 * kSecond;
        fake.script.push_back({failAt, &FailMains});
        plan = sleep;
        fake.script.push_back({failAt + sleep.afterFailure, &TwoHoursAsleep});
        return failAt + sleep.afterFailure + kTwoHours;
    }

    size_t Count(const std::string& line) const {
        const Lines lines = TraceLines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    size_t UpsListings() const {
        return static_cast<size_t>(std::count(fake.calls.begin(), fake.calls.end(), "GetUPSList"));
    }
};

// --- Mains back during the sleep ---

struct MainsBackCase {
    const char* name;
    int64_t upsBackAfterSeconds;  // after the wake; -1: at once; 0: never
    bool sequence;                // the UPS never said what holds now: the last known state
};
void PrintTo(const MainsBackCase& c, std::ostream* out) { *out << c.name; }

class MainsBackDuringTheSleep : public SleepDuringOutage, public ::testing::WithParamInterface<MainsBackCase> {};

// WAIT_TIME 60, and the computer falls asleep half a second before it runs out: on time
// awake the countdown expires right after the wake, before the UPS's first record.
TEST_P(MainsBackDuringTheSleep, NothingIsDecidedBeforeTheUpsSaysWhatHoldsNow) {
    const MainsBackCase& c = GetParam();
    WriteChoice(60);
    SleepPlan sleep{59 * kSecond + 500 * kMs};
    sleep.mainsBack = true;
    sleep.upsGone = c.upsBackAfterSeconds >= 0;
    const int64_t wakeAt = FailureThenSleep(sleep);
    if (c.upsBackAfterSeconds > 0) fake.script.push_back({wakeAt + c.upsBackAfterSeconds * kSecond, &UpsBack});
    fake.script.push_back({wakeAt + 3 * kSecond, &ReportResume});

    RunThreadUntil(wakeAt + 40 * kSecond);

    EXPECT_EQ(1u, Count("Monitoring_again_after_wake"));
    if (!c.sequence) {
        EXPECT_TRUE(fake.commands.empty()) << "no sequence on mains";
        EXPECT_TRUE(fake.osShutdownAt.empty());
        EXPECT_EQ(0, TheMonitorState().AcFail.load()) << "the UPS said mains is back";
        EXPECT_EQ((std::vector<bool>{true, false}), fake.keptAwake) << "held through the sleep until mains is back";
        return;
    }
    // No UPS to say anything: the grace after the expired countdown, then the last known
    // state. (Each reconnection attempt's second after InitNervaUPSLib moves the shared
    // fake clock too, so the end of the grace is seen a second or two late.)
    ASSERT_EQ(1u, fake.commands.size());
    EXPECT_GT(fake.commandStartedAt[0], wakeAt + 10 * kSecond);
    EXPECT_LT(fake.commandStartedAt[0], wakeAt + 15 * kSecond);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MainsBackDuringTheSleep,
    ::testing::Values(MainsBackCase{"TheUpsReconnectsAtOnce", -1, false},
                      // Not connected when the countdown expires: waited for all the same.
                      MainsBackCase{"TheUpsIsBackFourSecondsAfterTheWake", 4, false},
                      MainsBackCase{"TheUpsNeverComesBack", 0, true}),
    [](const ::testing::TestParamInfo<MainsBackCase>& p) { return std::string(p.param.name); });

// --- Mains still off after the sleep ---

enum class Resume { None, BeforeTheFirstPass, LateAndTwice };

struct StillOffCase {
    const char* name;
    Resume resume;
};
void PrintTo(const StillOffCase& c, std::ostream* out) { *out << c.name; }

class MainsStillOffAfterTheSleep : public SleepDuringOutage, public ::testing::WithParamInterface<StillOffCase> {};

// WAIT_TIME 60, asleep 20 s into the failure: the sequence comes 40 s of time awake
// after the wake, not at once, and however Windows reports the wake it is acted on once.
TEST_P(MainsStillOffAfterTheSleep, TheCountdownGoesOnOnTimeAwake) {
    const StillOffCase& c = GetParam();
    WriteChoice(60);
    SleepPlan sleep{20 * kSecond};
    sleep.resumeAtOnce = c.resume == Resume::BeforeTheFirstPass;
    const int64_t wakeAt = FailureThenSleep(sleep);
    if (c.resume == Resume::LateAndTwice) {
        // PBT_APMRESUMEAUTOMATIC, then PBT_APMRESUMESUSPEND when the user comes back.
        fake.script.push_back({wakeAt + 2 * kSecond, &ReportResume});
        fake.script.push_back({wakeAt + 25 * kSecond, &ReportResume});
    }

    RunThreadUntil(wakeAt + 50 * kSecond);

    ASSERT_EQ(1u, fake.commands.size());
    EXPECT_GT(fake.commandStartedAt[0], wakeAt + 40 * kSecond);
    EXPECT_LT(fake.commandStartedAt[0], wakeAt + 41 * kSecond);
    EXPECT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(1u, Count("Monitoring_again_after_wake"));
    EXPECT_EQ(2u, UpsListings()) << "one connection before the sleep, one after it";
    EXPECT_EQ((std::vector<bool>{true, false}), fake.keptAwake);
    EXPECT_EQ((Lines{"command held=1", "power-off held=0"}), heldAtSteps);
}

INSTANTIATE_TEST_SUITE_P(Table, MainsStillOffAfterTheSleep,
                         ::testing::Values(StillOffCase{"NoResumeReported", Resume::None},
                                           StillOffCase{"ResumeBeforeTheFirstPass", Resume::BeforeTheFirstPass},
                                           StillOffCase{"TwoLateResumes", Resume::LateAndTwice}),
                         [](const ::testing::TestParamInfo<StillOffCase>& p) { return std::string(p.param.name); });

// After the sequence's own hibernation, mains still off: the wake re-arms, the UPS's
// first report starts a new countdown that goes straight to the hibernation, and the late
// second resume changes nothing (it once re-armed again and restarted that countdown).
TEST_F(SleepDuringOutage, ALateSecondResumeAfterTheHibernationRestartsNothing) {
    WriteChoice(20, "hibernate");
    const int64_t wakeAt = FailureThenSleep(SleepPlan{25 * kSecond});  // the hibernation, after its request
    fake.script.push_back({wakeAt + 2 * kSecond, &ReportResume});
    fake.script.push_back({wakeAt + 15 * kSecond, &ReportResume});

    RunThreadUntil(wakeAt + 50 * kSecond);

    ASSERT_EQ(2u, fake.hibernateAt.size()) << "the outage's second sequence is the request to Windows alone";
    EXPECT_GT(fake.hibernateAt[1], wakeAt + 20 * kSecond);
    EXPECT_LT(fake.hibernateAt[1], wakeAt + 25 * kSecond) << "20 s after the UPS's first report since the wake";
    EXPECT_TRUE(fake.osShutdownAt.empty());
    EXPECT_EQ(1u, fake.commands.size()) << "the command once in the outage";
    EXPECT_EQ(1u, Count("Monitoring_again_after_wake"));
    // Let go for the hibernation, held again for the new countdown after the wake.
    EXPECT_EQ((std::vector<bool>{true, false, true, false}), fake.keptAwake);
    EXPECT_EQ((Lines{"command held=1", "hibernation held=0", "hibernation held=0"}), heldAtSteps);
}

// --- The request that keeps Windows awake, on every way out of an outage ---

enum class WayOut { MainsBack, Sequence, ServerForcedShutdown, Stop };

struct WayOutCase {
    const char* name;
    WayOut way;
    std::vector<bool> beforeTheStop;
    Lines steps;
};
void PrintTo(const WayOutCase& c, std::ostream* out) { *out << c.name; }

class KeptAwake : public SleepDuringOutage, public ::testing::WithParamInterface<WayOutCase> {};

void ServerSaysFsd() { UpsEventCallback(world->openDevice, kUpsEventForcedShutdown, nullptr); }

TEST_P(KeptAwake, FromTheFailureUntilItsEnd) {
    const WayOutCase& c = GetParam();
    WriteChoice(c.way == WayOut::Sequence ? 20 : 600);
    Connect();
    Deliver(kUpsEventMeasurement, NewRecord(0));
    fake.sendsRecords = true;
    const int64_t at = fakeNow.load() + 2 * kSecond;
    if (c.way == WayOut::ServerForcedShutdown) {
        fake.script.push_back({at, &ServerSaysFsd});
    } else {
        fake.script.push_back({at, &FailMains});
    }
    if (c.way == WayOut::MainsBack) fake.script.push_back({at + 10 * kSecond, &RestoreMains});

    RunThreadUntil(at + 30 * kSecond);
    EXPECT_EQ(c.beforeTheStop, fake.keptAwake);
    EXPECT_EQ(c.steps, heldAtSteps);
    // The stop's final pass lets go of whatever is still held.
    ASSERT_TRUE(MonitorStopRequested());
    MonitorPass();
    EXPECT_EQ((std::vector<bool>{true, false}), fake.keptAwake);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeptAwake,
    ::testing::Values(WayOutCase{"MainsBack", WayOut::MainsBack, {true, false}, {}},
                      WayOutCase{"Sequence", WayOut::Sequence, {true, false}, {"command held=1", "power-off held=0"}},
                      // Mains never failed here: the sequence itself keeps the computer awake.
                      WayOutCase{"ServerForcedShutdown", WayOut::ServerForcedShutdown, {true, false},
                                 {"command held=1", "power-off held=0"}},
                      WayOutCase{"Stop", WayOut::Stop, {true}, {}}),
    [](const ::testing::TestParamInfo<WayOutCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace monitor_test
