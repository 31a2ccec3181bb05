// Run control of the monitor thread with real threads, real waits and the real
// monotonic clock: a stop wakes every wait outside the shutdown sequence at once, a
// pause parks the thread in a wait, a continue lets it go on; once the sequence has
// started, neither a stop nor a pause shortens it, and a pause holds its irreversible
// steps.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/scoped_handle.h"
#include "config/settings.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_link.h"
#include "monitor/ups_event_callback.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

// The real wait, stretched or shrunk: a stop test makes every wait a minute long, so
// a thread that ends within seconds can only have been woken by the stop.
std::atomic<int> waitsStarted{0};
std::atomic<uint32_t> waitPercent{100};

uint32_t Scaled(uint32_t milliseconds) { return static_cast<uint32_t>(uint64_t{milliseconds} * waitPercent.load() / 100); }

bool ScaledRealWait(uint32_t milliseconds) {
    ++waitsStarted;
    return MonitorWaitForStopOrTimeout(Scaled(milliseconds));
}

bool ScaledRealWaitBetweenPasses(uint32_t milliseconds) {
    ++waitsStarted;
    return MonitorWaitBetweenPasses(Scaled(milliseconds));
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline) return false;
        Sleep(5);
    }
    return true;
}

class MonitorThreadTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        waitsStarted = 0;
        waitPercent = 100;
        seams = FakeSeams();
        seams.Wait = &ScaledRealWait;
        seams.WaitBetweenPasses = &ScaledRealWaitBetweenPasses;
        seams.SequenceWait = &MonitorSequenceWait;
        seams.HoldWhilePaused = &MonitorHoldWhilePaused;
        SetMonitorSeamsForTest(&seams);
        SetMonotonicClockForTest(nullptr);  // real time runs here
        SetUnbiasedClockForTest(nullptr);
    }

    void TearDown() override {
        if (thread) {
            MonitorRequestStop();
            WaitForSingleObject(thread.Get(), 180000);
            thread.Close();
        }
        MonitorTest::TearDown();
    }

    void StartThread() {
        MonitorPrepareRun();
        thread.Reset(CreateThread(nullptr, 0, &MonitorThreadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr));
        ASSERT_TRUE(thread);
        MonitorRunFlag = 1;
        ResumeThread(thread.Get());
    }

    bool ThreadEndsWithin(DWORD milliseconds) {
        if (WaitForSingleObject(thread.Get(), milliseconds) != WAIT_OBJECT_0) return false;
        DWORD code = 1;
        GetExitCodeThread(thread.Get(), &code);
        EXPECT_EQ(0u, code);
        return true;
    }

    void Connected() {
        MonitorState& state = TheMonitorState();
        state.DeviceHandle = 7;
        state.Disconnected = 0;
        state.MainsStateKnown = 1;  // it has said what holds
        state.LastHeard = UnbiasedNow();
    }

    void CountdownOver(const std::string& exCmd, int32_t exCmdTime) {
        Connected();
        TheMonitorState().AcFail = 1;
        TheMonitorState().AcFailStart = UnbiasedNow() - 10 * kTicksPerSecond;
        WriteSettingsFile(0, exCmd, exCmdTime);
    }

    MonitorSeams seams{};
    ScopedKernelHandle thread;
};

enum class WaitPlace { Tick, AfterInit };

struct StopCase {
    const char* name;
    WaitPlace place;
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class StopWakes : public MonitorThreadTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopWakes, EveryWaitOutsideTheSequence) {
    waitPercent = 6000;  // every wait a minute long
    if (GetParam().place == WaitPlace::Tick) Connected();  // else the pass connects and waits after InitNervaUPSLib
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 1; }, 10000));
    Sleep(50);
    MonitorRequestStop();
    EXPECT_EQ(0, MonitorRunFlag.load());
    ASSERT_TRUE(ThreadEndsWithin(10000)) << "the stop did not wake the wait";
    thread.Close();

    if (GetParam().place == WaitPlace::Tick) {
        EXPECT_EQ(Lines(), fake.calls);
    } else {
        // The reconnection goes on after its wait, on the UPS link, and opens the device.
        ASSERT_TRUE(WaitForUpsLink(10000));
        EXPECT_EQ(Lines({"InitNervaUPSLib", "GetUPSList", "GetModelName(7)"}), fake.calls);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StopWakes,
                         ::testing::Values(StopCase{"Tick", WaitPlace::Tick}, StopCase{"AfterInit", WaitPlace::AfterInit}),
                         [](const ::testing::TestParamInfo<StopCase>& p) { return std::string(p.param.name); });

