// Run control of the monitor thread with real threads and real waits: a stop wakes
// every wait at once, a pause parks the thread in a wait, a continue lets it go on.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/scoped_handle.h"
#include "config/settings.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

// The real wait, stretched or shrunk: a stop test makes every wait a minute long, so
// a thread that ends within seconds can only have been woken by the stop.
std::atomic<int> waitsStarted{0};
std::atomic<uint32_t> waitPercent{100};
std::atomic<bool> commandWaiting{false};
std::atomic<bool> commandWoken{false};

bool ScaledRealWait(uint32_t milliseconds) {
    ++waitsStarted;
    return MonitorWaitForStopOrTimeout(static_cast<uint32_t>(uint64_t{milliseconds} * waitPercent.load() / 100));
}

int32_t CommandThatWaitsForTheWakeEvent(const std::string&, std::string&, int32_t, HANDLE wake) {
    commandWaiting = true;
    commandWoken = WaitForSingleObject(wake, 60000) == WAIT_OBJECT_0;
    return 0;
}

int32_t CommandThatEndsAtOnce(const std::string&, std::string&, int32_t, HANDLE) { return 1; }

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
        commandWaiting = false;
        commandWoken = false;
        seams = FakeSeams();
        seams.Wait = &ScaledRealWait;
        SetMonitorSeamsForTest(&seams);
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
        state.LastHeard = fakeNow.load();
    }

    void CountdownOver(const std::string& exCmd, int32_t exCmdTime) {
        Connected();
        TheMonitorState().AcFail = 1;
        TheMonitorState().AcFailStart = fakeNow.load() - 10 * kTicksPerSecond;
        WriteSettingsFile(0, exCmd, exCmdTime);
    }

    MonitorSeams seams{};
    ScopedKernelHandle thread;
};

enum class WaitPlace { Tick, AfterInit, ExternalCommand, UntilExcmdtime };

struct StopCase {
    const char* name;
    WaitPlace place;
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class StopWakes : public MonitorThreadTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopWakes, EveryWaitOfTheThread) {
    waitPercent = 6000;  // every wait a minute long
    switch (GetParam().place) {
        case WaitPlace::Tick:
            Connected();
            break;
        case WaitPlace::AfterInit:
            break;  // not connected: the pass connects and waits after InitNervaUPSLib
        case WaitPlace::ExternalCommand:
            CountdownOver("backup", 3600);
            seams.RunExternalCommand = &CommandThatWaitsForTheWakeEvent;
            SetMonitorSeamsForTest(&seams);
            break;
        case WaitPlace::UntilExcmdtime:
            CountdownOver("backup", 3600);
            seams.RunExternalCommand = &CommandThatEndsAtOnce;
            SetMonitorSeamsForTest(&seams);
            break;
    }
    StartThread();
    if (GetParam().place == WaitPlace::ExternalCommand) {
        ASSERT_TRUE(WaitUntil([] { return commandWaiting.load(); }, 10000));
    } else {
        ASSERT_TRUE(WaitUntil([] { return waitsStarted.load() >= 1; }, 10000));
    }
    Sleep(50);
    MonitorRequestStop();
    EXPECT_EQ(0, MonitorRunFlag.load());
    ASSERT_TRUE(ThreadEndsWithin(10000)) << "the stop did not wake the wait";
    thread.Close();

    switch (GetParam().place) {
        case WaitPlace::Tick:
            EXPECT_EQ(Lines(), fake.calls);
            break;
        case WaitPlace::AfterInit:
            // The pass goes on after its wait and opens the device.
            EXPECT_EQ(Lines({"InitNervaUPSLib", "GetUPSList", "GetModelName(7)"}), fake.calls);
            break;
        case WaitPlace::ExternalCommand:
            EXPECT_TRUE(commandWoken.load());
            EXPECT_EQ(Lines({"Shutdown(7,3)"}), fake.calls);
            EXPECT_EQ(Lines({"External_command_start:(backup)", "ExCommand:NG", "OS_Shutdown_is_started"}),
                      TraceLines());
            break;
        case WaitPlace::UntilExcmdtime:
            // The sequence was decided; a stop only ends its waiting.
            EXPECT_EQ(Lines({"Shutdown(7,3)"}), fake.calls);
            EXPECT_EQ(1u, fake.osShutdownAt.size());
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StopWakes,
                         ::testing::Values(StopCase{"Tick", WaitPlace::Tick}, StopCase{"AfterInit", WaitPlace::AfterInit},
                                           StopCase{"ExternalCommand", WaitPlace::ExternalCommand},
                                           StopCase{"UntilExcmdtime", WaitPlace::UntilExcmdtime}),
                         [](const ::testing::TestParamInfo<StopCase>& p) { return std::string(p.param.name); });

TEST_F(MonitorThreadTest, FinalPassAfterAStopDoesNotWaitAgain) {
    waitPercent = 6000;
    CountdownOver("backup", 3600);
    TheMonitorState().Disconnected = 1;  // it must also connect, with its wait after InitNervaUPSLib
    seams.RunExternalCommand = &CommandThatWaitsForTheWakeEvent;
    SetMonitorSeamsForTest(&seams);
    MonitorRequestStop();

    ULONGLONG started = GetTickCount64();
    // Connected again, the expired countdown waits for the UPS's first record ...
    EXPECT_EQ(0, MonitorPass());
    EXPECT_TRUE(fake.osShutdownAt.empty());
    // ... which says mains is still failed; the sequence then runs without waiting.
    UpsEventCallback(7, kUpsEventMeasurement, NewRecord(1));
    EXPECT_EQ(1, MonitorPass());
    EXPECT_LT(GetTickCount64() - started, 5000u);
    EXPECT_TRUE(commandWoken.load());
    EXPECT_EQ(1u, fake.osShutdownAt.size());
}

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
