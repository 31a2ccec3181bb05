// Asks Windows to shut the computer down: first the shutdown privilege for our own
// token, then the request itself.
#include "monitor/os_shutdown.h"

#include <atomic>

#include <string>

#include "log/event_log.h"
#include "log/repeated_failure_log.h"

namespace {

const ShutdownApi kSystemApi = {
    &OpenProcessToken,  &LookupPrivilegeValueA, &AdjustTokenPrivileges, &InitiateSystemShutdownExA,
    &CloseHandle,       &AbortSystemShutdownA,
};

// A refused shutdown is asked for again on every pass until Windows takes it: its line
// is written like any other repeated failure. Never destroyed, as the monitor thread
// may use it while the process ends.
RepeatedFailureLog& ShutdownFailureLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

// Windows refuses our request while a shutdown or restart of its own is scheduled or
// under way (an update that restarts in an hour, `shutdown /r /t 3600`): that one is
// aborted, so that ours, at once and without restart, takes its place.
// mingw-w64's headers lack ERROR_SHUTDOWN_IS_SCHEDULED.
constexpr DWORD kShutdownIsScheduled = 1190;

bool AnotherShutdownIsPending(DWORD refusal) {
    return refusal == kShutdownIsScheduled || refusal == ERROR_SHUTDOWN_IN_PROGRESS;
}

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
bool EnablePrivilegeThrough(const ShutdownApi& api, DWORD& error) {
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

bool EnableShutdownPrivilege(DWORD& error) { return EnablePrivilegeThrough(*activeApi.load(), error); }

int32_t ShutdownOperatingSystem() {
    const ShutdownApi& api = *activeApi.load();
    DWORD error = 0;
    if (!EnablePrivilegeThrough(api, error)) {
        ShutdownFailureLog().Failed("ShutdownAdjust():ER=" + std::to_string(error));
        return 0;
    }
    const auto request = [&api] {
        return api.initiateSystemShutdownEx(nullptr, nullptr, 0, TRUE, FALSE, kShutdownReasonPowerFailure);
    };
    if (request()) {
        ShutdownFailureLog().Succeeded();
        return 1;
    }
    DWORD refusal = GetLastError();
    ShutdownFailureLog().Failed("InitiateSystemShutdownEx():ER=" + std::to_string(refusal));
    if (!AnotherShutdownIsPending(refusal) || api.abortSystemShutdown == nullptr) return 0;
    if (!api.abortSystemShutdown(nullptr)) {
        ShutdownFailureLog().Failed("AbortSystemShutdown():ER=" + std::to_string(GetLastError()));
        return 0;
    }
    if (request()) {
        ShutdownFailureLog().Succeeded();
        return 1;
    }
    refusal = GetLastError();
    ShutdownFailureLog().Failed("InitiateSystemShutdownEx():ER=" + std::to_string(refusal));
    return 0;
}

void ResetShutdownFailureLogForTest() { ShutdownFailureLog().Succeeded(); }