// A stop while a call into the library hangs ends the thread at once: its wait for
// the reconnection is one that a stop wakes, and the hanging call stays on the link.
TEST_F(MonitorThreadTest, AStopWhileALibraryCallHangsEndsTheThread) {
    for (const char* hanging : {"InitNervaUPSLib", "GetUPSList"}) {
        SCOPED_TRACE(hanging);
        fake.blockingCalls = {hanging};
        StartThread();
        ASSERT_TRUE(WaitUntil([] { return UpsLinkBusy(); }, 10000));
        Sleep(1500);  // the call now hangs beyond the connect's own second
        MonitorRequestStop();
        ASSERT_TRUE(ThreadEndsWithin(3000)) << "the stop waited for the hanging call";
        thread.Close();
        EXPECT_TRUE(UpsLinkBusy());
        ReleaseBlockedCalls();
        ResetMonitorStateForTest();
    }
}

TEST_F(MonitorThreadTest, AMainsChangeEndsTheWaitBetweenPassesAtOnce) {
    waitPercent = 6000;  // a tick would take a minute
    Connected();
    TheMonitorState().InitialStatusPending = 0;
    WriteSettingsFile(0);
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 1; }, 10000));
    Sleep(50);
    const ULONGLONG failedAt = GetTickCount64();
    Deliver(kUpsEventMainsFailed);
    // WAIT_TIME 0: the pass woken by the failure, or the one a millisecond later, decides.
    ASSERT_TRUE(WaitUntil([] { return TheMonitorState().ShutdownStarted.load() == 1; }, 20000));
    EXPECT_LT(GetTickCount64() - failedAt, 20000u);
    MonitorRequestStop();
    ASSERT_TRUE(ThreadEndsWithin(10000));
    thread.Close();
    EXPECT_EQ(1u, fake.osShutdownAt.size());
}

// A resume reported after the shutdown was accepted ends the wait between passes at
// once, as a mains change does: the UPS is watched anew without waiting out a tick.
TEST_F(MonitorThreadTest, AResumeAfterTheShutdownWakesTheMonitorToWatchAgain) {
    waitPercent = 6000;  // a tick would take a minute
    Connected();
    TheMonitorState().InitialStatusPending = 0;
    TheMonitorState().AcFail = 1;
    TheMonitorState().AcFailStart = UnbiasedNow() - 10 * kTicksPerSecond;
    WriteSettingsFile(0);
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return MonitorOsRequestAccepted(); }, 20000));
    ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 1; }, 10000));
    Sleep(50);
    const ULONGLONG resumedAt = GetTickCount64();
    MonitorRequestRearm();
    ASSERT_TRUE(WaitUntil([] { return !MonitorOsRequestAccepted(); }, 20000));
    EXPECT_LT(GetTickCount64() - resumedAt, 20000u);
    MonitorRequestStop();
    ASSERT_TRUE(ThreadEndsWithin(10000));
    thread.Close();
    EXPECT_EQ(1u, fake.osShutdownAt.size()) << "the re-arm asks for nothing itself";
    EXPECT_EQ(0, TheMonitorState().ShutdownSequenceStarted.load());
}

// --- Stop and pause during the shutdown sequence ---

enum class SequencePlace { Command, ExcmdtimeWait, BeforeOutputOff };
enum class Control { Stop, Pause, PauseThenStop };

struct SequenceCase {
    const char* name;
    SequencePlace place;
    Control control;
};
void PrintTo(const SequenceCase& c, std::ostream* out) { *out << c.name; }

