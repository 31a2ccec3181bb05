// The monitor's calls into the UPS maker's library, all made on the UPS link's thread
// (monitor/ups_link.h): dropping a device, connecting and the UPS output-off. The
// monitor's decisions call these and never the library itself.
#pragma once

#include <cstdint>

#include "common/win32.h"

// The Windows error numbers written as "UPSShutdown:ER=<n>": no UPS connected to take
// the output-off (ERROR_DEVICE_NOT_CONNECTED), and an output-off call that did not
// return within its time limit (ERROR_TIMEOUT).
constexpr uint32_t kNoUpsToSwitchOffError = 1167;
constexpr uint32_t kUpsCallTimedOutError = 1460;
// How long the output-off may take before the sequence goes on without it.
constexpr uint32_t kOutputOffLimitMs = 10000;

// Starts on the link: the drop of a device that has fallen silent or was reported
// lost (the handle is cleared before it is closed, so a record in flight never meets a
// closed handle), then a connect attempt as DEVICE says. False, and nothing started,
// while the link is busy: a call that still hangs is never joined by another.
bool StartUpsReconnect();

// Waits for the reconnection under way at most `limitMs`, ending early on a stop or a
// mains change reported by the UPS. True when the link is free again.
bool WaitForUpsReconnect(uint32_t limitMs);

// The UPS output-off with BACKUP_TIME. Returns when the UPS took or refused it, when no
// UPS is connected, or after kOutputOffLimitMs; every case but success leaves its
// "UPSShutdown:ER=" line.
void SwitchUpsOutputOff(int32_t backupTime);

// In place of the output-off for a UPS that another machine serves: ends this computer's
// login to that machine, so that it knows this computer is done (its own output-off waits
// for that). Bounded as the output-off; every case but success leaves a "UPSLogout:ER=" line.
void EndNetworkUpsLogin();

// Forgets the failure lines of earlier connect attempts, for tests.
void ResetUpsConnectionForTest();
