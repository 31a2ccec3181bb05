// Turns the service control manager's start, stop, pause and continue into calls on
// the monitor; the monitor itself knows nothing of the service manager.
#include "service/service_main.h"

#include <atomic>
#include <mutex>

#include "common/scoped_handle.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_thread.h"
#include "nut/nut_server.h"
#include "service/service_control.h"

namespace {

// The service composes the program: the monitor learns of the network UPS server only
// through the wait for its clients that is handed to it here.
void StartNetworkServer() {
    SetMonitorNetworkClientsWait(&NutWaitForClientsToLogOut);
    StartNutServerFromSettingsFile();
}

const ServiceHostApi kRealApi = {
    RegisterServiceCtrlHandlerExA,  SetServiceStatus,      MonitorThreadMain,      MonitorPass, MonitorPrepareRun,
    MonitorRequestStop,             MonitorRequestPause,   MonitorRequestContinue, MonitorNoteSystemShutdown,
    SetInstalledServicePreshutdownTimeout, Sleep,
    MonitorShutdownSequenceRunning, MonitorWaitUntilParked,
    StartNetworkServer,             StopNutServer,         WaitForSingleObject,    MonitorRequestRearm,
    MonitorNoteSuspend,
};

const ServiceHostApi* activeApi = &kRealApi;

const ServiceHostApi& Api() { return *activeApi; }

constexpr DWORD kThreadEndWaitMs = 5000;
// The first STOP_PENDING of a stop.
constexpr DWORD kStopWaitHintMs = 3000;
// After a forced end of the monitor thread, how long the stop's line may take before
// the stopped report goes out without it.
constexpr DWORD kStopRecordWaitMs = 2000;
// While a shutdown sequence runs, the stop looks at the thread this often and tells
// the manager each time that it is still making progress.
constexpr DWORD kSequencePollMs = 1000;
constexpr DWORD kSequenceWaitHintMs = 5000;
// A pause that waits for the monitor to park says so this often.
constexpr DWORD kParkPollMs = 1000;
constexpr DWORD kPauseWaitHintMs = 3000;
// How long the handler itself waits for the monitor to park before it leaves the
// watching to a worker.
constexpr DWORD kParkInlineWaitMs = 500;

SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
ScopedKernelHandle monitorThread;
ScopedKernelHandle stopWorker;
ScopedKernelHandle pauseWorker;
// Counts pause requests; a pause worker whose request was overtaken by a continue or
// a stop reports nothing.
uint32_t pauseGeneration = 0;

// Serialises the state changes of ServiceMain and the handler, so a stop that
// arrives while ServiceMain is still starting never races it for the thread handle.
// Never held across a long wait.
std::mutex controlLock;
// Set once a stop has been accepted: later controls find nothing left to change.
bool stopStarted = false;

bool ReportStatus(DWORD state, DWORD acceptedControls, DWORD checkPoint, DWORD waitHint,
                  DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = acceptedControls;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    if (!Api().setStatus(ServiceStatusHandle, &status)) {
        const DWORD error = GetLastError();
        TraceLogError("SetServiceStatus():ER=", error);
        SetLastError(error);  // for a caller that reports it on
        return false;
    }
    return true;
}

constexpr DWORD kAcceptStop = SERVICE_ACCEPT_STOP;
// Running or paused, the service is told of a resume from sleep or hibernation, and of
// Windows' shutdown: PRESHUTDOWN as soon as it begins (Windows waits for the service then,
// up to its preshutdown time), SHUTDOWN at its end where PRESHUTDOWN did not come.
constexpr DWORD kAcceptAll = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_POWEREVENT |
                             SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;

void ReleaseSettingsTexts() {
    // clear() empties without touching the heap: after a forced thread end the heap
    // lock may be held by the dead thread, and the stopped report must still go out.
    Settings& settings = ProcessSettings();
    settings.Lang.clear();
    settings.ExCmd.clear();
    settings.DataLogPath.clear();
    settings.EventLogPath.clear();
    settings.Device.clear();
}

bool ThreadStillRuns(HANDLE thread) {
    DWORD exitCode = 0;
    return GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE;
}

void RecordEscapedException(const char* line) {
    try {
        TraceLog(line);
    } catch (...) {
    }
}

DWORD WINAPI RecordStopWork(LPVOID) {
    try {
        ReportWindowsEvent(kEventTypeInformation, kEventServiceStop);
        TraceLog(MessageText("Service_stop"));
    } catch (...) {
    }
    return 0;
}

// The stop's Windows event and line come before the stopped report: once SERVICE_STOPPED
// is reported the process may be ended at any moment. After a forced end of the monitor
// thread the dead thread may have held the heap's lock, which the line needs, and the
// stopped report must go out all the same: the line then gets a bounded wait on a thread
// of its own.
void RecordStop(bool afterForcedEnd) {
    if (!afterForcedEnd) {
        RecordStopWork(nullptr);
        return;
    }
    ScopedKernelHandle writer(CreateThread(nullptr, 0, RecordStopWork, nullptr, 0, nullptr));
    if (writer) WaitForSingleObject(writer.Get(), kStopRecordWaitMs);
}

// The stop after STOP_PENDING has been reported and the stop requested: give the
// monitor thread two waits of up to 5 s each to end by itself, then the final pass, then
// the stopped report. Each wait ends as soon as the thread has ended, so an idle monitor
// (which sees the stop at its next wake-up) lets the service stop within moments.
// A shutdown sequence that has started is waited for however long it takes (its
// command keeps its EXCMDTIME), with STOP_PENDING reported every second meanwhile:
// ending the thread there would cut the command short and bring the power-off earlier.
void StopMonitorThenReport() {
    bool terminated = false;
    HANDLE thread = monitorThread.Get();
    DWORD checkPoint = 1;
    for (int wait = 1; wait <= 2; ++wait) {
        Api().waitForThread(thread, kThreadEndWaitMs);
        while (ThreadStillRuns(thread) && Api().sequenceRunning()) {
            ReportStatus(SERVICE_STOP_PENDING, kAcceptStop, ++checkPoint, kSequenceWaitHintMs);
            Api().sleep(kSequencePollMs);
        }
        if (!ThreadStillRuns(thread)) break;
        if (wait == 1) {
            // A thread parked by a pause goes on, sees the stop and ends.
            Api().requestContinue();
        } else {
            // Last resort, for a thread stuck inside a call that never returns.
            TerminateThread(thread, 0);
            terminated = true;
        }
    }
    monitorThread.Close();

    // A terminated thread may have died holding a lock that the pass needs; the pass
    // would then hang the stop for ever, so it is left out.
    if (!terminated) Api().finalPass();
    if (Api().stopNetworkServer != nullptr) Api().stopNetworkServer();

    RecordStop(terminated);
    ReleaseSettingsTexts();
    ReportStatus(SERVICE_STOPPED, kAcceptStop, 0, 0);
}

DWORD WINAPI StopServiceWork(LPVOID) {
    try {
        StopMonitorThenReport();
    } catch (...) {
        // The service must not stay stop pending for ever: the lines, then the report.
        RecordEscapedException("ServiceStop:Exception");
        try {
            TraceLog(MessageText("Service_stop"));
        } catch (...) {
        }
        try {
            ReportStatus(SERVICE_STOPPED, kAcceptStop, 0, 0);
        } catch (...) {
        }
    }
    return 0;
}

// PAUSED is reported only once the monitor has parked (or has ended by itself, after
// the OS shutdown was started): until then a sequence in progress may still take a
// step, and the manager must not show the service as paused.
void WatchPauseUntilParked(LPVOID parameter) {
    const uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parameter));
    DWORD checkPoint = 1;
    for (;;) {
        const bool parked = Api().waitUntilParked(kParkPollMs);
        std::lock_guard<std::mutex> lock(controlLock);
        if (stopStarted || generation != pauseGeneration) return;
        if (parked || !ThreadStillRuns(monitorThread.Get())) {
            ReportStatus(SERVICE_PAUSED, kAcceptAll, 0, 0);
            return;
        }
        if (!ReportStatus(SERVICE_PAUSE_PENDING, kAcceptStop, ++checkPoint, kPauseWaitHintMs)) return;
    }
}

