// The shutdown sequence tells NOTIFY_CMD of its start, a failed command and a refused OS
// shutdown, and never waits for the notification.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "config/settings.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "notify/notifier.h"

namespace monitor_test {
namespace {

struct Told {
    std::mutex lock;
    std::vector<std::string> commandLines;
    HANDLE release = nullptr;  // when set, a notification hangs until it is signalled
    std::atomic<int> started{0};
};
Told* told = nullptr;

NotificationOutcome RecordingRunner(const std::string& commandLine, std::vector<char>&, int32_t) {
    {
        std::lock_guard<std::mutex> held(told->lock);
        told->commandLines.push_back(commandLine);
    }
    ++told->started;
    if (told->release != nullptr) WaitForSingleObject(told->release, 60000);
    NotificationOutcome outcome;
    outcome.End = told->release != nullptr ? NotificationEnd::TimedOut : NotificationEnd::Exited;
    return outcome;
}

class SequenceNotificationsTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        told = &record;
        SetNotificationRunnerForTest(&RecordingRunner);
    }
    void TearDown() override {
        if (record.release != nullptr) SetEvent(record.release);
        MonitorTest::TearDown();
        told = nullptr;
    }
    void WriteSequenceSettings(bool notify, int32_t exCmdTime) {
        Settings settings;
        settings.WaitTime = 0;
        settings.ExCmd = "backup";
        settings.ExCmdTime = exCmdTime;
        if (notify) settings.NotifyCmd = "notify.cmd";
        ASSERT_TRUE(WriteSettings(settings));
    }
    Told record;
};

TEST_F(SequenceNotificationsTest, TheStartAFailedCommandAndARefusedShutdownAreTold) {
    WriteSequenceSettings(true, 3);
    fake.commandRunsMs = 10000;        // past EXCMDTIME: the command failed
    fake.osShutdownResults = {0};      // Windows refuses once
    ReadyForTheSequence();
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(1, MonitorPass());
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    EXPECT_EQ((std::vector<std::string>{"notify.cmd SHUTDOWN \"Shutdown_by_wait_time\"",
                                        "notify.cmd CMDFAIL \"External_command_failed\"",
                                        "notify.cmd SHUTDOWNFAIL \"OS_shutdown_refused\""}),
              record.commandLines);
}

// A notification that hangs for its whole time limit changes the moments of the command,
// the UPS output-off and the OS shutdown by nothing.
TEST_F(SequenceNotificationsTest, AHangingNotificationMovesNoStepOfTheSequence) {
    ScopedKernelHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::vector<int64_t>> moments;
    for (bool notify : {false, true}) {
        SCOPED_TRACE(notify ? "with a hanging notification" : "without NOTIFY_CMD");
        ResetMonitorStateForTest();
        fake = FakeWorld();
        fakeNow = kStartTicks;
        record.release = notify ? release.Get() : nullptr;
        WriteSequenceSettings(notify, 3);
        fake.commandRunsMs = 1200;
        ReadyForTheSequence();

        EXPECT_EQ(1, MonitorPass());

        ASSERT_EQ(1u, fake.commandStartedAt.size());
        ASSERT_EQ(1u, fake.upsShutdownAt.size());
        ASSERT_EQ(1u, fake.osShutdownAt.size());
        moments.push_back({fake.commandStartedAt[0], fake.upsShutdownAt[0], fake.osShutdownAt[0]});
    }
    EXPECT_EQ(moments[0], moments[1]);
    // The sequence is over, and its notification (started now or a moment later on the
    // notifier's thread) still hangs: it never ends without the release below.
    for (int waited = 0; record.started.load() == 0 && waited < 10000; waited += 10) Sleep(10);
    EXPECT_EQ(1, record.started.load());
    EXPECT_FALSE(WaitUntilNotificationsIdleForTest(100)) << "the hanging notification ended by itself";
    SetEvent(release.Get());
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    record.release = nullptr;
    EXPECT_EQ((std::vector<std::string>{"notify.cmd SHUTDOWN \"Shutdown_by_wait_time\""}), record.commandLines);
}

}  // namespace
}  // namespace monitor_test
