// The last step of the shutdown sequence when OS_SHUTDOWN is "hibernate": Windows is
// asked to write memory to disk and switch off, so the user's session comes back.
#pragma once

#include <cstdint>

#include "common/win32.h"

// Enables SeShutdownPrivilege, makes sure hibernation is allowed (IsPwrHibernateAllowed),
// calls `beforeRequest` and then SetSuspendState(hibernate, no forced suspension, wake
// events disabled: no wake timer of an update or of maintenance may start the computer
// while the UPS counts down to its output-off). On Windows that call returns only after
// the wake, so whatever must be on record before the computer goes down is written by
// `beforeRequest` (null: nothing). Both calls come from powrprof.dll, loaded at the call,
// so the exe links no more system libraries than it did. Nonzero when Windows accepted
// the request. On failure one event-log line says why: "ShutdownAdjust():ER=<error>",
// "LoadLibrary():ER=<error>" (powrprof.dll or one of its entry points missing),
// "Hibernate:Disabled" (switched off, `powercfg /h off`), or, after `beforeRequest`,
// "SetSuspendState():ER=<error>".
int32_t HibernateOperatingSystem(void (*beforeRequest)());

// The powrprof.dll entry points the hibernation goes through; tests replace them. A
// missing entry (nullptr) stands for a powrprof.dll without it.
struct HibernateApi {
    BOOLEAN(WINAPI* isPwrHibernateAllowed)();
    BOOLEAN(WINAPI* setSuspendState)(BOOLEAN hibernate, BOOLEAN forceCritical, BOOLEAN disableWakeEvent);
};

// Replaces the entry points for tests; nullptr loads the real ones again at each call.
void SetHibernateApiForTest(const HibernateApi* api);
