// The sequence's last step and watching again afterwards, on the fake UPS world: what
// is asked of Windows for each OS_SHUTDOWN and answer, that a wake always wins over the
// hibernation's time limit, and the re-arming after a resume or a power-off that did
// not happen.
#include "monitor/os_step.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/settings.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;
using EventSeq = std::vector<WindowsEvent>;

class OsStepTest : public MonitorTest {
protected:
    void WriteChoice(const std::string& osShutdown, int32_t rearmTime = 300, const std::string& exCmd = "",
                     int32_t waitTime = 0) {
        Settings settings;
        settings.WaitTime = waitTime;
        settings.ExCmd = exCmd;
        settings.ExCmdTime = exCmd.empty() ? 0 : 3;
        settings.OsShutdown = osShutdown;
        settings.RearmTime = rearmTime;
        ASSERT_TRUE(WriteSettings(settings));
    }
    // A pass `seconds` after the last one, the computer awake all along.
    int32_t PassAfter(int64_t seconds) {
        Advance(seconds * kTicksPerSecond);
        return MonitorPass();
    }
};

// --- What the last step asks for ---

struct EndCase {
    const char* name;
    const char* osShutdown;
    std::vector<int32_t> hibernateAnswers;
    std::vector<int64_t> passesAfterSeconds;  // the first pass runs the sequence
    size_t hibernations;
    size_t powerOffs;
    Lines lines;
    bool shutdownStarted;
    size_t events;  // a hibernation's when it is asked for, a power-off's when Windows accepted it
};
void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class EndOfSequence : public OsStepTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndOfSequence, FollowsTheSettingAndNeverStaysUpOnBattery) {
    const EndCase& c = GetParam();
    fake.hibernateResults = c.hibernateAnswers;
    WriteChoice(c.osShutdown);
    ReadyForTheSequence();
    for (int64_t seconds : c.passesAfterSeconds) EXPECT_EQ(1, PassAfter(seconds)) << seconds;
    EXPECT_EQ(c.hibernations, fake.hibernateAt.size());
    EXPECT_EQ(c.powerOffs, fake.osShutdownAt.size());
    EXPECT_EQ(c.lines, TraceLines());
    EXPECT_EQ(EventSeq(c.events, kOsShutdownEvent), Events());
    EXPECT_EQ(c.shutdownStarted, TheMonitorState().ShutdownStarted.load() == 1);
    EXPECT_EQ(1u, fake.upsShutdownAt.size()) << "the output-off once, whatever the last step does";
}

INSTANTIATE_TEST_SUITE_P(
    Table, EndOfSequence,
    ::testing::Values(
        EndCase{"Poweroff", "poweroff", {}, {0, 30}, 0, 1, {"OS_Shutdown_is_started"}, true, 1},
        EndCase{"AnUnknownWordPowersOff", "sleep", {}, {0}, 0, 1, {"OS_Shutdown_is_started"}, true, 1},
        // Accepted: asked once, however many passes follow within the minute.
        EndCase{"HibernateAccepted", "hibernate", {1}, {0, 1, 30, 29}, 1, 0, {"OS_Hibernate_is_started"}, false, 1},
        // The hibernation's line and event come before the call, which returns only after
        // the wake; a call that then fails is followed by the power-off.
        EndCase{"HibernateRefused", "hibernate", {0}, {0, 1}, 1, 1,
                {"OS_Hibernate_is_started", "Hibernation_did_not_happen", "OS_Shutdown_is_started"}, true, 2},
        EndCase{"HibernateSwitchedOff", "hibernate", {-1}, {0, 1}, 1, 1,
                {"Hibernation_did_not_happen", "OS_Shutdown_is_started"}, true, 1},
        // Exactly the limit is still within it; a second more is not.
        EndCase{"HibernateAcceptedButStillRunningAfterTheLimit", "hibernate", {1}, {0, 60, 1, 1}, 1, 1,
                {"OS_Hibernate_is_started", "Hibernate:Timeout", "Hibernation_did_not_happen",
                 "OS_Shutdown_is_started"},
                true, 2}),
    [](const ::testing::TestParamInfo<EndCase>& p) { return std::string(p.param.name); });