DWORD WINAPI PauseServiceWork(LPVOID parameter) {
    try {
        WatchPauseUntilParked(parameter);
    } catch (...) {
        RecordEscapedException("ServicePause:Exception");
    }
    return 0;
}

void HandleStop(DWORD waitHint) {
    std::unique_lock<std::mutex> lock(controlLock);
    if (stopStarted) return;
    // Reported before the stop is signalled, so the manager never sees a stopped
    // thread under a service that still claims to run.
    if (!ReportStatus(SERVICE_STOP_PENDING, kAcceptStop, 1, waitHint)) return;
    stopStarted = true;
    Api().requestStop();

    // The waits may take up to 10 s (longer while a shutdown sequence runs); they run on
    // their own thread so that the handler returns at once and the dispatcher stays free
    // to answer the manager.
    HANDLE worker = CreateThread(nullptr, 0, StopServiceWork, nullptr, 0, nullptr);
    if (worker != nullptr) {
        stopWorker.Reset(worker);
        return;
    }
    TraceLogError("CreateThread():ER=", GetLastError());
    lock.unlock();
    StopServiceWork(nullptr);
}

void HandlePause() {
    ScopedKernelHandle earlier;
    bool parked = false;
    {
        std::lock_guard<std::mutex> lock(controlLock);
        if (stopStarted) return;
        if (!ReportStatus(SERVICE_PAUSE_PENDING, kAcceptStop, 1, kPauseWaitHintMs)) return;
        // The monitor parks at its next wait, never inside a lock that the UPS
        // library's callback thread also needs.
        Api().requestPause();
        ++pauseGeneration;
        earlier.Reset(pauseWorker.Release());
        // An idle monitor parks within moments: the handler then reports it itself, so
        // whoever sent the pause sees it done. Only a busy monitor gets a worker.
        parked = Api().waitUntilParked(kParkInlineWaitMs);
        if (parked) ReportStatus(SERVICE_PAUSED, kAcceptAll, 0, 0);
    }
    // An earlier worker has been overtaken and ends within one poll.
    if (earlier) WaitForSingleObject(earlier.Get(), INFINITE);
    if (parked) return;

    std::lock_guard<std::mutex> lock(controlLock);
    if (stopStarted) return;
    HANDLE worker = CreateThread(nullptr, 0, PauseServiceWork,
                                 reinterpret_cast<LPVOID>(static_cast<uintptr_t>(pauseGeneration)), 0, nullptr);
    if (worker == nullptr) {
        // Without a worker the park cannot be watched: report the pause, as the monitor
        // holds every irreversible step until continued anyway.
        TraceLogError("CreateThread():ER=", GetLastError());
        ReportStatus(SERVICE_PAUSED, kAcceptAll, 0, 0);
        return;
    }
    pauseWorker.Reset(worker);
}

