// Asks Windows to shut the computer down: first the shutdown privilege for our own
// token, then the request itself.
#include "monitor/os_shutdown.h"

#include <atomic>

#include "log/event_log.h"

namespace {

const ShutdownApi kSystemApi = {
    &OpenProcessToken, &LookupPrivilegeValueA, &AdjustTokenPrivileges, &InitiateSystemShutdownExA, &CloseHandle,
};

std::atomic<const ShutdownApi*> activeApi{&kSystemApi};

// Owns the process token through whichever close call the active API provides.
class TokenHolder {
public:
    explicit TokenHolder(const ShutdownApi& api) : api_(api) {}
    TokenHolder(const TokenHolder&) = delete;
    TokenHolder& operator=(const TokenHolder&) = delete;
    ~TokenHolder() {
        if (token_ != nullptr) {
            DWORD savedError = GetLastError();
            api_.closeHandle(token_);
            SetLastError(savedError);
        }
    }
    HANDLE* Receive() { return &token_; }
    HANDLE Get() const { return token_; }

private:
    const ShutdownApi& api_;
    HANDLE token_ = nullptr;
};

// Steps 1 to 3: true when the privilege is enabled; otherwise `error` is the failing call's.
bool EnableShutdownPrivilege(const ShutdownApi& api, DWORD& error) {
    TokenHolder token(api);
    if (!api.openProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Receive())) {
        error = GetLastError();
        return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!api.lookupPrivilegeValue(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        error = GetLastError();
        return false;
    }
    // A token that lacks the privilege altogether still "succeeds" here
    // (ERROR_NOT_ALL_ASSIGNED); the shutdown request below is then refused and logged.
    if (!api.adjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr)) {
        error = GetLastError();
        return false;
    }
    return true;
}

}  // namespace

const ShutdownApi& SystemShutdownApi() { return kSystemApi; }

void SetShutdownApiForTest(const ShutdownApi* api) { activeApi.store(api != nullptr ? api : &kSystemApi); }

int32_t ShutdownOperatingSystem() {
    const ShutdownApi& api = *activeApi.load();
    DWORD error = 0;
    if (!EnableShutdownPrivilege(api, error)) {
        TraceLogError("ShutdownAdjust():ER=", error);
        return 0;
    }
    BOOL accepted = api.initiateSystemShutdownEx(nullptr, nullptr, 0, TRUE, FALSE, kShutdownReasonPowerSupply);
    if (!accepted) {
        DWORD refusal = GetLastError();
        TraceLogError("InitiateSystemShutdownEx():ER=", refusal);
        return 0;
    }
    return accepted;
}
