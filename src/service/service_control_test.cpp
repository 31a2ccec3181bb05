#include "service/service_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/event_log.h"
#include "testing/log_lines.h"
#include "service/fake_service_manager.h"
#include "testing/scratch_directory.h"

namespace {

using Lines = std::vector<std::string>;

class ServiceControlTest : public ::testing::Test {
protected:
    ServiceControlTest() {
        OpenEventLogFile();
        fake.Install();
    }
    ~ServiceControlTest() override { CloseEventLogFileForTest(); }

    Lines LogTexts() const { return EventLogTexts(scratch); }

    ScratchDirectory scratch;
    FakeServiceManager fake;
};

// ---------------------------------------------------------------- InstallService

TEST_F(ServiceControlTest, InstallRegistersTheServiceIdentityAndClosesServiceThenManager) {
    uint32_t error = 0;
    EXPECT_EQ(InstallService(error), 1);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(fake.calls, (Lines{"OpenSCManager(0x2)", "GetModuleFileName", "CreateService",
                                 "ChangeServiceConfig2(1)", "Close(service)", "Close(manager)"}));
    EXPECT_EQ(fake.createdName, "VoltwardenBasicEdition");
    EXPECT_EQ(fake.createdDisplayName, "VoltwardenBasicEdition");
    EXPECT_EQ(fake.description, "VoltwardenBasicEdition");
    EXPECT_EQ(fake.createdAccess, static_cast<DWORD>(SERVICE_CHANGE_CONFIG));
    EXPECT_EQ(fake.createdType, 0x10u);
    EXPECT_EQ(fake.createdStart, 2u);
    EXPECT_EQ(fake.createdErrorControl, 0u);
    EXPECT_TRUE(fake.createdWithNullAccount);
    // Quoted, so a folder with a space in it stays one word; no argument follows.
    EXPECT_EQ(fake.createdBinaryPath, "\"C:\\Program Files\\Voltwarden\\Voltwarden.exe\"");
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(LogTexts(), (Lines{"Install:OK"}));
}

struct InstallFailureCase {
    const char* name;
    const char* failCall;
    DWORD failError;
    bool cutOffPath;
    Lines expectedCalls;
    Lines expectedLog;
    uint32_t expectedError;
};

TEST_F(ServiceControlTest, InstallFailuresLogTheFailedCallThenInstallNgAndCloseEverything) {
    const InstallFailureCase cases[] = {
        {"manager refused", "OpenSCManager", ERROR_ACCESS_DENIED, false, {"OpenSCManager(0x2)"},
         {"OpenSCManager():ER=5", "Install:NG"}, 5},
        {"already installed", "CreateService", ERROR_SERVICE_EXISTS, false,
         {"OpenSCManager(0x2)", "GetModuleFileName", "CreateService", "Close(manager)"},
         {"CreateService():ER=1073", "Install:NG"}, 1073},
        // The service stays created without a description, and the result is 0.
        {"description refused", "ChangeServiceConfig2", ERROR_ACCESS_DENIED, false,
         {"OpenSCManager(0x2)", "GetModuleFileName", "CreateService", "ChangeServiceConfig2(1)", "Close(service)",
          "Close(manager)"},
         {"ChangeServiceConfig2():ER=5", "Install:NG"}, 5},
        // A path cut off at 260 bytes would register a service that never starts.
        {"path cut off", "", 0, true, {"OpenSCManager(0x2)", "GetModuleFileName", "Close(manager)"},
         {"GetModuleFileName():ER=122", "Install:NG"}, 122},
    };
    for (const InstallFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.failCall = c.failCall;
        f.failError = c.failError;
        if (c.cutOffPath) f.modulePath.clear();
        f.Install();

        uint32_t error = 0;
        EXPECT_EQ(InstallService(error), 0);
        EXPECT_EQ(error, c.expectedError);
        EXPECT_EQ(f.calls, c.expectedCalls);
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(LogTexts(), c.expectedLog);
    }
}

// ---------------------------------------------------------------- ChangeServiceState

struct StateCase {
    const char* name;
    uint32_t target;
    int32_t deleteFlag;
    std::vector<DWORD> states;  // first query, then one per poll
    const char* failCall;
    DWORD failError;
    int failOnCall;
    int32_t expectedResult;
    uint32_t expectedError;  // the code starts at 777 so an untouched code shows
    int expectedSleeps;
    bool expectStart, expectStop, expectDelete;
    Lines expectedLog;
};

constexpr DWORD kStopped = SERVICE_STOPPED;
constexpr DWORD kStartPending = SERVICE_START_PENDING;
constexpr DWORD kStopPending = SERVICE_STOP_PENDING;
constexpr DWORD kRunning = SERVICE_RUNNING;
constexpr DWORD kPaused = SERVICE_PAUSED;

TEST_F(ServiceControlTest, ChangeServiceStateWaitsForTheExactTargetStateAndLogsEveryFailedCall) {
    const StateCase cases[] = {
        {"start from stopped", kRunning, 0, {kStopped, kStartPending, kRunning}, "", 0, 1, 1, 777, 2, true, false,
         false, {}},
        {"start while running sends nothing", kRunning, 0, {kRunning}, "", 0, 1, 1, 777, 0, false, false, false, {}},
        {"stop while stopped sends nothing", kStopped, 0, {kStopped}, "", 0, 1, 1, 777, 0, false, false, false, {}},
        {"stop takes six polls", kStopped, 0,
         {kRunning, kStopPending, kStopPending, kStopPending, kStopPending, kStopPending, kStopped}, "", 0, 1, 1, 777,
         6, false, true, false, {}},
        {"paused counts as not stopped", kStopped, 0, {kPaused, kPaused, kStopped}, "", 0, 1, 1, 777, 2, false, true,
         false, {}},
        {"delete flag ignored for a start", kRunning, 1, {kStopped, kRunning}, "", 0, 1, 1, 777, 1, true, false, false,
         {}},
        {"uninstall a stopped service", kStopped, 1, {kStopped}, "", 0, 1, 1, 777, 0, false, false, true,
         {"Uninstall:OK"}},
        {"uninstall a running service", kStopped, 1, {kRunning, kStopPending, kStopped}, "", 0, 1, 1, 777, 2, false,
         true, true, {"Uninstall:OK"}},
        // Time-outs: 30 polls, no line, the code as the caller left it, nothing deleted.
        {"uninstall whose stop never comes", kStopped, 1, {kRunning, kStopPending}, "", 0, 1, 0, 777, 30, false,
         true, false, {}},
        {"service stops by itself while starting", kRunning, 0, {kStopped, kStartPending, kStopped}, "", 0, 1, 0,
         777, 30, true, false, false, {}},
        {"manager refused", kStopped, 0, {kRunning}, "OpenSCManager", ERROR_ACCESS_DENIED, 1, 0, 5, 0, false, false,
         false, {"OpenSCManager():ER=5"}},
        {"service missing", kStopped, 0, {kRunning}, "OpenService", ERROR_SERVICE_DOES_NOT_EXIST, 1, 0, 1060, 0,
         false, false, false, {"OpenService():ER=1060"}},
        {"first query fails", kRunning, 0, {kStopped}, "QueryServiceStatus", ERROR_INVALID_HANDLE, 1, 0, 6, 0, false,
         false, false, {"QueryServiceStatus():ER=6"}},
        {"start refused", kRunning, 0, {kStopped}, "StartService", ERROR_SERVICE_DISABLED, 1, 0, 1058, 0, true,
         false, false, {"StartService():ER=1058"}},
        {"stop refused", kStopped, 1, {kRunning}, "ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1, 0, 1061, 0,
         false, true, false, {"ControlService():ER=1061"}},
        {"query fails during the wait", kStopped, 1, {kRunning, kStopPending}, "QueryServiceStatus",
         ERROR_INVALID_HANDLE, 3, 0, 6, 2, false, true, false, {"QueryServiceStatus():ER=6"}},
        {"delete refused", kStopped, 1, {kStopped}, "DeleteService", ERROR_SERVICE_MARKED_FOR_DELETE, 1, 0, 1072, 0,
         false, false, true, {"DeleteService():ER=1072", "Uninstall:NG"}},
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.states = c.states;
        f.failCall = c.failCall;
        f.failError = c.failError;
        f.failOnCall = c.failOnCall;
        f.Install();

        uint32_t error = 777;
        EXPECT_EQ(ChangeServiceState(c.target, c.deleteFlag, error), c.expectedResult);
        EXPECT_EQ(error, c.expectedError);
        EXPECT_EQ(f.sleeps, c.expectedSleeps);
        EXPECT_EQ(f.Count("Sleep(1000)"), c.expectedSleeps);
        EXPECT_EQ(f.Count("StartService(0)") == 1, c.expectStart);
        EXPECT_EQ(f.Count("ControlService(1)") == 1, c.expectStop);
        EXPECT_EQ(f.Count("DeleteService") == 1, c.expectDelete);
        EXPECT_EQ(LogTexts(), c.expectedLog);
        // Every handle opened is closed, the service's before the manager's.
        EXPECT_EQ(f.openHandles, 0);
        if (f.Count("Close(service)") == 1) {
            ASSERT_GE(f.calls.size(), 2u);
            EXPECT_EQ(f.calls[f.calls.size() - 2], "Close(service)");
            EXPECT_EQ(f.calls.back(), "Close(manager)");
        }
    }
}

TEST_F(ServiceControlTest, ChangeServiceStateAsksForFullAccessToTheNamedService) {
    fake.states = {kRunning, kStopped};
    uint32_t error = 0;
    EXPECT_EQ(ChangeServiceState(SERVICE_STOPPED, 1, error), 1);
    EXPECT_EQ(fake.calls, (Lines{"OpenSCManager(0xF003F)", "OpenService(VoltwardenBasicEdition,0xF01FF)",
                                 "QueryServiceStatus", "ControlService(1)", "Sleep(1000)", "QueryServiceStatus",
                                 "DeleteService", "Close(service)", "Close(manager)"}));
}

// ---------------------------------------------------------------- QueryServiceRunning

struct QueryCase {
    const char* name;
    DWORD state;
    const char* failCall;
    DWORD failError;
    int32_t expectedResult;
    uint32_t expectedRunning;
    uint32_t expectedError;
};

TEST_F(ServiceControlTest, QueryServiceRunningCountsOnlyTheRunningStateAndLogsNothing) {
    const QueryCase cases[] = {
        {"running", kRunning, "", 0, 1, 1, 0},
        {"stopped", kStopped, "", 0, 1, 0, 0},
        {"start pending", kStartPending, "", 0, 1, 0, 0},
        {"stop pending", kStopPending, "", 0, 1, 0, 0},
        {"paused", kPaused, "", 0, 1, 0, 0},
        {"manager refused", kRunning, "OpenSCManager", ERROR_ACCESS_DENIED, 0, 0, 5},
        {"not installed", kRunning, "OpenService", ERROR_SERVICE_DOES_NOT_EXIST, 0, 0, 1060},
        {"query failed", kRunning, "QueryServiceStatus", ERROR_INVALID_HANDLE, 0, 0, 6},
    };
    for (const QueryCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServiceManager f;
        f.states = {c.state};
        f.failCall = c.failCall;
        f.failError = c.failError;
        f.Install();

        uint32_t running = 99;
        uint32_t error = 99;
        EXPECT_EQ(QueryServiceRunning(running, error), c.expectedResult);
        EXPECT_EQ(running, c.expectedRunning);
        EXPECT_EQ(error, c.expectedError);
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(f.Count("OpenSCManager(0x1)"), 1);
        if (c.expectedResult == 1) {
            EXPECT_EQ(f.Count("OpenService(VoltwardenBasicEdition,0x4)"), 1);
        }
    }
    EXPECT_EQ(LogTexts(), Lines{});
}

}  // namespace
