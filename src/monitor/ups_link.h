// The one road into the UPS maker's library for the monitor: every call it makes
// (connect, model query, drop, output-off) runs on a thread of its own (the battery-level
// query on a lane of its own beside it), so that a
// call that never returns holds up only that thread, never the countdown's decision,
// the shutdown sequence or a stop of the service.
#pragma once

#include <cstdint>
#include <functional>

#include "common/win32.h"

enum class UpsLinkOutcome {
    Completed,  // the call ran and returned within the time allowed
    TimedOut,   // the time ran out: the call was never made, or it still runs
    GaveUp,     // `giveUpEvent` was signalled first: as TimedOut
};

// Runs `call` on the link's thread once the link is free, and waits for it at most
// `limitMs` in all (the wait for an earlier call to end counts too) or until
// `giveUpEvent` (when given) is signalled. A call that has not begun when the wait
// ends is withdrawn and never made; one that has begun runs on, and the link stays
// busy until it returns. `call` must own what it uses: it may outlive the caller.
UpsLinkOutcome RunOnUpsLink(std::function<void()> call, uint32_t limitMs, HANDLE giveUpEvent = nullptr);

// Hands `call` to the link when the link is free and returns at once: true when it
// was taken. The caller may then wait for it with WaitForUpsLink.
bool StartOnUpsLink(std::function<void()> call);

// Waits until the link has no call running or waiting, `limitMs` have passed or one of
// `wakeEvents` (null entries are passed over) is signalled. True when the link is free.
bool WaitForUpsLink(uint32_t limitMs, HANDLE wakeEvent1 = nullptr, HANDLE wakeEvent2 = nullptr);

// True while a call is running or waiting on the link.
bool UpsLinkBusy();
// True while a call has been running for more than 5 s: the library may hang.
bool UpsLinkStalled();

// The battery lane: a second thread with the same one-call queue, for the battery-level
// query alone, so that the charge is asked even while a call on the link hangs, and a
// query that hangs holds up nothing but later queries. At most one query is in the
// library at a time: while one runs, StartOnBatteryLane takes no other (false).
bool StartOnBatteryLane(std::function<void()> call);
// Waits at most `limitMs` until no query runs. True when the lane is free.
bool WaitForBatteryLane(uint32_t limitMs);
bool BatteryLaneBusy();
