// The process-wide monitor state.
#include "monitor/monitor_state.h"

namespace {
MonitorState state;
}  // namespace

MonitorState& TheMonitorState() { return state; }

void ResetMonitorStateForTest() {
    state.DeviceHandle = -1;
    state.Disconnected = 1;
    state.OpenedByCom = 0;
    state.InitialStatusPending = 0;
    state.AcFail = 0;
    state.AcFailStart = 0;
    state.BatteryLowOnBattery = 0;
    state.ChargeOnBattery = -1;
    state.LastHeard = 0;
    state.LastDataLogTime = 0;
    state.ConnectedAt = 0;
    state.ShutdownStarted = 0;
    state.ShutdownSequenceStarted = 0;
    state.ShutdownSequenceRunning = 0;
    state.ClientsWaitDeadline = 0;
    state.OutputOffNotBefore = 0;
    state.OutputOffDone = 0;
    state.AwaitingStateSince = 0;
    state.AwaitingStateFor = 0;
    state.RearmRequested = 0;
    state.OsStepReached = 0;
    state.OsRequestedAt = 0;
    state.HibernateUnderWay = 0;
    state.HibernateFailed = 0;
    state.OutageStepsDone = 0;
}
