// The operating-system shutdown through its seam: which calls it makes, with which
// arguments, and what it logs when a step is refused. No test touches the real machine.
#include "monitor/os_shutdown.h"
#include "monitor/os_hibernate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/event_log.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

HANDLE const kFakeToken = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x4711));
constexpr DWORD kShutdownLuid = 19;

// What the fake system calls answer, and what they were asked.
struct FakeSystem {
    BOOL openResult = TRUE;
    DWORD openError = 0;
    BOOL lookupResult = TRUE;
    DWORD lookupError = 0;
    BOOL adjustResult = TRUE;
    DWORD adjustError = 0;  // also set when it "succeeds", as ERROR_NOT_ALL_ASSIGNED is
    BOOL shutdownResult = TRUE;
    DWORD shutdownError = 0;
    int shutdownRefusals = -1;  // >= 0: so many requests are refused, then they are accepted
    BOOL abortResult = TRUE;
    DWORD abortError = 0;
    bool abortMachineNull = false;

    std::vector<std::string> calls;
    HANDLE openProcess = nullptr;
    DWORD openAccess = 0;
    bool lookupSystemNameNull = false;
    std::string lookupName;
    HANDLE adjustToken = nullptr;
    BOOL adjustDisableAll = TRUE;
    TOKEN_PRIVILEGES adjustState = {};
    DWORD adjustBufferLength = 99;
    bool adjustPreviousNull = false;
    bool adjustReturnLengthNull = false;
    bool shutdownMachineNull = false;
    bool shutdownMessageNull = false;
    DWORD shutdownTimeout = 99;
    BOOL shutdownForce = FALSE;
    BOOL shutdownReboot = TRUE;
    DWORD shutdownReason = 0;
    int tokenCloses = 0;
};

FakeSystem* fake = nullptr;

BOOL WINAPI FakeOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    fake->calls.push_back("OpenProcessToken");
    fake->openProcess = process;
    fake->openAccess = access;
    if (!fake->openResult) {
        SetLastError(fake->openError);
        return FALSE;
    }
    *token = kFakeToken;
    return TRUE;
}

BOOL WINAPI FakeLookupPrivilegeValue(LPCSTR systemName, LPCSTR name, PLUID luid) {
    fake->calls.push_back("LookupPrivilegeValueA");
    fake->lookupSystemNameNull = systemName == nullptr;
    fake->lookupName = name != nullptr ? name : "(null)";
    if (!fake->lookupResult) {
        SetLastError(fake->lookupError);
        return FALSE;
    }
    luid->LowPart = kShutdownLuid;
    luid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI FakeAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                      PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    fake->calls.push_back("AdjustTokenPrivileges");
    fake->adjustToken = token;
    fake->adjustDisableAll = disableAll;
    if (newState != nullptr) fake->adjustState = *newState;
    fake->adjustBufferLength = bufferLength;
    fake->adjustPreviousNull = previousState == nullptr;
    fake->adjustReturnLengthNull = returnLength == nullptr;
    SetLastError(fake->adjustError);
    return fake->adjustResult;
}

BOOL WINAPI FakeInitiateSystemShutdownEx(LPSTR machineName, LPSTR message, DWORD timeout, BOOL forceAppsClosed,
                                         BOOL rebootAfterShutdown, DWORD reason) {
    fake->calls.push_back("InitiateSystemShutdownExA");
    fake->shutdownMachineNull = machineName == nullptr;
    fake->shutdownMessageNull = message == nullptr;
    fake->shutdownTimeout = timeout;
    fake->shutdownForce = forceAppsClosed;
    fake->shutdownReboot = rebootAfterShutdown;
    fake->shutdownReason = reason;
    if (fake->shutdownRefusals >= 0) {
        if (fake->shutdownRefusals == 0) return TRUE;
        --fake->shutdownRefusals;
        SetLastError(fake->shutdownError);
        return FALSE;
    }
    if (!fake->shutdownResult) {
        SetLastError(fake->shutdownError);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
    fake->calls.push_back("CloseHandle");
    if (handle == kFakeToken) ++fake->tokenCloses;
    return TRUE;
}

BOOL WINAPI FakeAbortSystemShutdown(LPSTR machineName) {
    fake->calls.push_back("AbortSystemShutdownA");
    fake->abortMachineNull = machineName == nullptr;
    SetLastError(fake->abortError);
    return fake->abortResult;
}

const ShutdownApi kFakeApi = {&FakeOpenProcessToken,         &FakeLookupPrivilegeValue, &FakeAdjustTokenPrivileges,
                              &FakeInitiateSystemShutdownEx, &FakeCloseHandle,          &FakeAbortSystemShutdown};


class ShutdownTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenEventLogFile());
        fake = &system_;
        SetShutdownApiForTest(&kFakeApi);
        ResetShutdownFailureLogForTest();
    }
    void TearDown() override {
        SetShutdownApiForTest(nullptr);
        fake = nullptr;
        CloseEventLogFileForTest();
    }

    // One case of a table: an empty event log, a fresh fake system, no failure written yet.
    void StartCase() {
        ResetShutdownFailureLogForTest();
        CloseEventLogFileForTest();
        DeleteFileA(scratch_.File("EventLog\\EventLog.csv").c_str());
        ASSERT_TRUE(OpenEventLogFile());
        system_ = FakeSystem();
    }

    ScratchDirectory scratch_;
    FakeSystem system_;
};

