// A thin layer over the service control manager: each operation opens the manager,
// acts on our one service and closes every handle it opened before it returns.
#include "service/service_control.h"

#include <cstdio>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "service/event_source_key.h"

namespace {

const ServiceManagerApi kRealApi = {
    OpenSCManagerA, CreateServiceA, ChangeServiceConfig2A, OpenServiceA,  QueryServiceStatus, StartServiceA,
    ControlService, DeleteService,  CloseServiceHandle,    GetModuleFileNameA, Sleep,
    RegCreateKeyExA, RegSetValueExA, RegCloseKey, RegDeleteKeyA,
};

const ServiceManagerApi* activeApi = &kRealApi;

const ServiceManagerApi& Api() { return *activeApi; }

// The shared handle owner, closing through the replaceable manager so that a test
// sees every close.
struct ManagerHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { Api().closeHandle(h); }
};
using ManagerHandle = ScopedHandle<ManagerHandleTraits>;

constexpr int kStatePolls = 30;
constexpr DWORD kPollIntervalMs = 1000;

// Stores the error of the call that just failed and logs "<call>():ER=<code>".
void RecordFailure(const char* linePrefix, uint32_t& errorCode) {
    errorCode = GetLastError();
    TraceLogError(linePrefix, errorCode);
}

// The full path of this executable.
bool ExecutablePath(char (&path)[260], uint32_t& errorCode) {
    DWORD length = Api().moduleFileName(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        // A cut-off path would register a service that can never start.
        errorCode = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        TraceLogError("GetModuleFileName():ER=", errorCode);
        return false;
    }
    return true;
}

// A service that crashed, or that stopped with an error of its own (a start that could
// not go on), restarts after a minute, every time: a service that does not run leaves the
// computer unprotected, and the manager repeats the last action for each later failure.
// The fail count starts again after a day. Logged when refused, without failing the
// installation: the service works without it.
void SetRecoveryActions(SC_HANDLE service) {
    SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 60 * 1000}, {SC_ACTION_RESTART, 60 * 1000}, {SC_ACTION_RESTART, 60 * 1000}};
    SERVICE_FAILURE_ACTIONSA info = {};
    info.dwResetPeriod = 24 * 60 * 60;  // seconds without a failure before the count starts again
    info.cActions = 3;
    info.lpsaActions = actions;
    if (!Api().changeConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
        TraceLogError("ChangeServiceConfig2():ER=", GetLastError());
        return;
    }
    // Without the flag the actions follow a crash only, not a stop with an error.
    SERVICE_FAILURE_ACTIONS_FLAG onErrorStops = {TRUE};
    if (!Api().changeConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops)) {
        TraceLogError("ChangeServiceConfig2():ER=", GetLastError());
    }
}

bool SetPreshutdownTimeout(SC_HANDLE service) {
    SERVICE_PRESHUTDOWN_INFO info = {kPreshutdownTimeoutMs};
    if (!Api().changeConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info)) {
        TraceLogError("ChangeServiceConfig2():ER=", GetLastError());
        return false;
    }
    return true;
}

}  // namespace

void SetServiceManagerApiForTest(const ServiceManagerApi* api) { activeApi = api ? api : &kRealApi; }

const ServiceManagerApi& ServiceManagerApiInUse() { return Api(); }