TEST_F(OsStepTest, ARefusedPowerOffAfterARefusedHibernationAsksForThePowerOffAgainOnly) {
    WriteChoice("hibernate");
    fake.hibernateResults = {0};
    fake.osShutdownResults = {0, 1};
    ReadyForTheSequence();
    EXPECT_EQ(0, PassAfter(0));
    EXPECT_EQ(1, PassAfter(1));
    EXPECT_EQ(1u, fake.hibernateAt.size()) << "a refused hibernation is not asked for again";
    EXPECT_EQ(2u, fake.osShutdownAt.size());
}

// --- A wake always wins over the hibernation's time limit ---

TEST_F(OsStepTest, AWakeFromTheHibernationWatchesAgainAtOnceAndNeverPowersOff) {
    WriteChoice("hibernate");
    ReadyForTheSequence();
    ASSERT_EQ(1, PassAfter(0));
    // Two hours of hibernation: the monotonic and wall clocks jump, the unbiased one does not.
    Hibernation(2 * 3600 * kTicksPerSecond);
    // The first pass after it sees the wake by the clocks, before Windows tells the service.
    EXPECT_EQ(0, PassAfter(1));
    // The resume notification comes late, twice: this wake has been acted on.
    MonitorRequestRearm();
    EXPECT_EQ(0, PassAfter(1));
    MonitorRequestRearm();
    EXPECT_EQ(0, PassAfter(1));
    EXPECT_TRUE(fake.osShutdownAt.empty()) << "the wake was not taken for a hibernation that did not come";
    EXPECT_EQ((Lines{"OS_Hibernate_is_started", "Monitoring_again_after_wake", "UPS_connected:NV-1500"}),
              TraceLines());
    const MonitorState& state = TheMonitorState();
    EXPECT_EQ(0, state.ShutdownSequenceStarted.load()) << "the network server shows no FSD any more";
    EXPECT_EQ(0, state.HibernateUnderWay.load());
    EXPECT_EQ(0, state.AcFail.load()) << "the countdown waits for the UPS's first report after the wake";
    EXPECT_EQ(1, state.OutageStepsDone.load());
}

// --- Watching again ---

struct RearmCase {
    const char* name;
    const char* osShutdown;
    bool resume;               // a resume is reported 30 s into the outage; else REARM_TIME runs out
    int64_t restoreAfterSeconds;  // mains comes back this long after the first failure
    int64_t secondFailAfterSeconds;
    std::string rearmLine;
    size_t rearms;
    size_t requests;  // power-offs and hibernations asked for
    EventSeq events;  // the shutdown events only
};
void PrintTo(const RearmCase& c, std::ostream* out) { *out << c.name; }

class Rearm : public OsStepTest, public ::testing::WithParamInterface<RearmCase> {};

