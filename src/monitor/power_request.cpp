// The system-required power request and its owner.
#include "monitor/power_request.h"

#include <atomic>
#include <memory>
#include <string>

#include "log/repeated_failure_log.h"

namespace {

const PowerRequestApi kSystemApi = {PowerCreateRequest, PowerSetRequest, PowerClearRequest};
std::atomic<const PowerRequestApi*> activeApi{&kSystemApi};

// What `powercfg /requests` shows as the reason.
wchar_t kReason[] = L"Voltwarden: mains power has failed; the shutdown sequence may need the computer";

// The request held while the computer is kept awake; none otherwise.
std::unique_ptr<SystemAwakeRequest>& HeldRequest() {
    static std::unique_ptr<SystemAwakeRequest> held;
    return held;
}

// Never destroyed, like every other failure log the service's threads share.
RepeatedFailureLog& FailureLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

}  // namespace

SystemAwakeRequest::~SystemAwakeRequest() {
    if (set_) api_.clear(request_.Get(), PowerRequestSystemRequired);
}

PowerRequestFailure SystemAwakeRequest::Set() {
    REASON_CONTEXT reason = {};
    reason.Version = POWER_REQUEST_CONTEXT_VERSION;
    reason.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    reason.Reason.SimpleReasonString = kReason;
    request_.Reset(api_.create(&reason));
    if (!request_) {
        const DWORD error = GetLastError();
        return {"PowerCreateRequest():ER=", static_cast<uint32_t>(error)};
    }
    if (!api_.set(request_.Get(), PowerRequestSystemRequired)) {
        const DWORD error = GetLastError();
        request_.Close();
        return {"PowerSetRequest():ER=", static_cast<uint32_t>(error)};
    }
    set_ = true;
    return {};
}

void KeepSystemAwake(bool awake) {
    std::unique_ptr<SystemAwakeRequest>& held = HeldRequest();
    if (!awake) {
        held.reset();
        return;
    }
    if (held != nullptr) return;
    auto request = std::make_unique<SystemAwakeRequest>(*activeApi.load());
    const PowerRequestFailure failure = request->Set();
    if (failure.call != nullptr) {
        FailureLog().Failed(failure.call + std::to_string(failure.error));
        return;
    }
    FailureLog().Succeeded();
    held = std::move(request);
}

void SetPowerRequestApiForTest(const PowerRequestApi* api) {
    HeldRequest().reset();
    FailureLog().Succeeded();
    activeApi.store(api != nullptr ? api : &kSystemApi);
}