TEST_F(ShutdownTest, AcceptedRequestPassesTheExactArguments) {
    EXPECT_NE(ShutdownOperatingSystem(), 0);

    EXPECT_EQ(system_.openProcess, GetCurrentProcess());
    EXPECT_EQ(system_.openAccess, 0x28u);
    EXPECT_TRUE(system_.lookupSystemNameNull);
    EXPECT_EQ(system_.lookupName, "SeShutdownPrivilege");
    EXPECT_EQ(system_.adjustToken, kFakeToken);
    EXPECT_EQ(system_.adjustDisableAll, FALSE);
    EXPECT_EQ(system_.adjustState.PrivilegeCount, 1u);
    EXPECT_EQ(system_.adjustState.Privileges[0].Luid.LowPart, kShutdownLuid);
    EXPECT_EQ(system_.adjustState.Privileges[0].Luid.HighPart, 0);
    EXPECT_EQ(system_.adjustState.Privileges[0].Attributes, 2u);
    EXPECT_EQ(system_.adjustBufferLength, 0u);
    EXPECT_TRUE(system_.adjustPreviousNull);
    EXPECT_TRUE(system_.adjustReturnLengthNull);
    EXPECT_TRUE(system_.shutdownMachineNull);
    EXPECT_TRUE(system_.shutdownMessageNull);
    EXPECT_EQ(system_.shutdownTimeout, 0u);
    EXPECT_EQ(system_.shutdownForce, TRUE);
    EXPECT_EQ(system_.shutdownReboot, FALSE);
    // Power failure (major 6) and environment (minor 12), unplanned: Windows' own "Power
    // Failure: Environment".
    EXPECT_EQ(system_.shutdownReason, 0x0006000Cu);
    EXPECT_EQ(system_.tokenCloses, 1);
    EXPECT_TRUE(EventLogTexts(scratch_).empty());
}