int32_t InstallService(uint32_t& errorCode) {
    ManagerHandle manager(Api().openManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        RecordFailure("OpenSCManager():ER=", errorCode);
        TraceLog("Install:NG");
        return 0;
    }

    char path[260] = {};
    if (!ExecutablePath(path, errorCode)) {
        manager.Close();
        TraceLog("Install:NG");
        return 0;
    }
    // The service is started with no argument; the quotes keep a folder with spaces
    // in it one word.
    char commandLine[262] = {};
    std::snprintf(commandLine, sizeof(commandLine), "\"%s\"", path);

    // SERVICE_START too: the manager accepts restart actions only through a handle
    // that may start the service.
    ManagerHandle service(Api().createService(manager.Get(), kServiceName, kServiceName,
                                              SERVICE_CHANGE_CONFIG | SERVICE_START, SERVICE_WIN32_OWN_PROCESS,
                                              SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, commandLine, nullptr,
                                              nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        RecordFailure("CreateService():ER=", errorCode);
        manager.Close();
        TraceLog("Install:NG");
        return 0;
    }

    char description[] = "VoltwardenBasicEdition";
    SERVICE_DESCRIPTIONA info = {description};
    int32_t result = 1;
    if (!Api().changeConfig2(service.Get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
        // The service stays created without a description; INSTALL then does not start it.
        RecordFailure("ChangeServiceConfig2():ER=", errorCode);
        result = 0;
    }
    // The service exists from here on, so it gets its recovery and its message file
    // even without a description; UNINSTALL removes both with it.
    SetRecoveryActions(service.Get());
    SetPreshutdownTimeout(service.Get());

    service.Close();
    manager.Close();
    // Without the message file the Event Viewer still shows our texts, behind a note.
    WriteEventSourceKey(path);
    TraceLog(result == 1 ? "Install:OK" : "Install:NG");
    return result;
}

bool SetInstalledServicePreshutdownTimeout() {
    ManagerHandle manager(Api().openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        TraceLogError("OpenSCManager():ER=", GetLastError());
        return false;
    }
    ManagerHandle service(Api().openService(manager.Get(), kServiceName, SERVICE_CHANGE_CONFIG));
    if (!service) {
        TraceLogError("OpenService():ER=", GetLastError());
        return false;
    }
    return SetPreshutdownTimeout(service.Get());
}

int32_t ChangeServiceState(uint32_t targetState, int32_t deleteFlag, uint32_t& errorCode) {
    ManagerHandle manager(Api().openManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        RecordFailure("OpenSCManager():ER=", errorCode);
        return 0;
    }
    // Declared after the manager, so it is closed first.
    ManagerHandle service(Api().openService(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        RecordFailure("OpenService():ER=", errorCode);
        return 0;
    }

    SERVICE_STATUS status = {};
    if (!Api().queryStatus(service.Get(), &status)) {
        RecordFailure("QueryServiceStatus():ER=", errorCode);
        return 0;
    }

    if (status.dwCurrentState != targetState) {
        if (targetState == SERVICE_RUNNING) {
            if (!Api().startService(service.Get(), 0, nullptr)) {
                RecordFailure("StartService():ER=", errorCode);
                return 0;
            }
        } else {
            SERVICE_STATUS controlStatus = {};
            if (!Api().controlService(service.Get(), SERVICE_CONTROL_STOP, &controlStatus)) {
                RecordFailure("ControlService():ER=", errorCode);
                return 0;
            }
        }

        // Pending states and any other state count as not there yet.
        bool reached = false;
        for (int poll = 0; poll < kStatePolls && !reached; ++poll) {
            Api().sleep(kPollIntervalMs);
            if (!Api().queryStatus(service.Get(), &status)) {
                RecordFailure("QueryServiceStatus():ER=", errorCode);
                return 0;
            }
            reached = status.dwCurrentState == targetState;
        }
        if (!reached) return 0;
    }

    if (targetState == SERVICE_STOPPED && deleteFlag == 1) {
        if (!Api().deleteService(service.Get())) {
            RecordFailure("DeleteService():ER=", errorCode);
            TraceLog("Uninstall:NG");
            return 0;
        }
        // A key left behind would not harm the removal, so its failure is only logged.
        DeleteEventSourceKey();
        TraceLog("Uninstall:OK");
    }
    return 1;
}

int32_t QueryServiceRunning(uint32_t& running, uint32_t& errorCode) {
    running = 0;
    errorCode = 0;
    ManagerHandle manager(Api().openManager(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        errorCode = GetLastError();
        return 0;
    }
    ManagerHandle service(Api().openService(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
    if (!service) {
        errorCode = GetLastError();
        return 0;
    }
    SERVICE_STATUS status = {};
    if (!Api().queryStatus(service.Get(), &status)) {
        errorCode = GetLastError();
        return 0;
    }
    if (status.dwCurrentState == SERVICE_RUNNING) running = 1;
    return 1;
}
