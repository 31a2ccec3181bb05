// The monitor's two signals: a stop request and a change of the mains state. The pass,
// the shutdown sequence, the UPS connection and the event callback read or raise them
// here, below the monitor thread that runs them all.
#pragma once

#include "common/win32.h"

// Manual-reset event that is signalled from a stop request until the next MonitorPrepareRun.
HANDLE MonitorStopEvent();
bool MonitorStopRequested();

// Auto-reset event the UPS event callback sets on every change of the mains state (and
// on a battery report made on battery power that may start the shutdown), so that the
// wait between passes ends and the monitor decides on time.
HANDLE MonitorMainsChangeEvent();
void MonitorSignalMainsChange();

// For the monitor thread's run control (monitor/monitor_thread.h): a stop request
// signals the stop event; a new run clears both signals.
void MonitorSignalStop();
void MonitorClearSignals();
