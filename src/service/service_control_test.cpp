#include "service/service_control.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "log/event_log.h"
#include "service/event_source_key.h"
#include "service/fake_service_manager.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

using Lines = std::vector<std::string>;
using KeyValues = std::map<std::string, std::pair<DWORD, std::string>>;

const char kExePath[] = "C:\\Program Files\\Voltwarden\\Voltwarden.exe";

// What INSTALL leaves in the event source's key: the exe as a literal path with its
// terminating zero, and the three types the service may report.
KeyValues ExpectedKeyValues(const std::string& exePath) {
    return {{"EventMessageFile", {REG_SZ, exePath + std::string(1, '\0')}},
            {"TypesSupported", {REG_DWORD, std::string("\x07\x00\x00\x00", 4)}}};
}

constexpr DWORD kRestartAction = SC_ACTION_RESTART;

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
                                 "ChangeServiceConfig2(1)", "ChangeServiceConfig2(2)", "ChangeServiceConfig2(4)",
                                 "ChangeServiceConfig2(7)", "Close(service)", "Close(manager)", "RegCreateKeyEx(HKLM)", "RegSetValueEx(EventMessageFile)",
                                 "RegSetValueEx(TypesSupported)", "RegCloseKey"}));
    EXPECT_EQ(fake.createdName, "VoltwardenBasicEdition");
    EXPECT_EQ(fake.createdDisplayName, "VoltwardenBasicEdition");
    EXPECT_EQ(fake.description, "VoltwardenBasicEdition");
    // Start access as well: the manager takes restart actions only through such a handle.
    EXPECT_EQ(fake.createdAccess, static_cast<DWORD>(SERVICE_CHANGE_CONFIG | SERVICE_START));
    EXPECT_EQ(fake.createdType, 0x10u);
    EXPECT_EQ(fake.createdStart, 2u);
    EXPECT_EQ(fake.createdErrorControl, 0u);
    EXPECT_TRUE(fake.createdWithNullAccount);
    // Quoted, so a folder with a space in it stays one word; no argument follows.
    EXPECT_EQ(fake.createdBinaryPath, "\"C:\\Program Files\\Voltwarden\\Voltwarden.exe\"");
    EXPECT_EQ(fake.openHandles, 0);
    EXPECT_EQ(LogTexts(), (Lines{"Install:OK"}));
}

TEST_F(ServiceControlTest, InstallSetsRestartAfterAMinuteEveryTimeAndResetAfterADay) {
    uint32_t error = 0;
    ASSERT_EQ(InstallService(error), 1);
    ASSERT_TRUE(fake.failureActionsSet);
    EXPECT_EQ(fake.resetPeriod, 86400u);
    // The last action is repeated for every later failure: a service that does not run
    // leaves the computer unprotected.
    EXPECT_EQ(fake.failureActions, (std::vector<std::pair<int, DWORD>>{
                                       {kRestartAction, 60000}, {kRestartAction, 60000}, {kRestartAction, 60000}}));
    EXPECT_TRUE(fake.failureActionsWithoutRebootOrCommand);
    // A start that fails reports STOPPED with its error: that is a failure too.
    EXPECT_EQ(fake.failureActionsOnErrorStops, TRUE);
}

TEST_F(ServiceControlTest, InstallGivesTheServiceThreeMinutesAtAShutdownOfWindows) {
    uint32_t error = 0;
    ASSERT_EQ(InstallService(error), 1);
    EXPECT_EQ(fake.preshutdownTimeout, 180000u);
}

