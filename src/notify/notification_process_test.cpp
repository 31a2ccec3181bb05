#include "notify/notification_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "notify/notify_command_line.h"
#include "testing/scratch_directory.h"

namespace {

// The test program is its own child: run with VW_NOTIFY_CHILD set, the test below does what
// that variable says instead of testing.
std::string ThisProgram() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string ChildCommand() { return "\"" + ThisProgram() + "\" --gtest_filter=NotificationChild.Act"; }

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "<none>";
}

TEST(NotificationChild, Act) {
    const std::string mode = Variable("VW_NOTIFY_CHILD");
    if (mode == "<none>") GTEST_SKIP() << "only run as a child of the tests below";
    // Opened only by a mode that writes: the sleeping grandchild must not empty the file.
    const std::string outPath = Variable("VW_NOTIFY_OUT");
    if (mode == "exit7") {
        std::ofstream out(outPath, std::ios::binary);
        out << "ran";
        out.close();
        ExitProcess(7);
    }
    if (mode == "env") {
        std::ofstream out(outPath, std::ios::binary);
        out << Variable("VOLTWARDEN_EVENT") << "|" << Variable("VOLTWARDEN_TEXT") << "|"
            << Variable("VOLTWARDEN_CHARGE") << "|" << Variable("VOLTWARDEN_MODEL") << "|" << Variable("PATH").empty();
        out.close();
        ExitProcess(0);
    }
    if (mode == "tree") {
        // A grandchild that sleeps; its process id goes to the file, then this one sleeps too.
        SetEnvironmentVariableA("VW_NOTIFY_CHILD", "sleep");
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION created = {};
        std::string command = ChildCommand();
        std::ofstream out(outPath, std::ios::binary);
        if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                           &startup, &created)) {
            out << created.dwProcessId;
            CloseHandle(created.hThread);
            CloseHandle(created.hProcess);
        }
        out.close();
    }
    Sleep(120000);
    ExitProcess(0);
}

class NotificationProcessTest : public ::testing::Test {
protected:
    std::vector<char> EnvironmentFor(const std::string& mode, const Notification& n = Notification()) {
        SetEnvironmentVariableA("VW_NOTIFY_CHILD", mode.c_str());
        SetEnvironmentVariableA("VW_NOTIFY_OUT", scratch.File("out.txt").c_str());
        char* inherited = GetEnvironmentStringsA();
        std::vector<char> block = NotifyEnvironmentBlock(inherited, n, "NV-1500");
        FreeEnvironmentStringsA(inherited);
        SetEnvironmentVariableA("VW_NOTIFY_CHILD", nullptr);
        SetEnvironmentVariableA("VW_NOTIFY_OUT", nullptr);
        return block;
    }
    ScratchDirectory scratch;
};

TEST_F(NotificationProcessTest, AProcessThatEndsInTimeGivesItsExitCode) {
    std::vector<char> environment = EnvironmentFor("exit7");
    const NotificationOutcome outcome = RunNotificationProcess(ChildCommand(), environment, 60);
    EXPECT_EQ(NotificationEnd::Exited, outcome.End);
    EXPECT_EQ(7u, outcome.ExitCode);
    EXPECT_EQ("ran", scratch.ReadFile("out.txt"));
}

TEST_F(NotificationProcessTest, TheChildReadsTheEventFromItsEnvironment) {
    Notification n;
    n.Event = NotifyEvent::OnBattery;
    n.Text = "Mains power failure";
    n.Charge = 64;
    std::vector<char> environment = EnvironmentFor("env", n);
    const NotificationOutcome outcome = RunNotificationProcess(ChildCommand(), environment, 60);
    ASSERT_EQ(NotificationEnd::Exited, outcome.End);
    EXPECT_EQ("ONBATT|Mains power failure|64|NV-1500|0", scratch.ReadFile("out.txt"));
}

TEST_F(NotificationProcessTest, AProcessPastItsLimitIsEndedWithWhatItStarted) {
    std::vector<char> environment = EnvironmentFor("tree");
    const ULONGLONG begin = GetTickCount64();
    const NotificationOutcome outcome = RunNotificationProcess(ChildCommand(), environment, 3);
    const ULONGLONG took = GetTickCount64() - begin;
    EXPECT_EQ(NotificationEnd::TimedOut, outcome.End);
    EXPECT_GE(took, 2900u);
    EXPECT_LT(took, 60000u) << "the runner waited far beyond the limit";
    const DWORD grandchild = static_cast<DWORD>(std::strtoul(scratch.ReadFile("out.txt").c_str(), nullptr, 10));
    ASSERT_NE(0u, grandchild) << "the child did not start its own child";
    ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, grandchild));
    if (process.IsValid()) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), 10000)) << "the grandchild outlived the limit";
    }
}

TEST_F(NotificationProcessTest, ACommandThatCannotStartSaysWhy) {
    std::vector<char> environment = EnvironmentFor("exit7");
    const NotificationOutcome outcome =
        RunNotificationProcess("\"" + scratch.File("no-such-program.exe") + "\"", environment, 5);
    EXPECT_EQ(NotificationEnd::NotStarted, outcome.End);
    EXPECT_NE(0u, outcome.Error);
}

}  // namespace
