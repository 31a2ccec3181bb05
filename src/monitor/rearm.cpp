// Watching again after a wake or a power-off that did not happen.
#include "monitor/rearm.h"

#include "common/clock.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/battery_reports.h"
#include "monitor/wake_watch.h"

namespace {

enum class RearmCause { None, Wake, PowerOffCancelled };

RearmCause DueCause(MonitorState& state) {
    // Looked at on every pass, so that each wake is seen once and at once.
    if (NewWakeSeen(state) && (state.ShutdownSequenceStarted.load() == 0 || state.OsStepReached.load() == 1)) {
        return RearmCause::Wake;
    }
    // Once Windows has said that it is shutting down, a long shutdown (updates, a
    // database, virtual machines saving) is still one: never taken for a cancelled one.
    if (state.ShutdownStarted.load() == 1 && state.SystemShuttingDown.load() == 0) {
        const int64_t limit = static_cast<int64_t>(ProcessSettings().RearmTime) * kTicksPerSecond;
        if (UnbiasedNow() - state.OsRequestedAt.load() > limit) return RearmCause::PowerOffCancelled;
    }
    return RearmCause::None;
}

}  // namespace

bool RearmIfDue(MonitorState& state) {
    const RearmCause cause = DueCause(state);
    if (cause == RearmCause::None) return false;
    if (cause == RearmCause::PowerOffCancelled) {
        TraceLog(MessageText("OS_Shutdown_did_not_happen"));
        ReportWindowsEvent(kEventTypeWarning, kEventOsShutdownNotDone);
    } else {
        TraceLog(MessageText("Monitoring_again_after_wake"));
    }
    // The outage whose sequence had its command and output-off is still under way only
    // while mains is still off since then; a recovery reported meanwhile ended it.
    const bool afterSequence = state.ShutdownSequenceStarted.load() == 1;
    if (afterSequence) {
        const bool sameOutage =
            state.AcFail.load() == 1 && state.AcFailStart.load() == state.SequenceOutageStart.load();
        state.OutageStepsDone = sameOutage ? 1 : 0;
    } else if (state.AcFail.load() == 0) {
        state.OutageStepsDone = 0;
    }

    // What the UPS said before is history: its connection does not survive a sleep, and
    // nothing is decided until it says what holds now, connected again or not.
    state.Disconnected = 1;
    if (cause == RearmCause::Wake) {
        MarkMainsStateUnknownAfterWake(state);
    } else {
        MarkMainsStateUnknown(state);
    }
    // A failure that the sequence acted on gets a new countdown from the UPS's first
    // report; one that no sequence has acted on yet keeps its own.
    if (afterSequence) {
        state.AcFail = 0;
        state.AcFailStart = 0;
    }
    ForgetBatteryOnBattery(state);
    state.AwaitingStateSince = 0;
    state.AwaitingStateFor = 0;
    ForgetShutdownSequence(state);
    return true;
}

void NoteOutageEnded(MonitorState& state) {
    if (state.OutageStepsDone.load() == 0) return;
    const bool reported = state.DeviceHandle.load() != -1 && state.Disconnected.load() == 0 &&
                          state.InitialStatusPending.load() == 0;
    if (reported && state.AcFail.load() == 0) state.OutageStepsDone = 0;
}