void HandleContinue() {
    std::lock_guard<std::mutex> lock(controlLock);
    if (stopStarted) return;
    ++pauseGeneration;
    if (!ReportStatus(SERVICE_CONTINUE_PENDING, kAcceptStop, 1, 3000)) return;
    Api().requestContinue();
    ReportStatus(SERVICE_RUNNING, kAcceptAll, 0, 0);
}

// Windows is shutting down, on our request or anybody's. The monitor hears it first, so
// that nothing it does meanwhile takes the shutdown for a cancelled one; then the
// service stops. After PRESHUTDOWN Windows waits for the stopped report up to the
// preshutdown time, which the first pending report gives as its hint.
void HandleSystemShutdown(DWORD control) {
    Api().noteSystemShutdown();
    HandleStop(control == SERVICE_CONTROL_PRESHUTDOWN ? kPreshutdownTimeoutMs : kStopWaitHintMs);
}

// A start that cannot go on: stopped, with the error as the exit code, so that the
// manager counts a failure (and restarts the service as its recovery says) instead of
// waiting on a service that will never run. Later controls find nothing to change.
void ReportStartFailed(DWORD error) {
    stopStarted = true;
    ReportStatus(SERVICE_STOPPED, 0, 0, 0, error);
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE handle = Api().registerHandler(kServiceName, ServiceControlHandlerEx, nullptr);
    if (handle == nullptr) {
        TraceLogError("RegisterServiceCtrlHandler():ER=", GetLastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(controlLock);
        ServiceStatusHandle = handle;
        if (stopStarted) return;
        if (!ReportStatus(SERVICE_START_PENDING, kAcceptStop, 1, 1000)) {
            ReportStartFailed(GetLastError());
            return;
        }

        Api().prepareRun();
        HANDLE thread = CreateThread(nullptr, 0, Api().threadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr);
        if (thread == nullptr) {
            const DWORD error = GetLastError();
            TraceLogError("CreateThread():ER=", error);
            ReportStartFailed(error);
            return;
        }
        monitorThread.Reset(thread);
        // The flag is 1 before the thread first reads it.
        MonitorRunFlag = 1;
        ResumeThread(thread);
        // Inside the lock, so a stop that comes meanwhile finds the server started.
        if (Api().startNetworkServer != nullptr) Api().startNetworkServer();

        if (!ReportStatus(SERVICE_RUNNING, kAcceptAll, 0, 0)) return;
    }
    TraceLog(MessageText("Service_start"));
    ReportWindowsEvent(kEventTypeInformation, kEventServiceStart);
    // However the service was installed, Windows waits for it at a shutdown. Only now: the
    // manager holds its database until the service reports running, and a change of the
    // configuration before that would wait for it. A refusal is logged; the service runs
    // without.
    Api().setPreshutdownTimeout();
}

void WINAPI ServiceControlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            HandleStop(kStopWaitHintMs);
            break;
        case SERVICE_CONTROL_PRESHUTDOWN:
        case SERVICE_CONTROL_SHUTDOWN:
            HandleSystemShutdown(control);
            break;
        case SERVICE_CONTROL_PAUSE:
            HandlePause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            HandleContinue();
            break;
        default:
            // Interrogate and the rest change nothing and report nothing.
            break;
    }
}