std::atomic<int> controlPlace{-1};
std::atomic<int> controlKind{-1};
std::atomic<bool> controlSent{false};

void SendControlAt(SequencePlace place) {
    if (controlPlace.load() != static_cast<int>(place) || controlSent.exchange(true)) return;
    if (static_cast<Control>(controlKind.load()) == Control::Stop) {
        MonitorRequestStop();
    } else {
        MonitorRequestPause();
    }
}

// A command of one second.
int32_t CommandOfOneSecond(const std::string& commandLine, std::string&, int32_t limit, HANDLE wake) {
    world->commands.push_back(commandLine);
    world->commandLimits.push_back(limit);
    world->commandWakeEvents.push_back(wake);
    world->commandStartedAt.push_back(MonotonicNow());
    SendControlAt(SequencePlace::Command);
    Sleep(1000);
    return 1;
}

void SequenceWaitWithControls(uint32_t milliseconds) {
    SendControlAt(SequencePlace::ExcmdtimeWait);
    MonitorSequenceWait(milliseconds);
    SendControlAt(SequencePlace::BeforeOutputOff);
}

class ControlDuringTheSequence : public MonitorThreadTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(ControlDuringTheSequence, NeverShortensItNorLetsAPausedServiceSwitchOff) {
    const SequenceCase& c = GetParam();
    controlPlace = static_cast<int>(c.place);
    controlKind = static_cast<int>(c.control == Control::Stop ? Control::Stop : Control::Pause);
    controlSent = false;
    CountdownOver("backup", 3);
    seams.RunExternalCommand = &CommandOfOneSecond;
    seams.SequenceWait = &SequenceWaitWithControls;
    SetMonitorSeamsForTest(&seams);
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return controlSent.load(); }, 20000));

    if (c.control != Control::Stop) {
        // Parked only where nothing irreversible has happened yet, and held there.
        ASSERT_TRUE(WaitUntil([] { return MonitorIsParked(); }, 20000));
        const int64_t parkedAt = MonotonicNow();
        Sleep(1500);
        EXPECT_TRUE(MonitorIsParked());
        EXPECT_TRUE(fake.upsShutdownAt.empty()) << "no output-off while paused";
        EXPECT_TRUE(fake.osShutdownAt.empty()) << "no OS shutdown while paused";
        ASSERT_EQ(1u, fake.commandStartedAt.size());
        EXPECT_GE(parkedAt, fake.commandStartedAt[0] + 3 * kTicksPerSecond - 50 * kMs)
            << "the pause is reported only once the monitor has parked, after EXCMDTIME";
        if (c.control == Control::PauseThenStop) {
            MonitorRequestStop();  // the sequence then completes
        } else {
            MonitorRequestContinue();
        }
    }
    // Once started, the sequence completes as configured; the thread then keeps
    // watching until it is stopped.
    ASSERT_TRUE(WaitUntil([] { return MonitorOsRequestAccepted(); }, 30000));
    if (c.control != Control::Stop && c.control != Control::PauseThenStop) {
        EXPECT_FALSE(ThreadEndsWithin(1500)) << "the monitor goes on after the shutdown was accepted";
        MonitorRequestStop();
    }
    ASSERT_TRUE(ThreadEndsWithin(30000));
    thread.Close();
    ASSERT_EQ(1u, fake.commandStartedAt.size());
    EXPECT_EQ(nullptr, fake.commandWakeEvents[0]);
    ASSERT_EQ(1u, fake.upsShutdownAt.size());
    EXPECT_GE(fake.upsShutdownAt[0], fake.commandStartedAt[0] + 3 * kTicksPerSecond)
        << "the output-off never comes earlier than EXCMDTIME after the command's start";
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_GE(fake.osShutdownAt[0], fake.upsShutdownAt[0]);
    EXPECT_EQ(Lines({"External_command_start:(backup)", "OS_Shutdown_is_started"}), TraceLines());
    EXPECT_EQ(0, TheMonitorState().ShutdownSequenceRunning.load());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlDuringTheSequence,
    ::testing::Values(SequenceCase{"StopDuringCommand", SequencePlace::Command, Control::Stop},
                      SequenceCase{"StopDuringExcmdtimeWait", SequencePlace::ExcmdtimeWait, Control::Stop},
                      SequenceCase{"StopBeforeOutputOff", SequencePlace::BeforeOutputOff, Control::Stop},
                      SequenceCase{"PauseDuringCommand", SequencePlace::Command, Control::Pause},
                      SequenceCase{"PauseDuringExcmdtimeWait", SequencePlace::ExcmdtimeWait, Control::Pause},
                      SequenceCase{"PauseBeforeOutputOff", SequencePlace::BeforeOutputOff, Control::Pause},
                      SequenceCase{"StopWhilePausedInTheSequence", SequencePlace::Command, Control::PauseThenStop}),
    [](const ::testing::TestParamInfo<SequenceCase>& p) { return std::string(p.param.name); });

