// The request to Windows at the end of the shutdown sequence.
#include "monitor/os_step.h"

#include "common/clock.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_thread.h"
#include "monitor/wake_watch.h"
#include "notify/notifier.h"

namespace {

// Written before the hibernation is asked for: on Windows the request returns only
// after the wake, and whatever comes after it would carry the time of the wake.
void AnnounceHibernation() {
    TraceLog(MessageText("OS_Hibernate_is_started"));
    ReportWindowsEvent(kEventTypeWarning, kEventOsShutdown);
}

// The hibernation is given up: the line says why, and the power-off follows.
void GiveUpHibernation(MonitorState& state) {
    state.HibernateUnderWay = 0;
    state.HibernateFailed = 1;
    TraceLog(MessageText("Hibernation_did_not_happen"));
}

// 1 while the hibernation is accepted and within its limit; 0 once it has been given up.
int32_t HibernateStep(MonitorState& state, const MonitorSeams& seams) {
    if (state.HibernateUnderWay.load() == 1) {
        if (UnbiasedNow() - state.OsRequestedAt.load() <= kHibernateLimitTicks) return 1;
        TraceLog("Hibernate:Timeout");
        GiveUpHibernation(state);
        return 0;
    }
    if (seams.HibernateOperatingSystem == nullptr || seams.HibernateOperatingSystem(&AnnounceHibernation) == 0) {
        GiveUpHibernation(state);
        return 0;
    }
    // Counted from the call's return: where the call returns only after the wake, the
    // limit leaves the resume notification its whole minute.
    state.OsRequestedAt = UnbiasedNow();
    state.HibernateUnderWay = 1;
    return 1;
}

// Windows told the service that it is shutting down (MonitorNoteSystemShutdown), and no
// power-off of ours is under way: somebody else's shutdown began, or it overtook our
// hibernation, and it cannot be cancelled any more. A request now would only be refused
// (1115) and reported as a refusal. Marked as started, so that no later pass asks.
int32_t LeaveItToTheShutdownUnderWay(MonitorState& state) {
    TraceLog("OSShutdown:UnderWay");
    state.ShutdownStarted = 1;
    return 1;
}

}  // namespace

int32_t RunOsStep(MonitorState& state, const MonitorSeams& seams) {
    if (state.OsStepReached.load() == 0) {
        // A wake before this point came while the sequence was running: it changes
        // nothing. One from now on may be the wake after our own hibernation.
        ForgetWakesBeforeNow(state);
        state.OsStepReached = 1;
    }
    if (state.SystemShuttingDown.load() == 1) return LeaveItToTheShutdownUnderWay(state);
    // Once asked for, the hibernation is followed up whatever OS_SHUTDOWN says meanwhile.
    const bool hibernate = state.HibernateUnderWay.load() == 1 ||
                           (state.HibernateFailed.load() == 0 && HibernateAtShutdown(ProcessSettings()));
    if (hibernate && HibernateStep(state, seams) == 1) return 1;

    if (seams.ShutdownOperatingSystem() == 0) {
        Notify(NotifyEvent::ShutdownFailed, MessageText("OS_shutdown_refused"), state.ChargeOnBattery.load());
        return 0;
    }
    state.OsRequestedAt = UnbiasedNow();
    state.ShutdownStarted = 1;
    TraceLog(MessageText("OS_Shutdown_is_started"));
    ReportWindowsEvent(kEventTypeWarning, kEventOsShutdown);
    return 1;
}

void MonitorNoteSystemShutdown() { TheMonitorState().SystemShuttingDown = 1; }
