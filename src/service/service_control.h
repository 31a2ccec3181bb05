// Installs, starts, stops and removes the service through the service control
// manager, and tells the console whether it runs.
#pragma once

#include <cstdint>

#include "common/win32.h"

// The service's one identity: its name, display name and description.
constexpr char kServiceName[] = "VoltwardenBasicEdition";

// How long Windows holds its shutdown for the service once it has told it of the shutdown
// (SERVICE_CONTROL_PRESHUTDOWN), at most. An idle service stops within a second, so this
// is spent only when Windows shuts down while a shutdown sequence runs (an administrator
// shuts down during the external command): the stop lets the sequence complete, the
// command within its EXCMDTIME and the UPS output-off, and three minutes cover the
// usual command. Windows' own default was three minutes up to build 15063 and is ten
// seconds since, too short for a command; longer would hold back the shutdown of a
// computer running on its battery.
constexpr DWORD kPreshutdownTimeoutMs = 3 * 60 * 1000;

// Registers the executable as an auto-start service running as LocalSystem, sets it
// to restart after a crash or a failed start, gives it its preshutdown time and
// registers the executable as the event source's message file. Returns 1, or 0 with the
// failed call's error in `errorCode`; the recovery, the preshutdown time and the
// message file are logged when they fail but do not fail it.
int32_t InstallService(uint32_t& errorCode);

// Gives the installed service its preshutdown time (kPreshutdownTimeoutMs). The service
// calls it at each start, once it has reported running, so that it has that time however
// it was installed (the Windows Installer package cannot say it). Logs
// "<call>():ER=<error>" when refused; true when set.
bool SetInstalledServicePreshutdownTimeout();

// Brings the service to `targetState` (SERVICE_RUNNING or SERVICE_STOPPED), waiting
// up to 30 polls of 1 s; with `deleteFlag` 1 and SERVICE_STOPPED it is then deleted,
// and the event source's registry key with it.
// Returns 1, or 0; `errorCode` receives a failed call's error and is left as it was
// when the only failure is that the state did not come in time.
int32_t ChangeServiceState(uint32_t targetState, int32_t deleteFlag, uint32_t& errorCode);

// `running` is 1 when the service's state is SERVICE_RUNNING. Returns 1 when the
// state could be queried, else 0 with the error in `errorCode`. Writes no log line.
int32_t QueryServiceRunning(uint32_t& running, uint32_t& errorCode);

// The service control manager and the registry as these operations see them; tests
// replace them. The registry calls return their error instead of setting the last error.
struct ServiceManagerApi {
    SC_HANDLE(WINAPI* openManager)(LPCSTR machine, LPCSTR database, DWORD access);
    SC_HANDLE(WINAPI* createService)(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access,
                                     DWORD serviceType, DWORD startType, DWORD errorControl,
                                     LPCSTR binaryPath, LPCSTR loadOrderGroup, LPDWORD tagId,
                                     LPCSTR dependencies, LPCSTR account, LPCSTR password);
    BOOL(WINAPI* changeConfig2)(SC_HANDLE service, DWORD infoLevel, LPVOID info);
    SC_HANDLE(WINAPI* openService)(SC_HANDLE manager, LPCSTR name, DWORD access);
    BOOL(WINAPI* queryStatus)(SC_HANDLE service, LPSERVICE_STATUS status);
    BOOL(WINAPI* startService)(SC_HANDLE service, DWORD argc, LPCSTR* argv);
    BOOL(WINAPI* controlService)(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
    BOOL(WINAPI* deleteService)(SC_HANDLE service);
    BOOL(WINAPI* closeHandle)(SC_HANDLE handle);
    DWORD(WINAPI* moduleFileName)(HMODULE module, LPSTR buffer, DWORD size);
    void(WINAPI* sleep)(DWORD milliseconds);  // the pause before each poll
    LONG(WINAPI* createKey)(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                            REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition);
    LONG(WINAPI* setValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
    LONG(WINAPI* closeKey)(HKEY key);
    LONG(WINAPI* deleteKey)(HKEY root, LPCSTR subKey);
};

// Replaces the manager for tests; nullptr restores the real one.
void SetServiceManagerApiForTest(const ServiceManagerApi* api);

// The manager in use: the real one, or the one a test put in place.
const ServiceManagerApi& ServiceManagerApiInUse();