TEST_F(MonitorThreadTest, PauseParksTheThreadAndContinueLetsItGoOn) {
    waitPercent = 10;  // a pass every 100 ms
    Connected();
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 2; }, 10000));

    MonitorRequestPause();
    ASSERT_TRUE(WaitUntil([] { return MonitorIsParked(); }, 5000));
    const int parkedAt = waitsStarted.load();
    Sleep(1000);  // ten passes' worth
    EXPECT_EQ(parkedAt, waitsStarted.load()) << "no pass runs while paused";
    EXPECT_TRUE(MonitorIsParked());
    // The library's thread is not held up meanwhile.
    Deliver(kUpsEventMainsFailed);
    EXPECT_EQ(1, TheMonitorState().AcFail.load());

    MonitorRequestContinue();
    ASSERT_TRUE(WaitUntil([&] { return waitsStarted.load() >= parkedAt + 3; }, 5000));
    EXPECT_FALSE(MonitorIsParked());
}

TEST_F(MonitorThreadTest, StopWhilePausedEndsTheThreadPromptly) {
    waitPercent = 10;
    Connected();
    StartThread();
    MonitorRequestPause();
    ASSERT_TRUE(WaitUntil([] { return MonitorIsParked(); }, 5000));

    MonitorRequestStop();
    ASSERT_TRUE(ThreadEndsWithin(5000));
    thread.Close();
    EXPECT_FALSE(MonitorIsParked());
}

TEST_F(MonitorThreadTest, PauseInsideTheWaitAfterInitParksThere) {
    waitPercent = 6000;  // the wait after InitNervaUPSLib lasts a minute
    StartThread();
    ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 1; }, 10000));
    MonitorRequestPause();
    ASSERT_TRUE(WaitUntil([] { return MonitorIsParked(); }, 5000));
    MonitorRequestStop();
    ASSERT_TRUE(ThreadEndsWithin(10000));
    thread.Close();
}

TEST(MonitorWait, ReturnsAfterTheTimeOrAtOnceOnAStop) {
    struct Case {
        const char* name;
        std::function<void()> before;
        bool expected;
        ULONGLONG atLeastMs;
        ULONGLONG atMostMs;
    };
    const Case cases[] = {
        {"no request", [] {}, true, 40, 5000},
        {"stop requested", [] { MonitorRequestStop(); }, false, 0, 1000},
        {"stop cleared by a new run", [] { MonitorRequestStop(); MonitorPrepareRun(); }, true, 40, 5000},
        {"continue without pause", [] { MonitorRequestContinue(); }, true, 40, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MonitorPrepareRun();
        c.before();
        ULONGLONG started = GetTickCount64();
        EXPECT_EQ(c.expected, MonitorWaitForStopOrTimeout(c.expected ? 50 : 60000));
        ULONGLONG took = GetTickCount64() - started;
        EXPECT_GE(took, c.atLeastMs);
        EXPECT_LE(took, c.atMostMs);
    }
    MonitorPrepareRun();
}

}  // namespace
}  // namespace monitor_test