// The whole road: an outage with its full sequence, the computer still running, the
// re-arm, then mains back and a new outage with its whole sequence, once. With
// REARM_TIME 20 s and mains off for 40 s, the cancelled power-off's outage is re-armed
// once more and goes straight to the request to Windows in between (the third request).
TEST_P(Rearm, TheNextOutageRunsTheWholeSequenceOnce) {
    const RearmCase& c = GetParam();
    WriteChoice(c.osShutdown, 20, "save.cmd", 5);
    Connect();
    Deliver(60, NewRecord(0));
    fake.sendsRecords = true;
    const int64_t failAt = fakeNow.load() + 2 * kTicksPerSecond;
    fake.script.push_back({failAt, &FailMains});
    if (c.resume) fake.script.push_back({failAt + 30 * kTicksPerSecond, &MonitorRequestRearm});
    fake.script.push_back({failAt + c.restoreAfterSeconds * kTicksPerSecond, &RestoreMains});
    const int64_t secondFailAt = failAt + c.secondFailAfterSeconds * kTicksPerSecond;
    fake.script.push_back({secondFailAt, &FailMains});

    RunThreadUntil(secondFailAt + 15 * kTicksPerSecond);

    ASSERT_EQ(2u, fake.commands.size()) << "the command once in each outage";
    EXPECT_GT(fake.commandStartedAt[1], secondFailAt);
    ASSERT_EQ(2u, fake.upsShutdownAt.size()) << "the output-off once in each outage";
    EXPECT_GT(fake.upsShutdownAt[1], secondFailAt);
    EXPECT_EQ(c.requests, fake.osShutdownAt.size() + fake.hibernateAt.size());
    const Lines lines = TraceLines();
    EXPECT_EQ(c.rearms, static_cast<size_t>(std::count(lines.begin(), lines.end(), c.rearmLine)));
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "External_command_start:(save.cmd)"));
    EventSeq shutdownEvents;
    for (const WindowsEvent& event : Events()) {
        if (event == kOsShutdownEvent || event == kNotDoneEvent) shutdownEvents.push_back(event);
    }
    EXPECT_EQ(c.events, shutdownEvents);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rearm,
    ::testing::Values(
        RearmCase{"CancelledPowerOff", "poweroff", false, 40, 90, "OS_Shutdown_did_not_happen", 2, 3,
                  {kOsShutdownEvent, kNotDoneEvent, kOsShutdownEvent, kNotDoneEvent, kOsShutdownEvent}},
        // Mains came back before the re-arm: that outage is over, and a failure that the
        // reconnected UPS reports in its very first record is a new one.
        RearmCase{"CancelledPowerOffAfterMainsCameBack", "poweroff", false, 15, 30, "OS_Shutdown_did_not_happen", 1,
                  2, {kOsShutdownEvent, kNotDoneEvent, kOsShutdownEvent}},
        RearmCase{"ResumeAfterTheHibernation", "hibernate", true, 33, 90, "Monitoring_again_after_wake", 1, 2,
                  {kOsShutdownEvent, kOsShutdownEvent}}),
    [](const ::testing::TestParamInfo<RearmCase>& p) { return std::string(p.param.name); });

TEST_F(OsStepTest, AResumeDuringARunningSequenceChangesNothing) {
    WriteChoice("poweroff", 300, "save.cmd");
    ReadyForTheSequence();
    // The resume arrives while the command runs.
    fake.commandRunsMs = 2000;
    fake.script.push_back({fakeNow.load() + kTicksPerSecond, &MonitorRequestRearm});
    ASSERT_EQ(1, PassAfter(0));
    EXPECT_EQ(1, PassAfter(1));
    EXPECT_EQ(1, PassAfter(1));
    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(1, TheMonitorState().ShutdownSequenceStarted.load()) << "the network server still shows FSD";
    EXPECT_EQ((Lines{"External_command_start:(save.cmd)", "OS_Shutdown_is_started"}), TraceLines());
}

// After an accepted power-off, REARM_TIME counts only the time the computer runs; a
// sleep long enough for the clocks to show it is a wake, and the UPS is watched again at
// once without the warning of a power-off that did not happen.
struct AfterPowerOffCase {
    const char* name;
    int64_t sleepSeconds;
    int32_t passesStillWaiting;  // a second apart, after REARM_TIME of running
    Lines lines;
    EventSeq events;
};
void PrintTo(const AfterPowerOffCase& c, std::ostream* out) { *out << c.name; }

class SleepAfterThePowerOff : public OsStepTest, public ::testing::WithParamInterface<AfterPowerOffCase> {};

