// A thin layer over the service control manager: each operation opens the manager,
// acts on our one service and closes every handle it opened before it returns.
#include "service/service_control.h"

#include <cstdio>

#include "common/scoped_handle.h"
#include "log/event_log.h"

namespace {

const ServiceManagerApi kRealApi = {
    OpenSCManagerA, CreateServiceA, ChangeServiceConfig2A, OpenServiceA,  QueryServiceStatus, StartServiceA,
    ControlService, DeleteService,  CloseServiceHandle,    GetModuleFileNameA, Sleep,
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

// The quoted path of this executable: the service is started with no argument,
// and the quotes keep a folder with spaces in it one word.
bool QuotedExecutablePath(char (&commandLine)[262], uint32_t& errorCode) {
    char path[260] = {};
    DWORD length = Api().moduleFileName(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) {
        // A cut-off path would register a service that can never start.
        errorCode = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        TraceLogError("GetModuleFileName():ER=", errorCode);
        return false;
    }
    std::snprintf(commandLine, sizeof(commandLine), "\"%s\"", path);
    return true;
}

}  // namespace

void SetServiceManagerApiForTest(const ServiceManagerApi* api) { activeApi = api ? api : &kRealApi; }

int32_t InstallService(uint32_t& errorCode) {
    ManagerHandle manager(Api().openManager(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        RecordFailure("OpenSCManager():ER=", errorCode);
        TraceLog("Install:NG");
        return 0;
    }

    char commandLine[262] = {};
    if (!QuotedExecutablePath(commandLine, errorCode)) {
        manager.Close();
        TraceLog("Install:NG");
        return 0;
    }

    ManagerHandle service(Api().createService(manager.Get(), kServiceName, kServiceName, SERVICE_CHANGE_CONFIG,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                                              commandLine, nullptr, nullptr, nullptr, nullptr, nullptr));
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

    service.Close();
    manager.Close();
    TraceLog(result == 1 ? "Install:OK" : "Install:NG");
    return result;
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
