// The shutdown sequence and the network UPS clients: FSD from the sequence's first
// moment, and the wait for their logout just before the output-off, never past
// EXCMDTIME.
#include <gtest/gtest.h>

#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"

namespace monitor_test {
namespace {

struct ClientWait {
    int64_t deadline;
    HANDLE wake;
    size_t callsBefore;  // fake library calls made before the wait
    uint8_t sequenceStarted;
};
std::vector<ClientWait> clientWaits;
std::vector<uint8_t> sequenceStartedAtCommand;

int32_t RecordClientWait(int64_t deadline, HANDLE wake) {
    clientWaits.push_back({deadline, wake, world->calls.size(), TheMonitorState().ShutdownSequenceStarted.load()});
    return 2;
}

int32_t RecordCommand(const std::string& commandLine, std::string& output, int32_t limit, HANDLE wake) {
    sequenceStartedAtCommand.push_back(TheMonitorState().ShutdownSequenceStarted.load());
    return FakeSeams().RunExternalCommand(commandLine, output, limit, wake);
}

class NetworkClientsWaitTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        clientWaits.clear();
        sequenceStartedAtCommand.clear();
        MonitorSeams seams = FakeSeams();
        seams.WaitForNetworkClients = &RecordClientWait;
        seams.RunExternalCommand = &RecordCommand;
        SetMonitorSeamsForTest(&seams);
    }
};

TEST_F(NetworkClientsWaitTest, DeadlineIsExcmdtimeAfterTheCommandOrTheSequenceStart) {
    struct Case {
        const char* command;
        int32_t exCmdTime;
        int64_t commandRunsMs;
    };
    const Case cases[] = {{"backup", 3, 1200}, {"backup", 0, 0}, {"", 30, 0}, {"", 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + ", EXCMDTIME " + std::to_string(c.exCmdTime));
        ResetMonitorStateForTest();
        fake = FakeWorld();
        clientWaits.clear();
        sequenceStartedAtCommand.clear();
        fakeNow = kStartTicks;
        WriteSettingsFile(0, c.command, c.exCmdTime);
        fake.commandRunsMs = c.commandRunsMs;
        ReadyForTheSequence();

        EXPECT_EQ(1, MonitorPass());

        ASSERT_EQ(1u, clientWaits.size());
        const int64_t start = c.command[0] != '\0' ? fake.commandStartedAt.at(0) : kStartTicks;
        EXPECT_EQ(start + c.exCmdTime * kTicksPerSecond, clientWaits[0].deadline);
        EXPECT_EQ(nullptr, clientWaits[0].wake) << "a stop of the service does not cut the sequence short";
        EXPECT_EQ(1, clientWaits[0].sequenceStarted);
        // After the clients' wait only the rest of the command's time passes, then the output-off.
        ASSERT_LT(clientWaits[0].callsBefore, fake.calls.size());
        for (size_t i = clientWaits[0].callsBefore; i + 1 < fake.calls.size(); ++i) {
            EXPECT_EQ(0u, fake.calls[i].rfind("Wait(", 0)) << fake.calls[i];
        }
        EXPECT_EQ("Shutdown(7,3)", fake.calls.back());
        // With a command the output-off waits for its EXCMDTIME whatever the clients do;
        // without one, only for the clients (who here log out at once).
        const int64_t outputOffAt = c.command[0] != '\0' ? start + c.exCmdTime * kTicksPerSecond : kStartTicks;
        EXPECT_EQ(outputOffAt, fake.upsShutdownAt.at(0));
        if (c.command[0] != '\0') {
            EXPECT_EQ(std::vector<uint8_t>{1}, sequenceStartedAtCommand);
        }
    }
}

TEST_F(NetworkClientsWaitTest, NoSequenceNoFsd) {
    WriteSettingsFile(60);
    ReadyForTheSequence();
    EXPECT_EQ(0, MonitorPass());
    EXPECT_EQ(0, TheMonitorState().ShutdownSequenceStarted.load());
    EXPECT_TRUE(clientWaits.empty());
}

}  // namespace
}  // namespace monitor_test
