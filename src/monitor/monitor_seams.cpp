// The real functions behind the monitor's seams.
#include "monitor/monitor_seams.h"

#include <atomic>
#include <cstdlib>

#include "common/exe_path.h"
#include "monitor/external_command.h"
#include "monitor/os_hibernate.h"
#include "monitor/os_shutdown.h"
#include "monitor/power_request.h"
#include "network_ups/network_ups_library.h"
#include "ups/ups_loader.h"

namespace {

int32_t RunExternalCommandThroughSeam(const std::string& commandLine, std::string& output, int32_t timeLimitSeconds,
                                      HANDLE wakeEvent) {
    return RunExternalCommand(commandLine, output, timeLimitSeconds, wakeEvent);
}

void ReleaseWithFree(void* memory) { std::free(memory); }

// The wait for network UPS clients that the program handed over; none until then.
std::atomic<MonitorSeams::WaitForNetworkClientsFn> networkClientsWait{nullptr};

int32_t WaitForHandedNetworkClients(int64_t deadlineMonotonicTicks, HANDLE wakeEvent) {
    const MonitorSeams::WaitForNetworkClientsFn wait = networkClientsWait.load();
    return wait != nullptr ? wait(deadlineMonotonicTicks, wakeEvent) : 1;
}

const MonitorSeams kDefaultSeams = {
    &LoadUpsLibrary,          &EnterUpsLibraryFolder,       &LoadNetworkUpsLibrary,
    &RunExternalCommandThroughSeam, &ShutdownOperatingSystem, &MonitorWaitForStopOrTimeout,
    &MonitorWaitBetweenPasses, &MonitorSequenceWait,        &MonitorHoldWhilePaused,
    &ReleaseWithFree,         &WaitForHandedNetworkClients, &HibernateOperatingSystem,
    &KeepSystemAwake,
};

MonitorSeams testSeams;
std::atomic<const MonitorSeams*> activeSeams{&kDefaultSeams};

UpsLibrary makerLibraryTable;
UpsLibrary networkUpsTable;
std::atomic<UpsLibrary*> tableInUse{&makerLibraryTable};

}  // namespace

const MonitorSeams& ActiveMonitorSeams() { return *activeSeams.load(); }

MonitorSeams DefaultMonitorSeams() { return kDefaultSeams; }

void SetMonitorSeamsForTest(const MonitorSeams* seams) {
    tableInUse = &makerLibraryTable;
    if (seams == nullptr) {
        activeSeams = &kDefaultSeams;
        return;
    }
    activeSeams = &kDefaultSeams;
    testSeams = *seams;
    activeSeams = &testSeams;
}

UpsLibrary& MonitorUpsLibrary() { return *tableInUse.load(); }

UpsLibrary& UseMonitorUpsSource(bool network) {
    tableInUse = network ? &networkUpsTable : &makerLibraryTable;
    return MonitorUpsLibrary();
}

void SetMonitorNetworkClientsWait(MonitorSeams::WaitForNetworkClientsFn wait) { networkClientsWait = wait; }

bool EnterUpsLibraryFolder() {
    HMODULE library = GetModuleHandleA("NervaUPSLib.dll");
    // A UPS that another machine serves needs no library: the executable's folder, where
    // the library would stand.
    if (library == nullptr) return SetCurrentDirectoryA(ExeDirectory().c_str()) != 0;
    char path[260] = {};
    DWORD length = GetModuleFileNameA(library, path, sizeof(path));
    // A full buffer means the path was cut short: no folder we could trust.
    if (length == 0 || length >= sizeof(path)) return false;
    std::string folder(path, length);
    size_t slash = folder.find_last_of('\\');
    if (slash == std::string::npos) return false;
    folder.resize(slash);
    // "C:" alone names the drive's current folder, not its root.
    if (folder.size() == 2 && folder[1] == ':') folder += '\\';
    return SetCurrentDirectoryA(folder.c_str()) != 0;
}
