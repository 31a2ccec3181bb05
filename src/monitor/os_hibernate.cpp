// Asks Windows to hibernate: the shutdown privilege, then powrprof.dll's request.
#include "monitor/os_hibernate.h"

#include <atomic>
#include <cstring>
#include <string>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "monitor/os_shutdown.h"

namespace {

std::atomic<const HibernateApi*> testApi{nullptr};

using IsPwrHibernateAllowedFn = BOOLEAN(WINAPI*)();
using SetSuspendStateFn = BOOLEAN(WINAPI*)(BOOLEAN, BOOLEAN, BOOLEAN);

// GetProcAddress's generic pointer as the entry's own type; nullptr when missing.
template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
    FARPROC entry = GetProcAddress(module, name);
    Function typed = nullptr;
    static_assert(sizeof(typed) == sizeof(entry), "function pointers of one size");
    std::memcpy(&typed, &entry, sizeof(typed));
    return typed;
}

// True when hibernation was asked for and accepted; otherwise the line says why.
bool Request(const HibernateApi& api, void (*beforeRequest)()) {
    if (api.isPwrHibernateAllowed == nullptr || api.setSuspendState == nullptr) {
        TraceLogError("LoadLibrary():ER=", ERROR_PROC_NOT_FOUND);
        return false;
    }
    if (!api.isPwrHibernateAllowed()) {
        TraceLog("Hibernate:Disabled");
        return false;
    }
    if (beforeRequest != nullptr) beforeRequest();
    if (!api.setSuspendState(TRUE, FALSE, TRUE)) {
        TraceLogError("SetSuspendState():ER=", GetLastError());
        return false;
    }
    return true;
}

// powrprof.dll is held only for the call: a process that hibernates rarely need not
// keep it loaded, and the exe's import table stays as it was.
bool RequestThroughPowrprof(void (*beforeRequest)()) {
    ScopedModuleHandle powrprof(LoadLibraryA("powrprof.dll"));
    if (!powrprof) {
        TraceLogError("LoadLibrary():ER=", GetLastError());
        return false;
    }
    HibernateApi api{};
    api.isPwrHibernateAllowed = EntryPoint<IsPwrHibernateAllowedFn>(powrprof.Get(), "IsPwrHibernateAllowed");
    api.setSuspendState = EntryPoint<SetSuspendStateFn>(powrprof.Get(), "SetSuspendState");
    return Request(api, beforeRequest);
}

}  // namespace

int32_t HibernateOperatingSystem(void (*beforeRequest)()) {
    DWORD error = 0;
    if (!EnableShutdownPrivilege(error)) {
        TraceLogError("ShutdownAdjust():ER=", error);
        return 0;
    }
    const HibernateApi* api = testApi.load();
    const bool accepted = api != nullptr ? Request(*api, beforeRequest) : RequestThroughPowrprof(beforeRequest);
    return accepted ? 1 : 0;
}

void SetHibernateApiForTest(const HibernateApi* api) { testApi.store(api); }
