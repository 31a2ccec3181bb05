// One pass of the monitor, once a second: notices a silent UPS, starts a reconnection
// when no UPS is connected, and runs the shutdown sequence once mains power has failed
// for longer than WAIT_TIME. The pass never calls the UPS library itself: the calls
// run on the UPS link's thread (monitor/ups_connection.h), so one that hangs never
// holds up the decision. Every elapsed time is time the computer was awake
// (UnbiasedNow): a sleep neither runs a countdown out nor makes the UPS look silent.
#include <string>

#include "common/clock.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/battery_level_query.h"
#include "monitor/battery_trigger.h"
#include "monitor/charge_rule_watch.h"
#include "monitor/connection_cycle_log.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_signals.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_thread.h"
#include "monitor/rearm.h"
#include "monitor/shutdown_sequence.h"
#include "monitor/stay_awake.h"
#include "monitor/ups_connection.h"
#include "monitor/ups_data_freshness.h"
#include "monitor/wake_watch.h"
#include "notify/notifier.h"

namespace {

constexpr uint32_t kPassIntervalMs = 1000;
// How long a pass waits for a reconnection it started (a working library needs about
// a second); a call that takes longer goes on alone, and later passes start no other.
constexpr uint32_t kReconnectWaitMs = 5000;

bool UpsConnected(const MonitorState& state) {
    return state.DeviceHandle.load() != -1 && state.Disconnected.load() == 0;
}

// The first moment at which more than WAIT_TIME has passed since the failure.
int64_t CountdownDeadline(const MonitorState& state, int32_t waitTime) {
    return state.AcFailStart.load() + static_cast<int64_t>(waitTime) * kTicksPerSecond + 1;
}

// `longestMs`, or less when a running countdown's deadline comes sooner (rounded up,
// so the wait ends at or just after it); `longestMs` once it has passed.
uint32_t MsUntilDeadlineAtMost(const MonitorState& state, uint32_t longestMs) {
    if (state.AcFail.load() == 0) return longestMs;
    const int64_t remaining = CountdownDeadline(state, ProcessSettings().WaitTime) - UnbiasedNow();
    const int64_t ticksPerMs = kTicksPerSecond / 1000;
    if (remaining <= 0 || remaining >= static_cast<int64_t>(longestMs) * ticksPerMs) return longestMs;
    return static_cast<uint32_t>((remaining + ticksPerMs - 1) / ticksPerMs);
}

// An expired countdown runs the sequence on the last state the UPS reported, unless a
// reconnected UPS may yet say what holds now (mains may have come back while it was
// away): its first record (or mains report) is waited for, within the UPS's silence
// limit counted from the first pass that had to wait. With no UPS connected there is
// nobody to wait for, except after a wake: the UPS that the sleep cut off is waited for
// all the same. A UPS that reconnects, says nothing and is dropped again does not
// restart the grace.
bool MayDecideOnLastKnownState(MonitorState& state, int64_t now) {
    const bool nobodyToWaitFor = !UpsConnected(state) && state.UnheardSinceWake.load() == 0;
    if (nobodyToWaitFor || state.MainsStateKnown.load() == 1) {
        state.AwaitingStateSince = 0;
        return true;
    }
    const int64_t countdown = state.AcFailStart.load();
    if (state.AwaitingStateSince.load() == 0 || state.AwaitingStateFor.load() != countdown) {
        state.AwaitingStateSince = now;
        state.AwaitingStateFor = countdown;
    }
    return now - state.AwaitingStateSince.load() > UpsSilenceLimitTicks(state);
}

// The sequence starts at once when the machine that serves the UPS says FSD. On battery
// power it starts now when the battery says so (a low-battery
// report, a charge at SHUTDOWN_CHARGE or below; `reasonLine` then says which), or when
// mains has failed for more than WAIT_TIME and the last known state may be acted on.
// The battery is heard only while the mains state is known: after a reconnection its
// reports wait for the UPS to say what holds now (monitor/battery_reports.h), and so
// does this rule. The settings are re-read from Setting.ini on every look.
bool SequenceDue(MonitorState& state, std::string& reasonLine) {
    // The machine that serves the UPS has begun its shutdown and will cut the power:
    // whatever WAIT_TIME and the mains state say, as every follower of a served UPS does.
    if (state.ServerForcedShutdown.load() == 1) {
        reasonLine = MessageText("Shutdown_by_remote_fsd");
        return true;
    }
    if (state.AcFail.load() == 0) return false;
    ReadSettings(ProcessSettings());
    if (state.MainsStateKnown.load() == 1) {
        BatteryFacts battery;
        battery.OnBattery = true;
        battery.LowReported = state.BatteryLowOnBattery.load() == 1;
        battery.Charge = state.ChargeOnBattery.load();
        const BatteryTrigger trigger = FiredBatteryTrigger(battery, ProcessSettings());
        if (trigger != BatteryTrigger::None) {
            reasonLine = BatteryTriggerLine(trigger, battery.Charge);
            return true;
        }
    }
    const int64_t now = UnbiasedNow();
    return now >= CountdownDeadline(state, ProcessSettings().WaitTime) && MayDecideOnLastKnownState(state, now);
}

void NoteSilence(MonitorState& state, int64_t now) {
    if (state.Disconnected.load() != 0 || now - state.LastHeard.load() <= UpsSilenceLimitTicks(state)) return;
    state.Disconnected = 1;
    if (!TheConnectionCycleLog().LostShouldBeWritten(now)) return;
    TraceLog(MessageText("UPS_disconnected"));
    ReportWindowsEvent(kEventTypeWarning, kEventUpsDisconnected);
    Notify(NotifyEvent::CommBad, MessageText("UPS_disconnected"), state.ChargeOnBattery.load());
}

// A minute of records from the connected device ends a lost-and-found cycle.
void NoteSteadyReporting(const MonitorState& state, int64_t now) {
    if (!UpsConnected(state) || state.InitialStatusPending.load() != 0) return;
    TheConnectionCycleLog().ReportingNormally(state.ConnectedAt.load(), now);
}

}  // namespace

