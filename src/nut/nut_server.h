// The read-only network UPS protocol server: a thread of its own that listens on the
// NUT_LISTEN addresses and answers clients, so that other machines fed by the same
// UPS learn of a power failure and of our shutdown. It only reads the monitor's
// state and never holds up the monitor.
#pragma once

#include <cstdint>

#include "common/clock.h"
#include "common/win32.h"
#include "nut/nut_config.h"

// What one client may hold, so that a slow, silent or hostile client costs a bounded
// amount of memory and never holds the server.
struct NutServerLimits {
    size_t MaxLineBytes = 512;         // a longer line is refused and the connection closed
    // When every slot is taken, a new connection takes the slot of the longest-silent
    // client that has not proved itself (logged in: the right user and password, then
    // LOGIN); when all have, it is closed at once.
    size_t MaxConnections = 32;
    // Clients from one address that have not proved themselves; one more replaces that
    // address's longest-silent one.
    size_t MaxUnprovedPerAddress = 8;
    // After a wrong user and password (judged when the second of USERNAME and PASSWORD
    // comes, LOGIN or not), the address's next pair, right or wrong, is judged and
    // answered no sooner than this after it: one guess a second per address, however
    // many connections it opens.
    int64_t RefusalSpacingTicks = kTicksPerSecond;
    size_t MaxPendingOutput = 16384;   // answers are not worked out while this much waits to be sent
    // A client silent this long is closed. Long enough for a client that keeps one
    // connection and asks once a minute (a home-automation poller, say).
    int64_t IdleTicks = 300 * kTicksPerSecond;
    // An address that cannot be bound (not up yet at boot, a port still taken) is tried
    // again this often.
    int64_t BindRetryTicks = 30 * kTicksPerSecond;
};

// Binds every endpoint it can and starts the thread, which tries the others again
// every BindRetryTicks until they can be bound (a failure is written to the event log
// with its Winsock error, the same line at most once an hour). False when no endpoint
// is configured or the thread cannot start; the service goes on monitoring either way.
bool StartNutServer(const NutServerConfig& config, const NutServerLimits& limits = NutServerLimits());

// The service's start: reads Setting.ini into a record of its own (the monitor thread
// rewrites the process's record meanwhile) and starts the server when NUT_LISTEN is set.
void StartNutServerFromSettingsFile();

// Ends the thread and closes every socket; does nothing when the server is not running.
void StopNutServer();

bool NutServerRunning();

// Forgets the failed-login line written so far, so that a test's first refusal is written.
void ResetNutServerForTest();

// How many rounds the server thread's loop has made since the process started (each
// round is one select() and the work after it), for the tests that the thread sleeps.
uint64_t NutServerRoundsForTest();

// Clients logged in now (LOGIN accepted, connection still open).
int32_t NutLoggedInClients();

// Waits until no client is logged in, the MonotonicNow() `deadlineMonotonicTicks` has
// come or `wakeEvent` (may be null) is signalled. Returns the clients still logged in.
// With the server running it writes "NutClients:LoggedIn=<n>" to the event log; with
// the server off it returns 0 at once and writes nothing.
int32_t NutWaitForClientsToLogOut(int64_t deadlineMonotonicTicks, HANDLE wakeEvent);
