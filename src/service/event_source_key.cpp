// Registers and removes our event source's message file through the same replaceable
// table as the service manager, so that unit tests never touch the real registry.
#include "service/event_source_key.h"

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "service/service_control.h"

namespace {

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { ServiceManagerApiInUse().closeKey(h); }
};
using RegistryKey = ScopedHandle<RegistryKeyTraits>;

constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The registry returns its error rather than setting the last error.
bool Succeeded(LONG status, const char* linePrefix) {
    if (status == ERROR_SUCCESS) return true;
    TraceLogError(linePrefix, static_cast<uint32_t>(status));
    return false;
}

}  // namespace

std::string EventSourceKeyPath() {
    return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + kWindowsEventSourceName;
}

bool WriteEventSourceKey(const std::string& exePath) {
    const ServiceManagerApi& api = ServiceManagerApiInUse();
    RegistryKey key;
    DWORD disposition = 0;
    if (!Succeeded(api.createKey(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.Receive(), &disposition),
                   "RegCreateKeyEx():ER=")) {
        return false;
    }
    // REG_SZ, not REG_EXPAND_SZ: a folder name with a percent sign stays what it is.
    const BYTE* path = reinterpret_cast<const BYTE*>(exePath.c_str());
    if (!Succeeded(api.setValue(key.Get(), "EventMessageFile", 0, REG_SZ, path,
                                static_cast<DWORD>(exePath.size() + 1)),
                   "RegSetValueEx():ER=")) {
        return false;
    }
    return Succeeded(api.setValue(key.Get(), "TypesSupported", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof(kTypesSupported)),
                     "RegSetValueEx():ER=");
}

bool DeleteEventSourceKey() {
    LONG status = ServiceManagerApiInUse().deleteKey(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str());
    // An installation older than the message file has no key to remove.
    if (status == ERROR_FILE_NOT_FOUND) return true;
    return Succeeded(status, "RegDeleteKey():ER=");
}