int32_t MonitorPass() {
    MonitorState& state = TheMonitorState();
    const MonitorSeams& seams = ActiveMonitorSeams();

    // The computer came back without having been switched off (a wake, a power-off that
    // did not happen): the UPS is watched anew. Not in a stop's final pass.
    if (!MonitorStopRequested()) RearmIfDue(state);
    KeepAwakeAsTheOutageNeeds(state, seams);
    // The operating system is going down: a later pass (the final one of a service
    // stop) must not run the external command and the UPS output-off again.
    if (state.ShutdownStarted.load() == 1) return 1;
    // A sequence that has begun goes on where it stopped (Windows refused the shutdown,
    // say), whatever mains does now: the UPS may be switching its output off.
    if (state.ShutdownSequenceStarted.load() == 1) return RunShutdownSequence(state, seams);

    const int64_t checked = UnbiasedNow();
    NoteSilence(state, checked);
    NoteSteadyReporting(state, checked);
    GiveUpOverdueBatteryQuery(checked);
    WatchChargeRule(state, ProcessSettings(), checked);
    NoteOutageEnded(state);

    // The deadline is looked at before anything that may wait on the UPS library: a
    // countdown that has started runs on the last state the UPS reported, UPS or no UPS.
    std::string reasonLine;
    if (SequenceDue(state, reasonLine)) return RunShutdownSequence(state, seams, reasonLine);

    const bool needsDevice = state.Disconnected.load() == 1 || state.DeviceHandle.load() == -1;
    // A stop's final pass starts nothing new on the library.
    if (needsDevice && !MonitorStopRequested() && StartUpsReconnect()) {
        WaitForUpsReconnect(MsUntilDeadlineAtMost(state, kReconnectWaitMs));
    }

    if (SequenceDue(state, reasonLine)) return RunShutdownSequence(state, seams, reasonLine);
    return 0;
}

uint32_t MonitorNextPassDelayMs() {
    if (TheMonitorState().ShutdownStarted.load() == 1) return kPassIntervalMs;
    return MsUntilDeadlineAtMost(TheMonitorState(), kPassIntervalMs);
}

bool MonitorOsRequestAccepted() {
    const MonitorState& state = TheMonitorState();
    return state.ShutdownStarted.load() == 1 || state.HibernateUnderWay.load() == 1;
}

void MonitorRequestRearm() { NoteResumeReported(TheMonitorState()); }

void MonitorNoteSuspend() { NoteSuspendReported(TheMonitorState()); }

bool MonitorShutdownSequenceRunning() { return TheMonitorState().ShutdownSequenceRunning.load() == 1; }

void ResetMonitorPassForTest() {
    ResetUpsConnectionForTest();
    ResetChargeRuleWatchForTest();
    ResetBatteryLevelQueryForTest();
    TheConnectionCycleLog().Reset();
}
