// Test support: an in-memory service control manager for one service and a registry
// for one key, put in place of the real ones with SetServiceManagerApiForTest. It
// records every call, fails the call a test names with the error the test names, and
// plays back a list of states.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "service/service_control.h"

struct FakeServiceManager {
    // The state the first query sees, then one state per poll; the last one repeats.
    std::vector<DWORD> states = {SERVICE_STOPPED};
    // The call to fail ("OpenSCManager", "CreateService", ...) and its error. With
    // failOnCall > 1 that call succeeds until its failOnCall-th use.
    std::string failCall;
    DWORD failError = 0;
    int failOnCall = 1;
    // What GetModuleFileNameA reports; an empty text reports a 260-byte path.
    std::string modulePath = "C:\\Program Files\\Voltwarden\\Voltwarden.exe";

    // Every call in order, e.g. "OpenSCManager(0x2)", "Close(service)", "Sleep(1000)".
    std::vector<std::string> calls;
    // What CreateService and ChangeServiceConfig2 were given.
    std::string createdName, createdDisplayName, createdBinaryPath, description;
    bool failureActionsSet = false;
    DWORD resetPeriod = 0;
    std::vector<std::pair<int, DWORD>> failureActions;  // (SC_ACTION_TYPE, delay in ms)
    bool failureActionsWithoutRebootOrCommand = false;
    int failureActionsOnErrorStops = -1;  // SERVICE_FAILURE_ACTIONS_FLAG's value; -1 = never set
    DWORD preshutdownTimeout = 0;         // SERVICE_PRESHUTDOWN_INFO's value; 0 = never set
    // The one registry key the service touches: whether it exists, under which path it
    // was created or deleted, and its values (type, bytes) by name.
    bool keyExists = false;
    std::string keyPath;
    REGSAM keyAccess = 0;
    std::map<std::string, std::pair<DWORD, std::string>> keyValues;
    DWORD createdAccess = 0, createdType = 0, createdStart = 0, createdErrorControl = 0;
    bool createdWithNullAccount = false;
    int openHandles = 0;
    int sleeps = 0;
    int queries = 0;
    bool started = false, stopSent = false, deleted = false;

    static FakeServiceManager*& Current() {
        static FakeServiceManager* current = nullptr;
        return current;
    }

    void Install() {
        Current() = this;
        static const ServiceManagerApi api = {
            OpenManager, CreateServiceFake, ChangeConfig2, OpenServiceFake, QueryStatus, StartServiceFake,
            Control,     DeleteServiceFake, CloseHandleFake, ModuleFileName, SleepFake,
            CreateKey,   SetValue,          CloseKey,        DeleteKey,
        };
        SetServiceManagerApiForTest(&api);
    }

    ~FakeServiceManager() {
        SetServiceManagerApiForTest(nullptr);
        Current() = nullptr;
    }

