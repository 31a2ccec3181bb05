// The stop event and the mains-change event. They live as long as the process: a
// thread may still wait on them at exit.
#include "monitor/monitor_signals.h"

namespace {

struct Signals {
    HANDLE stop;         // set: a stop has been requested
    HANDLE mainsChange;  // auto-reset: the callback saw the mains state change

    Signals()
        : stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          mainsChange(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
};

Signals& TheSignals() {
    static Signals signals;
    return signals;
}

}  // namespace

HANDLE MonitorStopEvent() { return TheSignals().stop; }

bool MonitorStopRequested() { return WaitForSingleObject(TheSignals().stop, 0) == WAIT_OBJECT_0; }

HANDLE MonitorMainsChangeEvent() { return TheSignals().mainsChange; }

void MonitorSignalMainsChange() {
    HANDLE event = TheSignals().mainsChange;
    if (event != nullptr) SetEvent(event);
}

void MonitorSignalStop() { SetEvent(TheSignals().stop); }

void MonitorClearSignals() {
    Signals& signals = TheSignals();
    ResetEvent(signals.stop);
    ResetEvent(signals.mainsChange);
}
