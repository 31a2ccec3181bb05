#include "notify/notifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

std::atomic<int64_t> monotonicNow{0};
int64_t FakeMonotonic() { return monotonicNow.load(); }

// What the fake runner was handed, and what it answers.
struct Runs {
    std::mutex lock;
    std::vector<std::string> commandLines;
    std::vector<std::string> events;  // VOLTWARDEN_EVENT of each run
    std::vector<int32_t> limits;
    NotificationOutcome answer;
    HANDLE release = nullptr;  // when set, every run waits for it
    std::atomic<int> started{0};
};
Runs* runs = nullptr;

std::string VariableOf(const std::vector<char>& block, const std::string& name) {
    for (const char* entry = block.data(); *entry != '\0'; entry += std::string(entry).size() + 1) {
        if (std::string(entry).rfind(name + "=", 0) == 0) return std::string(entry).substr(name.size() + 1);
    }
    return "<none>";
}

NotificationOutcome FakeRunner(const std::string& commandLine, std::vector<char>& environment, int32_t limit) {
    ++runs->started;
    if (runs->release != nullptr) WaitForSingleObject(runs->release, 60000);
    std::lock_guard<std::mutex> held(runs->lock);
    runs->commandLines.push_back(commandLine);
    runs->events.push_back(VariableOf(environment, "VOLTWARDEN_EVENT"));
    runs->limits.push_back(limit);
    return runs->answer;
}

class NotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        runs = &record;
        record.answer.End = NotificationEnd::Exited;
        monotonicNow = 1000 * kTicksPerSecond;
        SetMonotonicClockForTest(&FakeMonotonic);
        RestartEventLogEmpty(scratch);
        ResetNotifierForTest();
        SetNotificationRunnerForTest(&FakeRunner);
    }
    void TearDown() override {
        if (record.release != nullptr) SetEvent(record.release);
        EXPECT_TRUE(WaitUntilNotificationsIdleForTest(60000));
        ResetNotifierForTest();
        SetNotificationRunnerForTest(nullptr);
        CloseEventLogFileForTest();
        SetMonotonicClockForTest(nullptr);
        runs = nullptr;
    }
    void WriteNotifySettings(const std::string& command, int32_t time = 30) {
        Settings settings;
        settings.NotifyCmd = command;
        settings.NotifyTime = time;
        ASSERT_TRUE(WriteSettings(settings));
    }
    // A minute apart, so that the throttle tells every one.
    void NotifyAfterAMinute(NotifyEvent event, const std::string& text) {
        monotonicNow += 61 * kTicksPerSecond;
        Notify(event, text);
    }
    std::vector<std::string> LogLines() { return EventLogTexts(scratch); }

    ScratchDirectory scratch;
    Runs record;
};

TEST_F(NotifierTest, EachEventRunsTheCommandOnceInOrderAndIsLogged) {
    WriteNotifySettings("C:\\Tools\\notify.cmd /q", 45);
    NotifyAfterAMinute(NotifyEvent::OnBattery, "Mains failed");
    NotifyAfterAMinute(NotifyEvent::LowBattery, "Battery low");
    NotifyAfterAMinute(NotifyEvent::Online, "Mains restored");
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));

    EXPECT_EQ((std::vector<std::string>{"C:\\Tools\\notify.cmd /q ONBATT \"Mains failed\"",
                                        "C:\\Tools\\notify.cmd /q LOWBATT \"Battery low\"",
                                        "C:\\Tools\\notify.cmd /q ONLINE \"Mains restored\""}),
              record.commandLines);
    EXPECT_EQ((std::vector<std::string>{"ONBATT", "LOWBATT", "ONLINE"}), record.events);
    EXPECT_EQ((std::vector<int32_t>{45, 45, 45}), record.limits);
    EXPECT_EQ((std::vector<std::string>{"Notify(ONBATT):ExitCode=0", "Notify(LOWBATT):ExitCode=0",
                                        "Notify(ONLINE):ExitCode=0"}),
              LogLines());
}

