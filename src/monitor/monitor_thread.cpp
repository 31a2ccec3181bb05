// The monitor thread and its run control. A stop or a pause never stops the thread
// from outside: SuspendThread or TerminateThread could catch it inside the heap, the
// event-log or the status-file lock, and the UPS library's event thread would then
// wait on that lock for ever. Instead every wait of the monitor watches a stop event
// and a pause event, and the thread parks itself there, holding nothing.
#include "monitor/monitor_thread.h"

#include <atomic>

#include "monitor/monitor_seams.h"

std::atomic<int32_t> MonitorRunFlag{0};

namespace {

struct RunControl {
    HANDLE stop;     // set: a stop has been requested
    HANDLE pause;    // set: a pause has been requested
    HANDLE resume;   // set: not paused
    std::atomic<bool> parked{false};

    RunControl()
        : stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          pause(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          resume(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
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

}  // namespace

HANDLE MonitorStopEvent() { return Control().stop; }

bool MonitorStopRequested() { return WaitForSingleObject(Control().stop, 0) == WAIT_OBJECT_0; }

bool MonitorIsParked() { return Control().parked.load(); }

bool MonitorWaitForStopOrTimeout(uint32_t milliseconds) {
    RunControl& control = Control();
    if (control.stop == nullptr || control.pause == nullptr || control.resume == nullptr) {
        return SleepWithoutEvents(milliseconds);
    }
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        HANDLE running[2] = {control.stop, control.pause};
        DWORD woke = WaitForMultipleObjects(2, running, FALSE, remaining);
        if (woke == WAIT_OBJECT_0) return false;
        if (woke == WAIT_TIMEOUT) return true;
        if (woke != WAIT_OBJECT_0 + 1) return SleepWithoutEvents(remaining);
        // Paused: park until continued or stopped. Time spent parked counts towards
        // this wait, so a pass follows at once after a long pause.
        control.parked = true;
        HANDLE parkedOn[2] = {control.stop, control.resume};
        DWORD released = WaitForMultipleObjects(2, parkedOn, FALSE, INFINITE);
        control.parked = false;
        if (released == WAIT_OBJECT_0) return false;
        if (released != WAIT_OBJECT_0 + 1) return SleepWithoutEvents(remaining);
    }
}

DWORD WINAPI MonitorThreadMain(LPVOID runFlag) {
    auto* flag = runFlag != nullptr ? static_cast<std::atomic<int32_t>*>(runFlag) : &MonitorRunFlag;
    while (flag->load() != 0) {
        if (MonitorPass() == 1) flag->store(0);
        ActiveMonitorSeams().Wait(1000);
    }
    return 0;
}

void MonitorPrepareRun() {
    RunControl& control = Control();
    ResetEvent(control.stop);
    ResetEvent(control.pause);
    SetEvent(control.resume);
}

void MonitorRequestStop() {
    MonitorRunFlag = 0;
    SetEvent(Control().stop);
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