DWORD WINAPI ServiceControlHandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_PRESHUTDOWN:
        case SERVICE_CONTROL_SHUTDOWN:
            ServiceControlHandler(control);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        case SERVICE_CONTROL_POWEREVENT:
            // Only recorded here: the monitor's next pass, which this wakes, does the work.
            if (eventType == PBT_APMRESUMEAUTOMATIC || eventType == PBT_APMRESUMESUSPEND) {
                if (Api().requestRearm != nullptr) Api().requestRearm();
            } else if (eventType == PBT_APMSUSPEND) {
                if (Api().noteSuspend != nullptr) Api().noteSuspend();
            }
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WaitForServiceStopWork(DWORD timeoutMs) {
    HANDLE workers[2] = {nullptr, nullptr};
    {
        std::lock_guard<std::mutex> lock(controlLock);
        workers[0] = pauseWorker.Get();
        workers[1] = stopWorker.Get();
    }
    for (HANDLE worker : workers) {
        if (worker != nullptr) WaitForSingleObject(worker, timeoutMs);
    }
}

void SetServiceHostApiForTest(const ServiceHostApi* api) {
    WaitForServiceStopWork(INFINITE);
    std::lock_guard<std::mutex> lock(controlLock);
    stopWorker.Close();
    pauseWorker.Close();
    pauseGeneration = 0;
    monitorThread.Close();
    ServiceStatusHandle = nullptr;
    stopStarted = false;
    activeApi = api ? api : &kRealApi;
}
