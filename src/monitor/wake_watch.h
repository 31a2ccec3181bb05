// Whether the computer has slept and woken since the monitor last looked. A wake shows
// in two ways: the monotonic clock ran on while the unbiased one stood still (seen by
// the first pass after it, whether or not Windows has told the service yet), and the
// service's resume notification, which comes when the service manager gets to it and,
// for one wake, may come twice (PBT_APMRESUMEAUTOMATIC, then PBT_APMRESUMESUSPEND).
// Each wake is acted on once, by whichever sign comes first.
#pragma once

#include <cstdint>

#include "common/clock.h"
#include "monitor/monitor_state.h"

// How far the two clocks must part between two passes to count as a sleep: far more
// than the two counters ever differ while awake, far less than any sleep lasts. A
// shorter sleep is left to the resume notification; nothing is measured across it.
constexpr int64_t kSleepNoticeTicks = 5 * kTicksPerSecond;

// The service's power notifications (any thread). A suspend makes the next resume
// notification a wake of its own, even when the clocks do not show it.
void NoteSuspendReported(MonitorState& state);
void NoteResumeReported(MonitorState& state);

// Once a pass, first thing: true when the computer has woken since the last pass and
// that wake has not been acted on yet. A resume notification for a wake already acted
// on is dropped.
bool NewWakeSeen(MonitorState& state);

// The sequence comes to its request to Windows: whatever woke the computer before is
// part of the sequence, which goes on (it never re-arms for it); the next wake, the
// one after the sequence's own hibernation, is a new one.
void ForgetWakesBeforeNow(MonitorState& state);