TEST_P(SleepAfterThePowerOff, CountsForNothing) {
    const AfterPowerOffCase& c = GetParam();
    WriteChoice("poweroff", 10);
    ReadyForTheSequence();
    ASSERT_EQ(1, PassAfter(0));
    Hibernation(c.sleepSeconds * kTicksPerSecond);
    for (int32_t i = 0; i < c.passesStillWaiting; ++i) EXPECT_EQ(1, PassAfter(i == 0 ? 10 : 1)) << i;
    // The pass that watches again makes the UPS connection anew.
    EXPECT_EQ(0, PassAfter(1));
    EXPECT_EQ(c.lines, TraceLines());
    EXPECT_EQ(c.events, Events());
    EXPECT_EQ(0, TheMonitorState().ShutdownStarted.load());
    EXPECT_EQ(1u, fake.osShutdownAt.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SleepAfterThePowerOff,
    ::testing::Values(
        // Too short for the clocks to show, and no resume reported: REARM_TIME runs on.
        AfterPowerOffCase{"ShortSleep", 4, 1,
                          {"OS_Shutdown_is_started", "OS_Shutdown_did_not_happen", "UPS_connected:NV-1500"},
                          {kOsShutdownEvent, kNotDoneEvent, {kEventTypeInformation, kEventUpsConnected}}},
        AfterPowerOffCase{"HourOfSleep", 3600, 0,
                          {"OS_Shutdown_is_started", "Monitoring_again_after_wake", "UPS_connected:NV-1500"},
                          {kOsShutdownEvent, {kEventTypeInformation, kEventUpsConnected}}}),
    [](const ::testing::TestParamInfo<AfterPowerOffCase>& p) { return std::string(p.param.name); });

// --- Windows says that it is shutting down (the service's PRESHUTDOWN or SHUTDOWN) ---

// A real shutdown may take many minutes (updates, a database, virtual machines saving):
// once Windows has said it is under way, REARM_TIME running out is not a power-off that
// did not happen, and Windows is not asked again. Without the word the re-arm comes as
// ever (SleepAfterThePowerOff).
TEST_F(OsStepTest, ALongShutdownIsNeverTakenForACancelledOneOnceWindowsSaysSo) {
    WriteChoice("poweroff", 10);
    ReadyForTheSequence();
    ASSERT_EQ(1, PassAfter(0));
    MonitorNoteSystemShutdown();
    // Twenty minutes of the computer running, a pass a second.
    for (int second = 0; second < 20 * 60; ++second) ASSERT_EQ(1, PassAfter(1)) << second;
    EXPECT_EQ((Lines{"OS_Shutdown_is_started"}), TraceLines());
    EXPECT_EQ((EventSeq{kOsShutdownEvent}), Events());
    EXPECT_EQ(1u, fake.osShutdownAt.size()) << "the power-off is not asked for again";
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_EQ(1, TheMonitorState().ShutdownStarted.load());
    EXPECT_EQ(1, TheMonitorState().ShutdownSequenceStarted.load()) << "the network server still shows FSD";
}

// An administrator shuts Windows down while the sequence runs its command: the sequence
// completes (the UPS is still told to switch its output off), but Windows, already
// going down, is asked nothing, and no refusal is reported.
TEST_F(OsStepTest, ASequenceOvertakenByAShutdownOfWindowsAsksNothingOfIt) {
    WriteChoice("poweroff", 300, "save.cmd");
    ReadyForTheSequence();
    fake.commandRunsMs = 2000;
    fake.script.push_back({fakeNow.load() + kTicksPerSecond, &MonitorNoteSystemShutdown});
    EXPECT_EQ(1, PassAfter(0));
    for (int second = 0; second < 600; ++second) EXPECT_EQ(1, PassAfter(1));
    EXPECT_EQ(1u, fake.commands.size());
    EXPECT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_TRUE(fake.osShutdownAt.empty());
    EXPECT_EQ((Lines{"External_command_start:(save.cmd)", "OSShutdown:UnderWay"}), TraceLines());
    EXPECT_EQ(EventSeq{}, Events());
    EXPECT_EQ(1, TheMonitorState().ShutdownStarted.load()) << "a stop's final pass repeats nothing";
}

// A shutdown of Windows overtakes an accepted hibernation that has not come: the power-off
// is not asked for when the hibernation's minute runs out.
TEST_F(OsStepTest, AShutdownOfWindowsOvertakesAHibernationThatHasNotCome) {
    WriteChoice("hibernate");
    ReadyForTheSequence();
    ASSERT_EQ(1, PassAfter(0));
    MonitorNoteSystemShutdown();
    for (int second = 0; second < 600; ++second) EXPECT_EQ(1, PassAfter(1));
    EXPECT_EQ(1u, fake.hibernateAt.size());
    EXPECT_TRUE(fake.osShutdownAt.empty());
    EXPECT_EQ((Lines{"OS_Hibernate_is_started", "OSShutdown:UnderWay"}), TraceLines());
}

}  // namespace
}  // namespace monitor_test
