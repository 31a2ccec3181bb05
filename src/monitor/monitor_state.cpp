// The process-wide monitor state.
#include "monitor/monitor_state.h"

namespace {
MonitorState state;
}  // namespace

MonitorState& TheMonitorState() { return state; }

void ForgetShutdownSequence(MonitorState& target) {
    target.ShutdownStarted = 0;
    target.ClientsWaitDeadline = 0;
    target.OutputOffNotBefore = 0;
    target.OutputOffDone = 0;
    target.OsStepReached = 0;
    target.OsRequestedAt = 0;
    target.HibernateUnderWay = 0;
    target.HibernateFailed = 0;
    target.SequenceOutageStart = 0;
    // A serving machine that still says FSD says it again to the next connection.
    target.ServerForcedShutdown = 0;
    // Last: whoever shows the point of no return (the network server's FSD) sees it
    // gone only once everything else is cleared.
    target.ShutdownSequenceStarted = 0;
}

void ResetMonitorStateForTest() {
    state.DeviceHandle = -1;
    state.Disconnected = 1;
    state.OpenedByCom = 0;
    state.NetworkUps = 0;
    state.InitialStatusPending = 0;
    state.AcFail = 0;
    state.AcFailStart = 0;
    state.MainsStateKnown = 0;
    state.BatteryLowOnBattery = 0;
    state.ChargeOnBattery = -1;
    state.ChargeSeenAt = 0;
    state.BatteryLowPending = 0;
    state.ChargePending = -1;
    state.LastHeard = 0;
    state.LastDataLogTime = 0;
    state.ConnectedAt = 0;
    ForgetShutdownSequence(state);
    state.ShutdownSequenceRunning = 0;
    state.AwaitingStateSince = 0;
    state.AwaitingStateFor = 0;
    state.UnheardSinceWake = 0;
    state.ResumeReported = 0;
    state.SuspendReported = 0;
    state.AsleepTicksSeen = INT64_MIN;
    state.WakeActedOn = 0;
    state.StayAwakeHeld = 0;
    state.OutageStepsDone = 0;
    state.SystemShuttingDown = 0;
}
