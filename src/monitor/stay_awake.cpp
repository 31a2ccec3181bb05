// Keeping the computer awake through an outage, through the monitor's seam.
#include "monitor/stay_awake.h"

#include "monitor/monitor_signals.h"

namespace {

void Hold(MonitorState& state, const MonitorSeams& seams, bool awake) {
    if (state.StayAwakeHeld.exchange(awake ? 1 : 0) == (awake ? 1 : 0)) return;
    if (seams.KeepSystemAwake != nullptr) seams.KeepSystemAwake(awake);
}

}  // namespace

void KeepAwakeAsTheOutageNeeds(MonitorState& state, const MonitorSeams& seams) {
    const bool outage = state.AcFail.load() == 1 || state.ShutdownSequenceStarted.load() == 1;
    Hold(state, seams, outage && state.OsStepReached.load() == 0 && !MonitorStopRequested());
}

void LetTheComputerSleep(MonitorState& state, const MonitorSeams& seams) { Hold(state, seams, false); }