// The service sets its own preshutdown time at each start, whoever installed it.
TEST_F(ServiceControlTest, TheInstalledServiceGetsItsPreshutdownTimeOrTheRefusalIsLogged) {
    const struct {
        const char* name;
        const char* failCall;
        bool set;
        Lines calls;
        Lines log;
    } cases[] = {
        {"set", "", true,
         {"OpenSCManager(0x1)", "OpenService(VoltwardenBasicEdition,0x2)", "ChangeServiceConfig2(7)",
          "Close(service)", "Close(manager)"},
         {}},
        {"manager refused", "OpenSCManager", false, {"OpenSCManager(0x1)"}, {"OpenSCManager():ER=5"}},
        {"service refused", "OpenService", false,
         {"OpenSCManager(0x1)", "OpenService(VoltwardenBasicEdition,0x2)", "Close(manager)"},
         {"OpenService():ER=5"}},
        {"change refused", "ChangeServiceConfig2", false,
         {"OpenSCManager(0x1)", "OpenService(VoltwardenBasicEdition,0x2)", "ChangeServiceConfig2(7)",
          "Close(service)", "Close(manager)"},
         {"ChangeServiceConfig2():ER=5"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.failCall = c.failCall;
        f.failError = ERROR_ACCESS_DENIED;
        f.Install();
        EXPECT_EQ(SetInstalledServicePreshutdownTimeout(), c.set);
        EXPECT_EQ(f.preshutdownTimeout, c.set ? 180000u : 0u);
        EXPECT_EQ(f.calls, c.calls);
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(LogTexts(), c.log);
    }
}

TEST_F(ServiceControlTest, InstallRegistersTheExeAsTheEventSourcesMessageFile) {
    const struct {
        const char* name;
        bool keyLeftBehind;
        std::string modulePath;
    } cases[] = {
        {"new key", false, kExePath},
        // A folder with a percent sign stays literal: the value is no REG_EXPAND_SZ.
        {"percent sign in the folder", false, "D:\\UPS 100%\\Voltwarden.exe"},
        // An older installation's key, pointing elsewhere, is overwritten.
        {"key left by an older installation", true, kExePath},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.modulePath = c.modulePath;
        if (c.keyLeftBehind) {
            f.keyExists = true;
            f.keyPath = EventSourceKeyPath();
            f.keyValues = ExpectedKeyValues("C:\\Old\\Voltwarden.exe");
            f.keyValues["TypesSupported"] = {REG_DWORD, std::string("\x01\x00\x00\x00", 4)};
        }
        f.Install();

        uint32_t error = 0;
        EXPECT_EQ(InstallService(error), 1);
        EXPECT_TRUE(f.keyExists);
        EXPECT_EQ(f.keyPath, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Voltwarden Basic Edition");
        EXPECT_EQ(f.keyAccess, static_cast<REGSAM>(KEY_SET_VALUE));
        EXPECT_EQ(f.keyValues, ExpectedKeyValues(c.modulePath));
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(LogTexts(), (Lines{"Install:OK"}));
    }
}

struct InstallSideFailureCase {
    const char* name;
    const char* failCall;
    int failOnCall;
    Lines expectedLog;
    bool expectRecovery;
    int expectedOnErrorStops;
    DWORD expectedPreshutdown;
    KeyValues expectedValues;
};

// The service works without its recovery, its preshutdown time and its message file, so
// their failures are logged and the installation still succeeds, with the code untouched.
TEST_F(ServiceControlTest, InstallLogsARefusedRecoveryOrMessageFileButStillSucceeds) {
    const KeyValues messageFileOnly = {{"EventMessageFile", {REG_SZ, kExePath + std::string(1, '\0')}}};
    const InstallSideFailureCase cases[] = {
        {"recovery refused", "ChangeServiceConfig2(2)", 1, {"ChangeServiceConfig2():ER=5", "Install:OK"}, false,
         -1, 180000, ExpectedKeyValues(kExePath)},
        {"recovery on error stops refused", "ChangeServiceConfig2(4)", 1,
         {"ChangeServiceConfig2():ER=5", "Install:OK"}, true, -1, 180000, ExpectedKeyValues(kExePath)},
        {"preshutdown time refused", "ChangeServiceConfig2(7)", 1, {"ChangeServiceConfig2():ER=5", "Install:OK"},
         true, TRUE, 0, ExpectedKeyValues(kExePath)},
        {"key refused", "RegCreateKeyEx", 1, {"RegCreateKeyEx():ER=5", "Install:OK"}, true, TRUE, 180000, {}},
        {"message file refused", "RegSetValueEx", 1, {"RegSetValueEx():ER=5", "Install:OK"}, true, TRUE, 180000, {}},
        {"types refused", "RegSetValueEx", 2, {"RegSetValueEx():ER=5", "Install:OK"}, true, TRUE, 180000,
         messageFileOnly},
    };
    for (const InstallSideFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.failCall = c.failCall;
        f.failError = ERROR_ACCESS_DENIED;
        f.failOnCall = c.failOnCall;
        f.Install();

        uint32_t error = 777;
        EXPECT_EQ(InstallService(error), 1);
        EXPECT_EQ(error, 777u);
        EXPECT_EQ(f.description, "VoltwardenBasicEdition");
        EXPECT_EQ(f.failureActionsSet, c.expectRecovery);
        EXPECT_EQ(f.failureActionsOnErrorStops, c.expectedOnErrorStops);
        EXPECT_EQ(f.preshutdownTimeout, c.expectedPreshutdown);
        EXPECT_EQ(f.keyValues, c.expectedValues);
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(LogTexts(), c.expectedLog);
    }
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
        // The service stays created without a description, and the result is 0; it still
        // gets its recovery and message file, which UNINSTALL removes with it.
        {"description refused", "ChangeServiceConfig2(1)", ERROR_ACCESS_DENIED, false,
         {"OpenSCManager(0x2)", "GetModuleFileName", "CreateService", "ChangeServiceConfig2(1)",
          "ChangeServiceConfig2(2)", "ChangeServiceConfig2(4)", "ChangeServiceConfig2(7)", "Close(service)",
          "Close(manager)", "RegCreateKeyEx(HKLM)",
          "RegSetValueEx(EventMessageFile)", "RegSetValueEx(TypesSupported)", "RegCloseKey"},
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
                                 "DeleteService", "RegDeleteKey(HKLM)", "Close(service)", "Close(manager)"}));
}

struct UninstallKeyCase {
    const char* name;
    std::vector<DWORD> states;
    bool keyPresent;
    const char* failCall;
    int32_t expectedResult;
    bool expectKeyDeleteTried;
    bool expectKeyLeft;
    Lines expectedLog;
};

// The key goes only with the service: a service that stays installed keeps its
// message file, and a key that cannot be removed does not fail the removal.
TEST_F(ServiceControlTest, UninstallRemovesTheEventSourceKeyAfterTheService) {
    const UninstallKeyCase cases[] = {
        {"key present", {kStopped}, true, "", 1, true, false, {"Uninstall:OK"}},
        {"no key from an older installation", {kStopped}, false, "", 1, true, false, {"Uninstall:OK"}},
        {"key removal refused", {kStopped}, true, "RegDeleteKey", 1, true, true,
         {"RegDeleteKey():ER=5", "Uninstall:OK"}},
        {"service removal refused", {kStopped}, true, "DeleteService", 0, false, true,
         {"DeleteService():ER=5", "Uninstall:NG"}},
        {"stop never comes", {kRunning, kStopPending}, true, "", 0, false, true, {}},
    };
    for (const UninstallKeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        FakeServiceManager f;
        f.states = c.states;
        f.failCall = c.failCall;
        f.failError = ERROR_ACCESS_DENIED;
        if (c.keyPresent) {
            f.keyExists = true;
            f.keyPath = EventSourceKeyPath();
            f.keyValues = ExpectedKeyValues(kExePath);
        }
        f.Install();

        uint32_t error = 777;
        EXPECT_EQ(ChangeServiceState(SERVICE_STOPPED, 1, error), c.expectedResult);
        EXPECT_EQ(error, c.expectedResult == 1 || c.failCall[0] == '\0' ? 777u : 5u);
        EXPECT_EQ(f.Count("RegDeleteKey(HKLM)") == 1, c.expectKeyDeleteTried);
        EXPECT_EQ(f.keyExists, c.expectKeyLeft);
        EXPECT_EQ(f.openHandles, 0);
        EXPECT_EQ(LogTexts(), c.expectedLog);
    }
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
