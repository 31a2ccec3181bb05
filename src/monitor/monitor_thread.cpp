// The monitor thread and its run control. A stop or a pause never stops the thread
// from outside: SuspendThread or TerminateThread could catch it inside the heap, the
// event-log or the status-file lock, and the UPS library's event thread would then
// wait on that lock for ever. Instead every wait of the monitor watches a stop event
// and a pause event, and the thread parks itself there, holding nothing.
#include "monitor/monitor_thread.h"

#include <atomic>

#include "log/event_log.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_signals.h"

std::atomic<int32_t> MonitorRunFlag{0};

namespace {

// The pause and park half of the run control; the stop event is one of the monitor's
// signals (monitor/monitor_signals.h).
struct RunControl {
    HANDLE stop;          // set: a stop has been requested (MonitorStopEvent)
    HANDLE pause;         // set: a pause has been requested
    HANDLE resume;        // set: not paused
    HANDLE parkedEvent;   // set while the thread is parked
    std::atomic<bool> parked{false};

    RunControl()
        : stop(MonitorStopEvent()),
          pause(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          resume(CreateEventA(nullptr, TRUE, TRUE, nullptr)),
          parkedEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    // The events live as long as the process: a thread may still wait on them at exit.
};

RunControl& Control() {
    static RunControl control;
    return control;
}

// The wait used when the events cannot be had (the system is out of handles): a
// plain sleep, so a caller that loops on waits never spins.
bool SleepWithoutEvents(uint32_t milliseconds) {
    Sleep(milliseconds);
    return true;
}

enum class WaitEnd { TimePassed, Stopped, Woken };

// Parks until continued or stopped; true when continued.
bool Park(RunControl& control) {
    control.parked = true;
    SetEvent(control.parkedEvent);
    HANDLE parkedOn[2] = {control.stop, control.resume};
    DWORD released = WaitForMultipleObjects(2, parkedOn, FALSE, INFINITE);
    ResetEvent(control.parkedEvent);
    control.parked = false;
    return released == WAIT_OBJECT_0 + 1;
}

// Waits `milliseconds` on the monotonic tick count, parking while a pause is
// requested; ends at once on a stop, and on `wake` when one is given.
WaitEnd WaitWatching(uint32_t milliseconds, HANDLE wake) {
    RunControl& control = Control();
    if (control.stop == nullptr || control.pause == nullptr || control.resume == nullptr ||
        control.parkedEvent == nullptr) {
        SleepWithoutEvents(milliseconds);
        return WaitEnd::TimePassed;
    }
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        HANDLE running[3] = {control.stop, control.pause, wake};
        DWORD woke = WaitForMultipleObjects(wake != nullptr ? 3 : 2, running, FALSE, remaining);
        if (woke == WAIT_OBJECT_0) return WaitEnd::Stopped;
        if (woke == WAIT_TIMEOUT) return WaitEnd::TimePassed;
        if (woke == WAIT_OBJECT_0 + 2) return WaitEnd::Woken;
        if (woke != WAIT_OBJECT_0 + 1) {
            SleepWithoutEvents(remaining);
            return WaitEnd::TimePassed;
        }
        // Paused: park until continued or stopped. Time spent parked counts towards
        // this wait, so a pass follows at once after a long pause.
        if (!Park(control)) {
            if (MonitorStopRequested()) return WaitEnd::Stopped;
            SleepWithoutEvents(remaining);
            return WaitEnd::TimePassed;
        }
    }
}

// One line for whatever escaped a pass; writing it must not throw in turn.
void RecordEscapedException() {
    try {
        TraceLog("MonitorPass:Exception");
    } catch (...) {
    }
}

}  // namespace

bool MonitorIsParked() { return Control().parked.load(); }

bool MonitorWaitUntilParked(uint32_t milliseconds) {
    HANDLE parked = Control().parkedEvent;
    if (parked == nullptr) {
        Sleep(milliseconds);
        return MonitorIsParked();
    }
    return WaitForSingleObject(parked, milliseconds) == WAIT_OBJECT_0;
}

bool MonitorWaitForStopOrTimeout(uint32_t milliseconds) {
    return WaitWatching(milliseconds, nullptr) != WaitEnd::Stopped;
}

bool MonitorWaitBetweenPasses(uint32_t milliseconds) {
    return WaitWatching(milliseconds, MonitorMainsChangeEvent()) != WaitEnd::Stopped;
}

void MonitorSequenceWait(uint32_t milliseconds) { Sleep(milliseconds); }

void MonitorHoldWhilePaused() {
    RunControl& control = Control();
    if (control.pause == nullptr || control.resume == nullptr || control.parkedEvent == nullptr) return;
    // A stop while parked here lets the sequence go on: once started, it completes.
    while (WaitForSingleObject(control.pause, 0) == WAIT_OBJECT_0 && !MonitorStopRequested()) {
        // A park whose wait failed must not turn this into a spin.
        if (!Park(control) && !MonitorStopRequested()) Sleep(1000);
    }
}

DWORD WINAPI MonitorThreadMain(LPVOID runFlag) {
    auto* flag = runFlag != nullptr ? static_cast<std::atomic<int32_t>*>(runFlag) : &MonitorRunFlag;
    while (flag->load() != 0) {
        // Whatever a pass throws (out of memory, say) ends that pass, never the
        // monitoring: the line says so, and the next pass follows after the usual wait.
        uint32_t waitMs = 1000;
        try {
            MonitorPass();
            waitMs = MonitorNextPassDelayMs();
        } catch (...) {
            RecordEscapedException();
        }
        ActiveMonitorSeams().WaitBetweenPasses(waitMs);
    }
    return 0;
}

void MonitorPrepareRun() {
    RunControl& control = Control();
    MonitorClearSignals();
    ResetEvent(control.pause);
    SetEvent(control.resume);
}

void MonitorRequestStop() {
    MonitorRunFlag = 0;
    MonitorSignalStop();
}

void MonitorRequestPause() {
    RunControl& control = Control();
    // Closed before the pause is raised, so a thread that sees the pause always parks.
    ResetEvent(control.resume);
    SetEvent(control.pause);
}

void MonitorRequestContinue() {
    RunControl& control = Control();
    ResetEvent(control.pause);
    SetEvent(control.resume);
}