TEST_F(NotifierTest, WithoutNotifyCmdNothingRunsAndNothingIsWritten) {
    for (bool withFile : {false, true}) {
        if (withFile) WriteNotifySettings("");
        NotifyAfterAMinute(NotifyEvent::OnBattery, "Mains failed");
        ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
        EXPECT_TRUE(record.commandLines.empty());
        EXPECT_TRUE(LogLines().empty());
        EXPECT_EQ(withFile, scratch.Exists("Setting.ini")) << "a missing Setting.ini is not written by a notification";
    }
}

TEST_F(NotifierTest, ATimeOutAndACommandThatCannotStartAreWritten) {
    WriteNotifySettings("notify.cmd");
    record.answer.End = NotificationEnd::TimedOut;
    NotifyAfterAMinute(NotifyEvent::CommBad, "lost");
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    record.answer.End = NotificationEnd::Exited;
    record.answer.ExitCode = 3;
    NotifyAfterAMinute(NotifyEvent::CommOk, "connected");
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    // A command that cannot be started fails on every event: written once, like any repeated failure.
    record.answer.End = NotificationEnd::NotStarted;
    record.answer.Error = 2;
    NotifyAfterAMinute(NotifyEvent::OnBattery, "failed");
    NotifyAfterAMinute(NotifyEvent::Online, "restored");
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    EXPECT_EQ((std::vector<std::string>{"Notify(COMMBAD):TimeOut", "Notify(COMMOK):ExitCode=3", "Notify:ER=2"}),
              LogLines());
}

// The caller only hands the event over: while one notification hangs, every Notify returns
// at once, sixteen wait, and the oldest beyond them are dropped and counted.
TEST_F(NotifierTest, AHangingNotificationHoldsUpNoCallerAndTheQueueKeepsSixteen) {
    WriteNotifySettings("notify.cmd");
    ScopedKernelHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    record.release = release.Get();
    NotifyAfterAMinute(NotifyEvent::OnBattery, "first");
    for (int waited = 0; record.started.load() == 0 && waited < 10000; waited += 10) Sleep(10);
    ASSERT_EQ(1, record.started.load()) << "the first notification never started";
    for (int i = 0; i < 19; ++i) NotifyAfterAMinute(NotifyEvent::Online, std::to_string(i));
    // Still blocked in the first run here: every call above came back without it.
    EXPECT_TRUE(record.commandLines.empty());
    NotifyAfterAMinute(NotifyEvent::Shutdown, "shutdown");

    SetEvent(release.Get());
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    record.release = nullptr;
    ASSERT_EQ(17u, record.commandLines.size());
    // The first was running; the shutdown went first of the waiting; 16 ordinary ones came
    // after the first, of which the oldest four were dropped for the shutdown's place and more.
    EXPECT_EQ("notify.cmd ONBATT \"first\"", record.commandLines[0]);
    EXPECT_EQ("notify.cmd SHUTDOWN \"shutdown\"", record.commandLines[1]);
    EXPECT_EQ("notify.cmd ONLINE \"4\"", record.commandLines[2]);
    EXPECT_EQ("notify.cmd ONLINE \"18\"", record.commandLines[16]);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Notify(ONBATT):ExitCode=0", lines[0]);
    EXPECT_EQ("Notify:Dropped=4", lines[1]);
}

TEST_F(NotifierTest, UpsConnectedIsToldOnlyAfterALossThatWasTold) {
    WriteNotifySettings("notify.cmd");
    NotifyAfterAMinute(NotifyEvent::CommOk, "first connection of the run");
    NotifyAfterAMinute(NotifyEvent::CommBad, "lost");
    NotifyAfterAMinute(NotifyEvent::CommOk, "connected again");
    NotifyAfterAMinute(NotifyEvent::CommOk, "connected once more without a loss");
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    EXPECT_EQ((std::vector<std::string>{"notify.cmd COMMBAD \"lost\"", "notify.cmd COMMOK \"connected again\""}),
              record.commandLines);
}

TEST_F(NotifierTest, AFlappingUpsStartsAHandfulNotOneAnEvent) {
    WriteNotifySettings("notify.cmd");
    for (int second = 0; second < 60; second += 2) {
        Notify(second % 4 == 0 ? NotifyEvent::OnBattery : NotifyEvent::Online, "flap");
        monotonicNow += 2 * kTicksPerSecond;
    }
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));
    EXPECT_EQ((std::vector<std::string>{"ONBATT", "ONLINE", "ONBATT", "ONLINE"}), record.events);
}

}  // namespace
