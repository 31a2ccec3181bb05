// Noticing a wake once, by the clocks or by the service's notifications.
#include "monitor/wake_watch.h"

#include "monitor/monitor_signals.h"

namespace {

// True when the clocks have parted by more than kSleepNoticeTicks since the last look;
// the first look only takes note.
bool ClocksShowASleep(MonitorState& state) {
    const int64_t asleep = MonotonicNow() - UnbiasedNow();
    const int64_t seen = state.AsleepTicksSeen.exchange(asleep);
    return seen != INT64_MIN && asleep - seen > kSleepNoticeTicks;
}

}  // namespace

void NoteSuspendReported(MonitorState& state) { state.SuspendReported = 1; }

void NoteResumeReported(MonitorState& state) {
    state.ResumeReported = 1;
    // The pass that acts on it follows at once rather than at the next tick.
    MonitorSignalMainsChange();
}

bool NewWakeSeen(MonitorState& state) {
    const bool slept = ClocksShowASleep(state);
    const bool suspended = state.SuspendReported.exchange(0) == 1;
    const bool resumed = state.ResumeReported.exchange(0) == 1;
    if (slept || suspended) state.WakeActedOn = 0;
    if (!slept && !resumed) return false;
    return state.WakeActedOn.exchange(1) == 0;
}

void ForgetWakesBeforeNow(MonitorState& state) {
    ClocksShowASleep(state);
    state.ResumeReported = 0;
    state.SuspendReported = 0;
    state.WakeActedOn = 0;
}
