// The shutdown sequence. Every wait in it is measured on the monotonic clock and none
// is cut short by a stop or a pause: the command keeps its whole EXCMDTIME, and the
// output-off never comes earlier than EXCMDTIME after the command started. A pause
// holds only the irreversible steps, until the service is continued or stopped.
#include "monitor/shutdown_sequence.h"

#include <string>

#include "common/clock.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "messages/message_table.h"
#include "monitor/monitor_signals.h"
#include "monitor/os_step.h"
#include "monitor/stay_awake.h"
#include "monitor/ups_connection.h"
#include "notify/notifier.h"

namespace {

// Marks the sequence as under way for as long as this function runs, so the service's
// stop waits for it rather than ending the thread.
class RunningMark {
public:
    explicit RunningMark(MonitorState& state) : state_(state) { state_.ShutdownSequenceRunning = 1; }
    ~RunningMark() { state_.ShutdownSequenceRunning = 0; }
    RunningMark(const RunningMark&) = delete;
    RunningMark& operator=(const RunningMark&) = delete;

private:
    MonitorState& state_;
};

// Waits until the monotonic clock reaches `deadline`; the wait ends at that moment
// rather than on a whole second, so the next step follows it closely.
void WaitUntil(int64_t deadline, const MonitorSeams& seams) {
    for (;;) {
        const int64_t remaining = deadline - MonotonicNow();
        if (remaining <= 0) return;
        const int64_t ticksPerMs = kTicksPerSecond / 1000;
        seams.SequenceWait(static_cast<uint32_t>((remaining + ticksPerMs - 1) / ticksPerMs));
    }
}

// The point of no return, then the administrator's command with its EXCMDTIME: it
// runs at most once in an outage, whatever happens to this pass.
void BeginSequence(MonitorState& state, const MonitorSeams& seams, const std::string& reasonLine) {
    state.SequenceOutageStart = state.AcFailStart.load();
    state.ShutdownSequenceStarted = 1;
    // Whatever started it, the computer stays awake until the request to Windows.
    KeepAwakeAsTheOutageNeeds(state, seams);
    if (!reasonLine.empty()) TraceLog(reasonLine);
    // Told before the command starts; it runs on the notifier's thread, beside the command.
    Notify(NotifyEvent::Shutdown, reasonLine.empty() ? MessageText("Shutdown_by_wait_time") : reasonLine,
           state.ChargeOnBattery.load());
    const Settings settings = ProcessSettings();
    const int64_t exCmdTicks = static_cast<int64_t>(settings.ExCmdTime > 0 ? settings.ExCmdTime : 0) * kTicksPerSecond;
    state.ClientsWaitDeadline = MonotonicNow() + exCmdTicks;
    state.OutputOffNotBefore = 0;
    // An outage that had its command and output-off before the monitor re-armed goes
    // straight to the request to Windows.
    if (state.OutageStepsDone.load() == 1) {
        state.OutputOffDone = 1;
        return;
    }
    if (settings.ExCmd.empty()) return;
    TraceLog(MessageText("External_command_start") + ":(" + settings.ExCmd + ")");
    const int64_t commandStart = MonotonicNow();
    state.ClientsWaitDeadline = commandStart + exCmdTicks;
    state.OutputOffNotBefore = commandStart + exCmdTicks;
    std::string output;
    // No wake event: a stop of the service must not end the command's time early.
    if (seams.RunExternalCommand(settings.ExCmd, output, settings.ExCmdTime, nullptr) == 0) {
        TraceLog("ExCommand:NG");
        Notify(NotifyEvent::CommandFailed, MessageText("External_command_failed"), state.ChargeOnBattery.load());
    }
}

}  // namespace

int32_t RunShutdownSequence(MonitorState& state, const MonitorSeams& seams, const std::string& reasonLine) {
    // A pause that came first holds the sequence before it begins, as it would have
    // held the pass that decided it.
    seams.HoldWhilePaused();
    RunningMark running(state);
    if (state.ShutdownSequenceStarted.load() == 0) {
        // Set before the stop is looked at, so a stop worker that finds no sequence running
        // finds none started later either: this pass then sees its stop.
        if (MonitorStopRequested()) return 0;
        BeginSequence(state, seams, reasonLine);
    }

    if (state.OutputOffDone.load() == 0) {
        // Network UPS clients have been shown FSD since the sequence began; those still
        // logged in are given until EXCMDTIME after the command's start (or after the
        // sequence's start when there is no command) to log out (their own shutdowns),
        // and a stop does not cut that short either.
        if (seams.WaitForNetworkClients != nullptr) seams.WaitForNetworkClients(state.ClientsWaitDeadline.load(), nullptr);
        WaitUntil(state.OutputOffNotBefore.load(), seams);
        seams.HoldWhilePaused();
        // Marked first: an output-off that went wrong is not sent again.
        state.OutputOffDone = 1;
        if (state.NetworkUps.load() == 1) {
            // The machine that serves the UPS switches its output off once its followers
            // are done: this computer tells it so by ending its login.
            TraceLog(MessageText("Output_off_left_to_server"));
            EndNetworkUpsLogin();
        } else {
            SwitchUpsOutputOff(ProcessSettings().BackupTime);
        }
    }

    seams.HoldWhilePaused();
    // The request to Windows is a power-off or a hibernation of its own.
    LetTheComputerSleep(state, seams);
    return RunOsStep(state, seams);
}
