// A UPS that another machine serves over the network UPS protocol, presented to the
// monitor through the same table of entry points as the maker's library: OpenCOM takes
// the DEVICE form <upsname>@<host>[:<port>], a poller thread per connection reads the
// UPS's status once a second and reports codes 1 to 5, the readings record and the
// forced shutdown through the event callback. One followed UPS at a time; every entry
// point is thread-safe and returns within its time limit whatever the server does.
#pragma once

#include <cstdint>
#include <string>

#include "network_ups/network_ups_connection.h"
#include "ups/ups_library.h"

// The status is read this often, and a readings record sent after each reading; the
// measurement variables are read after the status (LIST VAR, else one GET VAR at a time)
// with the first poll, after every change between OB and OL, and at least this often in
// between.
constexpr uint32_t kNetworkUpsPollIntervalMs = 1000;
constexpr int64_t kNetworkUpsReadingsIntervalSeconds = 5;
// How long a stop (CloseCOM, FinishNervaUPSLib) waits for the poller to end: its
// exchange is cut at once.
constexpr uint32_t kNetworkUpsStopWaitMs = 1000;
// How long Shutdown may take to end the login: an exchange in flight finishes, then the
// LOGOUT is answered, all within this; below the monitor's bound for the call.
constexpr uint32_t kNetworkUpsLogoutLimitMs = 9000;

// Empties `table` and fills the entry points the monitor calls: InitNervaUPSLib,
// FinishNervaUPSLib, GetUPSList and GetCOMList (no devices), FreeCOMList, OpenCOM,
// StartEventThreadForCOM, CloseCOM, GetModelName, GetCurrentBatteryLevel and Shutdown
// (which ends the login instead of switching an output off). Always 1; `error` is untouched.
int32_t LoadNetworkUpsLibrary(UpsLibrary& table, uint32_t& error);

// The user and password of the following OpenCOM calls. With a user, OpenCOM logs in so
// that the serving machine counts this computer and waits for it before it cuts the
// power; a refused login is written and reported, and the UPS is watched read-only. An
// empty user: read-only, no login.
void SetNetworkUpsCredentials(const std::string& user, const std::string& password);

// Tests: other time limits for the connections opened from now on
// (NetworkUpsLimits() restores the real ones).
void SetNetworkUpsLimitsForTest(const NetworkUpsLimits& limits);
// Tests: forgets the failure lines written so far, so that a test's first one is written.
void ResetNetworkUpsLibraryForTest();
