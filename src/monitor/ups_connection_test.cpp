// What a reconnection tells NOTIFY_CMD: our own text in the argument, the model (whatever
// the UPS or the machine serving it calls itself) only in the event log and VOLTWARDEN_MODEL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "notify/notifier.h"

namespace monitor_test {
namespace {

struct Run {
    std::string commandLine;
    std::vector<std::string> environment;
};
std::mutex runsLock;
std::vector<Run> runs;

NotificationOutcome RecordingRunner(const std::string& commandLine, std::vector<char>& environment, int32_t) {
    Run run{commandLine, {}};
    for (const char* entry = environment.data(); *entry != '\0'; entry += std::strlen(entry) + 1) {
        run.environment.emplace_back(entry);
    }
    std::lock_guard<std::mutex> held(runsLock);
    runs.push_back(run);
    return NotificationOutcome();
}

class ConnectionNotificationsTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        runs.clear();
        SetNotificationRunnerForTest(&RecordingRunner);
    }
};

TEST_F(ConnectionNotificationsTest, TheReconnectionsTextIsOursAndTheModelOnlyInItsVariable) {
    const std::string model = "x\" & echo PWNED>C:\\pwned.txt & rem \"";
    fake.model = model;
    Settings settings;
    settings.WaitTime = 600;
    settings.NotifyCmd = "notify.cmd";
    ASSERT_TRUE(WriteSettings(settings));
    Connect();
    // Silent for longer than ten seconds: dropped, and connected again in the same pass.
    fakeNow = TheMonitorState().LastHeard.load() + 11 * kTicksPerSecond;
    EXPECT_EQ(0, MonitorPass());
    ASSERT_TRUE(WaitUntilNotificationsIdleForTest(60000));

    std::lock_guard<std::mutex> held(runsLock);
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ("notify.cmd COMMBAD \"UPS_disconnected\"", runs[0].commandLine);
    EXPECT_EQ("notify.cmd COMMOK \"UPS_connected\"", runs[1].commandLine);
    const std::vector<std::string>& environment = runs[1].environment;
    ASSERT_GE(environment.size(), 4u);
    const std::vector<std::string> ours(environment.end() - 4, environment.end());
    EXPECT_EQ((std::vector<std::string>{"VOLTWARDEN_EVENT=COMMOK", "VOLTWARDEN_TEXT=UPS_connected",
                                        "VOLTWARDEN_CHARGE=", "VOLTWARDEN_MODEL=" + model}),
              ours);
    // The event log keeps its line with the model as the library gave it.
    const std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), "UPS_connected:" + model));
}

}  // namespace
}  // namespace monitor_test
