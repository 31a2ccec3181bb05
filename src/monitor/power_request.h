// The request that keeps Windows from falling asleep through an outage. A UPS behind
// the maker's library is invisible to Windows' power policy, so the idle-sleep timer
// still runs while the computer is on battery: without the request it could sleep
// during WAIT_TIME or EXCMD, freezing the sequence while the battery drains.
#pragma once

#include <cstdint>

#include "common/scoped_handle.h"
#include "common/win32.h"

// The entry points the request goes through; tests replace them.
struct PowerRequestApi {
    HANDLE(WINAPI* create)(PREASON_CONTEXT context);
    BOOL(WINAPI* set)(HANDLE request, POWER_REQUEST_TYPE type);
    BOOL(WINAPI* clear)(HANDLE request, POWER_REQUEST_TYPE type);
};

// What failed when the request could not be made: the call and its error.
struct PowerRequestFailure {
    const char* call = nullptr;  // nullptr: nothing failed
    uint32_t error = 0;
};

// One system-required power request (PowerCreateRequest, then
// PowerSetRequest(PowerRequestSystemRequired)), cleared and closed with its owner.
class SystemAwakeRequest {
public:
    explicit SystemAwakeRequest(const PowerRequestApi& api) : api_(api) {}
    ~SystemAwakeRequest();
    SystemAwakeRequest(const SystemAwakeRequest&) = delete;
    SystemAwakeRequest& operator=(const SystemAwakeRequest&) = delete;

    // Creates and sets the request; on failure nothing is held.
    PowerRequestFailure Set();

private:
    PowerRequestApi api_;
    ScopedKernelHandle request_;
    bool set_ = false;
};

// The monitor's seam (MonitorSeams::KeepSystemAwake): holds the process's one request
// while `awake`, lets go of it otherwise. A request that cannot be made is written as
// "PowerCreateRequest():ER=<error>" or "PowerSetRequest():ER=<error>", once, then once
// an hour while it keeps failing (log/repeated_failure_log.h); the monitor goes on
// without it. Called from the monitor thread only.
void KeepSystemAwake(bool awake);

// Replaces the entry points for tests; nullptr restores the system's. Also lets go of
// a request held and forgets the failures written, so each test starts afresh.
void SetPowerRequestApiForTest(const PowerRequestApi* api);