TEST_F(ShutdownTest, EachRefusedStepIsLoggedWithItsErrorAndTheTokenClosed) {
    enum Step { kOpen, kLookup, kAdjust, kShutdown, kNone };
    const struct {
        const char* name;
        Step failing;
        DWORD error;
        const char* expectedLine;
        std::vector<std::string> expectedCalls;
    } cases[] = {
        {"token not opened", kOpen, 5, "ShutdownAdjust():ER=5", {"OpenProcessToken"}},
        {"privilege unknown", kLookup, 1313, "ShutdownAdjust():ER=1313",
         {"OpenProcessToken", "LookupPrivilegeValueA", "CloseHandle"}},
        {"privilege not enabled", kAdjust, 6, "ShutdownAdjust():ER=6",
         {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle"}},
        {"error above 2^31", kAdjust, 0xC0000022, "ShutdownAdjust():ER=3221225506",
         {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle"}},
        {"account without the privilege", kShutdown, ERROR_PRIVILEGE_NOT_HELD, "InitiateSystemShutdownEx():ER=1314",
         {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle",
          "InitiateSystemShutdownExA"}},
        {"shutdown in progress and still after the abort", kShutdown, ERROR_SHUTDOWN_IN_PROGRESS,
         "InitiateSystemShutdownEx():ER=1115",
         {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges", "CloseHandle",
          "InitiateSystemShutdownExA", "AbortSystemShutdownA", "InitiateSystemShutdownExA"}},
    };
    for (const auto& c : cases) {
        StartCase();
        system_.openResult = c.failing != kOpen;
        system_.openError = c.error;
        system_.lookupResult = c.failing != kLookup;
        system_.lookupError = c.error;
        system_.adjustResult = c.failing != kAdjust;
        system_.adjustError = c.error;
        system_.shutdownResult = c.failing != kShutdown;
        system_.shutdownError = c.error;
        if (c.failing == kShutdown) system_.adjustError = ERROR_NOT_ALL_ASSIGNED;

        EXPECT_EQ(ShutdownOperatingSystem(), 0) << c.name;
        EXPECT_EQ(system_.calls, c.expectedCalls) << c.name;
        EXPECT_EQ(system_.tokenCloses, c.failing == kOpen ? 0 : 1) << c.name;
        EXPECT_EQ(EventLogTexts(scratch_), std::vector<std::string>{c.expectedLine}) << c.name;
    }
}

// Another shutdown or restart that is scheduled (1190) or under way (1115) is aborted
// and ours asked for again at once; any other refusal is left for the next pass.
TEST_F(ShutdownTest, AScheduledShutdownIsAbortedAndOursTakesItsPlace) {
    const struct {
        const char* name;
        DWORD refusal;
        BOOL abortResult;
        int32_t expectedResult;
        std::vector<std::string> expectedShutdownCalls;
        std::vector<std::string> expectedLines;
    } cases[] = {
        {"restart scheduled", 1190, TRUE, 1,
         {"InitiateSystemShutdownExA", "AbortSystemShutdownA", "InitiateSystemShutdownExA"},
         {"InitiateSystemShutdownEx():ER=1190"}},
        {"shutdown under way", ERROR_SHUTDOWN_IN_PROGRESS, TRUE, 1,
         {"InitiateSystemShutdownExA", "AbortSystemShutdownA", "InitiateSystemShutdownExA"},
         {"InitiateSystemShutdownEx():ER=1115"}},
        {"abort refused", 1190, FALSE, 0, {"InitiateSystemShutdownExA", "AbortSystemShutdownA"},
         {"InitiateSystemShutdownEx():ER=1190", "AbortSystemShutdown():ER=5"}},
        {"access denied: nothing to abort", ERROR_ACCESS_DENIED, TRUE, 0, {"InitiateSystemShutdownExA"},
         {"InitiateSystemShutdownEx():ER=5"}},
    };
    for (const auto& c : cases) {
        StartCase();
        system_.shutdownRefusals = 1;
        system_.shutdownError = c.refusal;
        system_.abortResult = c.abortResult;
        system_.abortError = c.abortResult ? 0 : ERROR_ACCESS_DENIED;

        EXPECT_EQ(ShutdownOperatingSystem(), c.expectedResult) << c.name;
        std::vector<std::string> shutdownCalls;
        for (const std::string& call : system_.calls) {
            if (call == "InitiateSystemShutdownExA" || call == "AbortSystemShutdownA") shutdownCalls.push_back(call);
        }
        EXPECT_EQ(shutdownCalls, c.expectedShutdownCalls) << c.name;
        if (c.expectedShutdownCalls.size() > 1) {
            EXPECT_TRUE(system_.abortMachineNull) << c.name;
        }
        EXPECT_EQ(EventLogTexts(scratch_), c.expectedLines) << c.name;
    }
}

// A refusal that repeats on every pass is written once, then at most once an hour; a
// new refusal is written at once.
TEST_F(ShutdownTest, ARepeatedRefusalIsWrittenOnce) {
    system_.shutdownResult = FALSE;
    system_.shutdownError = ERROR_ACCESS_DENIED;
    for (int pass = 0; pass < 5; ++pass) EXPECT_EQ(ShutdownOperatingSystem(), 0);
    system_.shutdownError = ERROR_PRIVILEGE_NOT_HELD;
    EXPECT_EQ(ShutdownOperatingSystem(), 0);
    EXPECT_EQ(EventLogTexts(scratch_),
              (std::vector<std::string>{"InitiateSystemShutdownEx():ER=5", "InitiateSystemShutdownEx():ER=1314"}));
}

// The real table, tried with the calls that change nothing: the shutdown privilege
// has the well-known LUID 19 on every Windows.
TEST(ShutdownApi, SystemCallsReachTheSystem) {
    const ShutdownApi& api = SystemShutdownApi();
    HANDLE token = nullptr;
    ASSERT_TRUE(api.openProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_NE(token, nullptr);
    LUID luid = {};
    EXPECT_TRUE(api.lookupPrivilegeValue(nullptr, "SeShutdownPrivilege", &luid));
    EXPECT_EQ(luid.LowPart, 19u);
    EXPECT_EQ(luid.HighPart, 0);
    EXPECT_TRUE(api.closeHandle(token));
    EXPECT_NE(api.abortSystemShutdown, nullptr);
}

// --- The hibernation, which shares the privilege step ---

struct FakePowrprof {
    BOOLEAN allowed = TRUE;
    BOOLEAN accepted = TRUE;
    DWORD refusal = 0;
    std::vector<std::string> calls;
};
FakePowrprof* powrprof = nullptr;

BOOLEAN WINAPI FakeIsPwrHibernateAllowed() {
    powrprof->calls.push_back("IsPwrHibernateAllowed");
    return powrprof->allowed;
}

BOOLEAN WINAPI FakeSetSuspendState(BOOLEAN hibernate, BOOLEAN forceCritical, BOOLEAN disableWakeEvent) {
    powrprof->calls.push_back("SetSuspendState(" + std::to_string(hibernate) + "," + std::to_string(forceCritical) +
                              "," + std::to_string(disableWakeEvent) + ")");
    if (!powrprof->accepted) SetLastError(powrprof->refusal);
    return powrprof->accepted;
}

// What the monitor writes before the request, which returns only after the wake.
void RecordAnnouncement() { powrprof->calls.push_back("announce"); }

struct HibernateCase {
    const char* name;
    bool privilegeFails;
    bool entryMissing;
    BOOLEAN allowed;
    BOOLEAN accepted;
    int32_t result;
    std::vector<std::string> calls;
    std::vector<std::string> lines;
};

TEST_F(ShutdownTest, HibernationIsAskedForOnlyWhenAllowedAndEveryRefusalSaysWhy) {
    // Hibernate, no forced suspension, wake events disabled (bHibernate, bForce,
    // bWakeupEventsDisabled): no wake timer cuts the hibernation short.
    const std::string request = "SetSuspendState(1,0,1)";
    const HibernateCase cases[] = {
        {"accepted", false, false, TRUE, TRUE, 1, {"IsPwrHibernateAllowed", "announce", request}, {}},
        {"switched off", false, false, FALSE, TRUE, 0, {"IsPwrHibernateAllowed"}, {"Hibernate:Disabled"}},
        {"refused", false, false, TRUE, FALSE, 0, {"IsPwrHibernateAllowed", "announce", request},
         {"SetSuspendState():ER=5"}},
        {"entry point missing", false, true, TRUE, TRUE, 0, {}, {"LoadLibrary():ER=127"}},
        {"privilege not enabled", true, false, TRUE, TRUE, 0, {}, {"ShutdownAdjust():ER=1300"}},
    };
    for (const HibernateCase& c : cases) {
        SCOPED_TRACE(c.name);
        StartCase();
        system_.adjustResult = c.privilegeFails ? FALSE : TRUE;
        system_.adjustError = ERROR_NOT_ALL_ASSIGNED;
        FakePowrprof fakePowrprof;
        fakePowrprof.allowed = c.allowed;
        fakePowrprof.accepted = c.accepted;
        fakePowrprof.refusal = ERROR_ACCESS_DENIED;
        powrprof = &fakePowrprof;
        const HibernateApi api = {&FakeIsPwrHibernateAllowed, c.entryMissing ? nullptr : &FakeSetSuspendState};
        SetHibernateApiForTest(&api);
        EXPECT_EQ(HibernateOperatingSystem(&RecordAnnouncement), c.result);
        SetHibernateApiForTest(nullptr);
        powrprof = nullptr;
        EXPECT_EQ(fakePowrprof.calls, c.calls);
        EXPECT_EQ(EventLogTexts(scratch_), c.lines);
        EXPECT_EQ(system_.tokenCloses, 1) << "the token is closed on every road";
        EXPECT_TRUE(std::find(system_.calls.begin(), system_.calls.end(), "InitiateSystemShutdownExA") ==
                    system_.calls.end())
            << "the hibernation never asks for the power-off itself";
    }
}

}  // namespace
