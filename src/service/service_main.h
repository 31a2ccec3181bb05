// The service side of the executable: the service main function, which starts the
// monitor thread, and the control handler, which stops, pauses and continues it.
#pragma once

#include <cstdint>

#include "common/win32.h"

// Handed to the dispatcher; its arguments are not used. Returns once the service is
// reported running and the start is recorded, or at the first failure: a start that
// cannot go on (no monitor thread) reports SERVICE_STOPPED with the failed call's error
// as its exit code, so that the manager counts a failure and its recovery restarts the
// service. Once running it gives itself its preshutdown time (service_control.h).
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// Acts on stop, pause and continue, and on Windows' shutdown (PRESHUTDOWN, SHUTDOWN):
// the monitor is told of the shutdown first (it then never asks Windows again, nor takes
// a long shutdown for a cancelled one), then the service stops as for a stop, its first
// STOP_PENDING with the preshutdown time as its wait hint. Every other control is
// ignored without a report.
void WINAPI ServiceControlHandler(DWORD control);

// Registered with RegisterServiceCtrlHandlerExA: the controls above, and the power
// events of a resume from sleep or hibernation (PBT_APMRESUMEAUTOMATIC,
// PBT_APMRESUMESUSPEND), which asks the monitor to watch the UPS anew, and of a suspend
// (PBT_APMSUSPEND), which the monitor notes. NO_ERROR for what it handles,
// ERROR_CALL_NOT_IMPLEMENTED for the rest.
DWORD WINAPI ServiceControlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The stop, and a pause until the monitor has parked, run on worker threads so that
// the handler returns at once; the entry point calls this after the dispatcher has
// returned, so the process does not end before the stop is recorded. Waits at most
// `timeoutMs` for each worker.
void WaitForServiceStopWork(DWORD timeoutMs);

// What the service host calls outside itself; tests replace it.
struct ServiceHostApi {
    SERVICE_STATUS_HANDLE(WINAPI* registerHandler)(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);
    BOOL(WINAPI* setStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);
    LPTHREAD_START_ROUTINE threadMain;  // the monitor thread's routine
    int32_t (*finalPass)();             // the pass run once more after the thread has ended
    void (*prepareRun)();
    void (*requestStop)();
    void (*requestPause)();
    void (*requestContinue)();
    void (*noteSystemShutdown)();   // Windows is shutting down (monitor_thread.h)
    bool (*setPreshutdownTimeout)();  // at each start (service_control.h)
    void(WINAPI* sleep)(DWORD milliseconds);  // each poll of the stop during a shutdown sequence
    bool (*sequenceRunning)();                // a shutdown sequence is under way: never cut it
    bool (*waitUntilParked)(uint32_t milliseconds);  // true once the monitor has parked
    // The network UPS protocol server (nut/), started after the monitor thread and
    // stopped after it has ended. Null (the host's own tests): no server.
    void (*startNetworkServer)();
    void (*stopNetworkServer)();
    // Each wait of the stop for the monitor thread to end: returns as soon as it has
    // ended, or after `milliseconds` (WaitForSingleObject).
    DWORD(WINAPI* waitForThread)(HANDLE thread, DWORD milliseconds);
    void (*requestRearm)();  // the computer has resumed: the monitor watches anew
    void (*noteSuspend)();   // the computer is going to sleep
};

// Replaces the host's outside calls for tests; nullptr restores the real ones.
// Also forgets any earlier run, so each test starts as a fresh process would.
void SetServiceHostApiForTest(const ServiceHostApi* api);
