// The last step of the shutdown sequence: Windows is asked to power the computer off
// at once, applications closed without asking.
#pragma once

#include <cstdint>

#include "common/win32.h"

// Enables SeShutdownPrivilege for the process and calls InitiateSystemShutdownExA
// (local computer, no message, time-out 0, force applications closed, no restart,
// kShutdownReasonPowerFailure). Nonzero when Windows accepted the request. A
// request refused because another shutdown is scheduled or under way (1190, 1115)
// aborts that one (AbortSystemShutdownA, local computer) and is made once more at once.
// On failure an event-log line: "ShutdownAdjust():ER=<error>" when the privilege could
// not be enabled, "InitiateSystemShutdownEx():ER=<error>" when the request was refused,
// "AbortSystemShutdown():ER=<error>" when the other shutdown could not be aborted; a
// line the same as the last is written at most once an hour until a request succeeds.
int32_t ShutdownOperatingSystem();

// Enables SeShutdownPrivilege in the process's token through the active ShutdownApi,
// as both the power-off and the hibernation need it. False with the failing call's
// error in `error`.
bool EnableShutdownPrivilege(DWORD& error);

// Forgets the failure lines written so far, so that a test's first refusal is written.
void ResetShutdownFailureLogForTest();

// The system calls the shutdown goes through. Tests replace them, so that no test
// depends on what the machine would do.
struct ShutdownApi {
    BOOL(WINAPI* openProcessToken)(HANDLE process, DWORD access, PHANDLE token);
    BOOL(WINAPI* lookupPrivilegeValue)(LPCSTR systemName, LPCSTR name, PLUID luid);
    BOOL(WINAPI* adjustTokenPrivileges)(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                        PTOKEN_PRIVILEGES previousState, PDWORD returnLength);
    BOOL(WINAPI* initiateSystemShutdownEx)(LPSTR machineName, LPSTR message, DWORD timeout, BOOL forceAppsClosed,
                                           BOOL rebootAfterShutdown, DWORD reason);
    BOOL(WINAPI* closeHandle)(HANDLE handle);
    BOOL(WINAPI* abortSystemShutdown)(LPSTR machineName);
};

// The real calls of advapi32 and kernel32.
const ShutdownApi& SystemShutdownApi();

// Replaces the calls for tests; nullptr restores the real ones. `api` must outlive its use.
void SetShutdownApiForTest(const ShutdownApi* api);

// The reason code Windows records with the shutdown (event 1074): its own defined
// reason "Power Failure: Environment", major reason power, minor reason environment.
// Not flagged planned: Windows defines this pair as an unplanned shutdown only (a
// planned flag would leave the reason without a title in the System log), and nobody
// planned the outage.
constexpr DWORD kShutdownReasonPowerFailure = SHTDN_REASON_MAJOR_POWER | SHTDN_REASON_MINOR_ENVIRONMENT;
