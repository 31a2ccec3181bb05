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
#include "monitor/monitor_thread.h"
#include "nut/nut_server.h"
#include "service/service_control.h"

namespace {

const ServiceHostApi kRealApi = {
    RegisterServiceCtrlHandlerA, SetServiceStatus,       MonitorThreadMain,      MonitorPass, MonitorPrepareRun,
    MonitorRequestStop,          MonitorRequestPause,    MonitorRequestContinue, Sleep,
    StartNutServerFromSettingsFile, StopNutServer,
};

const ServiceHostApi* activeApi = &kRealApi;

const ServiceHostApi& Api() { return *activeApi; }

constexpr DWORD kThreadEndWaitMs = 5000;

SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
ScopedKernelHandle monitorThread;
ScopedKernelHandle stopWorker;

// Serialises the state changes of ServiceMain and the handler, so a stop that
// arrives while ServiceMain is still starting never races it for the thread handle.
// Never held across a long wait.
std::mutex controlLock;
// Set once a stop has been accepted: later controls find nothing left to change.
bool stopStarted = false;

bool ReportStatus(DWORD state, DWORD acceptedControls, DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = acceptedControls;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    if (!Api().setStatus(ServiceStatusHandle, &status)) {
        TraceLogError("SetServiceStatus():ER=", GetLastError());
        return false;
    }
    return true;
}

constexpr DWORD kAcceptStop = SERVICE_ACCEPT_STOP;
constexpr DWORD kAcceptAll = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;

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

// The stop after STOP_PENDING has been reported and the stop requested: give the
// monitor thread two 5-second waits to end by itself, then the final pass, then the
// stopped report. The stopped state is never reported sooner than 5 s after the request.
DWORD WINAPI StopServiceWork(LPVOID) {
    bool terminated = false;
    HANDLE thread = monitorThread.Get();
    for (int wait = 1; wait <= 2; ++wait) {
        Api().sleep(kThreadEndWaitMs);
        DWORD exitCode = 0;
        if (!GetExitCodeThread(thread, &exitCode) || exitCode != STILL_ACTIVE) break;
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

    ReleaseSettingsTexts();
    if (!ReportStatus(SERVICE_STOPPED, kAcceptStop, 0, 0)) return 0;
    ReportWindowsEvent(kEventTypeInformation, kEventServiceStop);
    TraceLog(MessageText("Service_stop"));
    return 0;
}

void HandleStop() {
    std::unique_lock<std::mutex> lock(controlLock);
    if (stopStarted) return;
    // Reported before the stop is signalled, so the manager never sees a stopped
    // thread under a service that still claims to run.
    if (!ReportStatus(SERVICE_STOP_PENDING, kAcceptStop, 1, 3000)) return;
    stopStarted = true;
    Api().requestStop();

    // The waits take 5 to 10 s; they run on their own thread so that the handler
    // returns at once and the dispatcher stays free to answer the manager.
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
    std::lock_guard<std::mutex> lock(controlLock);
    if (stopStarted) return;
    if (!ReportStatus(SERVICE_PAUSE_PENDING, kAcceptStop, 1, 3000)) return;
    // The monitor parks at its next wait, never inside a lock that the UPS
    // library's callback thread also needs.
    Api().requestPause();
    ReportStatus(SERVICE_PAUSED, kAcceptAll, 0, 0);
}

void HandleContinue() {
    std::lock_guard<std::mutex> lock(controlLock);
    if (stopStarted) return;
    if (!ReportStatus(SERVICE_START_PENDING, kAcceptStop, 1, 3000)) return;
    Api().requestContinue();
    ReportStatus(SERVICE_RUNNING, kAcceptAll, 0, 0);
}

}  // namespace

void WINAPI ServiceMain(DWORD, LPSTR*) {
    SERVICE_STATUS_HANDLE handle = Api().registerHandler(kServiceName, ServiceControlHandler);
    if (handle == nullptr) {
        TraceLogError("RegisterServiceCtrlHandler():ER=", GetLastError());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(controlLock);
        ServiceStatusHandle = handle;
        if (stopStarted) return;
        if (!ReportStatus(SERVICE_START_PENDING, kAcceptStop, 1, 1000)) return;

        Api().prepareRun();
        HANDLE thread = CreateThread(nullptr, 0, Api().threadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr);
        if (thread == nullptr) {
            TraceLogError("CreateThread():ER=", GetLastError());
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
}

void WINAPI ServiceControlHandler(DWORD control) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            HandleStop();
            break;
        case SERVICE_CONTROL_PAUSE:
            HandlePause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            HandleContinue();
            break;
        default:
            // Interrogate, shutdown and the rest change nothing and report nothing.
            break;
    }
}

void WaitForServiceStopWork(DWORD timeoutMs) {
    HANDLE worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(controlLock);
        worker = stopWorker.Get();
    }
    if (worker != nullptr) WaitForSingleObject(worker, timeoutMs);
}

void SetServiceHostApiForTest(const ServiceHostApi* api) {
    WaitForServiceStopWork(INFINITE);
    std::lock_guard<std::mutex> lock(controlLock);
    stopWorker.Close();
    monitorThread.Close();
    ServiceStatusHandle = nullptr;
    stopStarted = false;
    activeApi = api ? api : &kRealApi;
}