    int Count(const std::string& call) const {
        int n = 0;
        for (const std::string& c : calls) n += c.compare(0, call.size(), call) == 0 ? 1 : 0;
        return n;
    }

private:
    // Distinct fake handle values; never dereferenced.
    static SC_HANDLE ManagerHandle() { return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x1000)); }
    static SC_HANDLE ServiceHandle() { return reinterpret_cast<SC_HANDLE>(static_cast<uintptr_t>(0x2000)); }
    static HKEY KeyHandle() { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x3000)); }

    // True when this use of `call` shall fail; sets the last error then.
    bool Fails(const std::string& call) {
        calls.push_back(call);
        if (failCall.empty() || call.compare(0, failCall.size(), failCall) != 0) return false;
        int uses = 0;
        for (const std::string& c : calls) uses += c.compare(0, failCall.size(), failCall) == 0 ? 1 : 0;
        if (uses != failOnCall) return false;
        SetLastError(failError);
        return true;
    }

    static std::string Hex(DWORD value) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%lX", static_cast<unsigned long>(value));
        return text;
    }

    static SC_HANDLE WINAPI OpenManager(LPCSTR machine, LPCSTR database, DWORD access) {
        FakeServiceManager& f = *Current();
        if (f.Fails("OpenSCManager(" + Hex(access) + ")")) return nullptr;
        if (machine != nullptr || database != nullptr) return nullptr;
        ++f.openHandles;
        return ManagerHandle();
    }

    static SC_HANDLE WINAPI CreateServiceFake(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                                              DWORD type, DWORD start, DWORD errorControl, LPCSTR path,
                                              LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                              LPCSTR password) {
        FakeServiceManager& f = *Current();
        if (f.Fails("CreateService") || manager != ManagerHandle()) return nullptr;
        f.createdName = name;
        f.createdDisplayName = displayName;
        f.createdAccess = access;
        f.createdType = type;
        f.createdStart = start;
        f.createdErrorControl = errorControl;
        f.createdBinaryPath = path;
        f.createdWithNullAccount = group == nullptr && tag == nullptr && dependencies == nullptr &&
                                   account == nullptr && password == nullptr;
        ++f.openHandles;
        return ServiceHandle();
    }

    static BOOL WINAPI ChangeConfig2(SC_HANDLE service, DWORD level, LPVOID info) {
        FakeServiceManager& f = *Current();
        if (f.Fails("ChangeServiceConfig2(" + std::to_string(level) + ")") || service != ServiceHandle()) {
            return FALSE;
        }
        if (level == SERVICE_CONFIG_DESCRIPTION) {
            f.description = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
        } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
            const auto* actions = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
            f.failureActionsSet = true;
            f.resetPeriod = actions->dwResetPeriod;
            f.failureActionsWithoutRebootOrCommand = actions->lpRebootMsg == nullptr && actions->lpCommand == nullptr;
            f.failureActions.clear();
            for (DWORD i = 0; i < actions->cActions; ++i) {
                f.failureActions.emplace_back(actions->lpsaActions[i].Type, actions->lpsaActions[i].Delay);
            }
        } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
            f.failureActionsOnErrorStops = static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
        } else if (level == SERVICE_CONFIG_PRESHUTDOWN_INFO) {
            f.preshutdownTimeout = static_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout;
        }
        return TRUE;
    }

    static SC_HANDLE WINAPI OpenServiceFake(SC_HANDLE manager, LPCSTR name, DWORD access) {
        FakeServiceManager& f = *Current();
        if (f.Fails("OpenService(" + std::string(name) + "," + Hex(access) + ")") || manager != ManagerHandle()) {
            return nullptr;
        }
        ++f.openHandles;
        return ServiceHandle();
    }

    static BOOL WINAPI QueryStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
        FakeServiceManager& f = *Current();
        if (f.Fails("QueryServiceStatus") || service != ServiceHandle()) return FALSE;
        size_t index = static_cast<size_t>(f.queries) < f.states.size() ? f.queries : f.states.size() - 1;
        ++f.queries;
        std::memset(status, 0, sizeof(*status));
        status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status->dwCurrentState = f.states[index];
        return TRUE;
    }

    static BOOL WINAPI StartServiceFake(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
        FakeServiceManager& f = *Current();
        if (f.Fails("StartService(" + std::to_string(argc) + (argv ? ",args)" : ")")) || service != ServiceHandle()) {
            return FALSE;
        }
        f.started = true;
        return TRUE;
    }

    static BOOL WINAPI Control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
        FakeServiceManager& f = *Current();
        if (f.Fails("ControlService(" + std::to_string(control) + ")") || service != ServiceHandle() ||
            status == nullptr) {
            return FALSE;
        }
        f.stopSent = true;
        return TRUE;
    }

    static BOOL WINAPI DeleteServiceFake(SC_HANDLE service) {
        FakeServiceManager& f = *Current();
        if (f.Fails("DeleteService") || service != ServiceHandle()) return FALSE;
        f.deleted = true;
        return TRUE;
    }

    static BOOL WINAPI CloseHandleFake(SC_HANDLE handle) {
        FakeServiceManager& f = *Current();
        f.calls.push_back(handle == ServiceHandle() ? "Close(service)" : handle == ManagerHandle() ? "Close(manager)"
                                                                                                 : "Close(?)");
        --f.openHandles;
        SetLastError(0);  // a close that clobbers the last error must not change what is reported
        return TRUE;
    }

    static DWORD WINAPI ModuleFileName(HMODULE module, LPSTR buffer, DWORD size) {
        FakeServiceManager& f = *Current();
        f.calls.push_back(module == nullptr ? "GetModuleFileName" : "GetModuleFileName(module)");
        if (f.modulePath.empty()) {
            std::memset(buffer, 'x', size);
            buffer[size - 1] = '\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        }
        std::snprintf(buffer, size, "%s", f.modulePath.c_str());
        return static_cast<DWORD>(f.modulePath.size());
    }

    static void WINAPI SleepFake(DWORD milliseconds) {
        FakeServiceManager& f = *Current();
        f.calls.push_back("Sleep(" + std::to_string(milliseconds) + ")");
        ++f.sleeps;
    }

    // The registry answers with its error code; the last error is left alone.
    LONG RegistryFailure(const std::string& call) {
        DWORD saved = GetLastError();
        bool fails = Fails(call);
        SetLastError(saved);
        return fails ? static_cast<LONG>(failError) : ERROR_SUCCESS;
    }

    static LONG WINAPI CreateKey(HKEY root, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM access,
                                 LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD disposition) {
        FakeServiceManager& f = *Current();
        if (LONG error = f.RegistryFailure(root == HKEY_LOCAL_MACHINE ? "RegCreateKeyEx(HKLM)" : "RegCreateKeyEx(?)")) {
            return error;
        }
        if (options != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
        f.keyPath = subKey;
        f.keyAccess = access;
        if (disposition) *disposition = f.keyExists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        f.keyExists = true;
        ++f.openHandles;
        *key = KeyHandle();
        return ERROR_SUCCESS;
    }

    static LONG WINAPI SetValue(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
        FakeServiceManager& f = *Current();
        if (LONG error = f.RegistryFailure("RegSetValueEx(" + std::string(name) + ")")) return error;
        if (key != KeyHandle()) return ERROR_INVALID_HANDLE;
        f.keyValues[name] = {type, std::string(reinterpret_cast<const char*>(data), size)};
        return ERROR_SUCCESS;
    }

    static LONG WINAPI CloseKey(HKEY key) {
        FakeServiceManager& f = *Current();
        f.calls.push_back(key == KeyHandle() ? "RegCloseKey" : "RegCloseKey(?)");
        --f.openHandles;
        SetLastError(0);
        return ERROR_SUCCESS;
    }

    static LONG WINAPI DeleteKey(HKEY root, LPCSTR subKey) {
        FakeServiceManager& f = *Current();
        if (LONG error = f.RegistryFailure(root == HKEY_LOCAL_MACHINE ? "RegDeleteKey(HKLM)" : "RegDeleteKey(?)")) {
            return error;
        }
        if (!f.keyExists || f.keyPath != subKey) return ERROR_FILE_NOT_FOUND;
        f.keyExists = false;
        f.keyValues.clear();
        return ERROR_SUCCESS;
    }
};
