// The monitor's ties to the outside world, gathered in one table so that tests can
// drive a whole mains failure without a UPS, a clock that really runs, a child
// process or a shutdown of the machine.
#pragma once

#include <cstdint>
#include <string>

#include "common/win32.h"
#include "ups/ups_library.h"

struct MonitorSeams {
    // Loads NervaUPSLib.dll once and fills the table (ups/ups_loader.h).
    int32_t (*LoadUpsLibrary)(UpsLibrary& table, uint32_t& error);
    // Makes the folder of the loaded NervaUPSLib.dll the current directory (with none
    // loaded, the executable's folder).
    bool (*EnterUpsLibraryFolder)();
    // For a DEVICE that names a UPS another machine serves (<ups>@<host>): fills the table
    // with the network source's entry points instead (network_ups/network_ups_library.h).
    int32_t (*LoadNetworkUps)(UpsLibrary& table, uint32_t& error);
    // monitor/external_command.h. The shutdown sequence passes no wake event: once
    // started, the command keeps its whole EXCMDTIME, whatever the service is told.
    using RunExternalCommandFn = int32_t (*)(const std::string& commandLine, std::string& output,
                                             int32_t timeLimitSeconds, HANDLE wakeEvent);
    RunExternalCommandFn RunExternalCommand;
    // monitor/os_shutdown.h.
    int32_t (*ShutdownOperatingSystem)();
    // Waits `milliseconds`, parking while a pause is requested. True when the time
    // has passed; false at once when a stop has been requested.
    bool (*Wait)(uint32_t milliseconds);
    // The wait between two passes: as Wait, and it also ends early (true) as soon as
    // the UPS event callback signals a change of the mains state.
    bool (*WaitBetweenPasses)(uint32_t milliseconds);
    // A wait inside the shutdown sequence: neither a stop nor a pause shortens it.
    void (*SequenceWait)(uint32_t milliseconds);
    // Called before each irreversible step (UPS output-off, OS shutdown): returns at
    // once unless a pause is requested, and then parks until continued or stopped.
    void (*HoldWhilePaused)();
    // Releases memory the UPS library handed over (records, device lists, model names).
    void (*ReleaseUpsMemory)(void* memory);
    // Before the UPS output-off: waits until the network UPS clients have logged out,
    // the MonotonicNow() deadline has passed or `wakeEvent` (when given) is signalled.
    // The real one is whatever the program handed over with SetMonitorNetworkClientsWait
    // (the service: its network UPS server's); null (the monitor's own tests) waits for nothing.
    using WaitForNetworkClientsFn = int32_t (*)(int64_t deadlineMonotonicTicks, HANDLE wakeEvent);
    WaitForNetworkClientsFn WaitForNetworkClients;
    // monitor/os_hibernate.h: the request made instead of the power-off when OS_SHUTDOWN
    // is "hibernate"; `beforeRequest` runs just before the call that returns after the wake.
    int32_t (*HibernateOperatingSystem)(void (*beforeRequest)());
    // monitor/power_request.h: keeps Windows from falling asleep while `awake`
    // (monitor/stay_awake.h says when). Called on a change only; null does nothing.
    void (*KeepSystemAwake)(bool awake);
};

// The program that serves network UPS clients hands its wait for them to the monitor,
// which knows nothing of the network; nullptr takes it back.
void SetMonitorNetworkClientsWait(MonitorSeams::WaitForNetworkClientsFn wait);

// The table in use; the real functions unless a test replaced them.
const MonitorSeams& ActiveMonitorSeams();
MonitorSeams DefaultMonitorSeams();
// Tests install their own table before any monitor thread runs; nullptr restores the real one.
void SetMonitorSeamsForTest(const MonitorSeams* seams);

// The process-wide entry-point table the monitor and the event callback call through:
// the maker's library's, or the network source's once a connect attempt chose it.
UpsLibrary& MonitorUpsLibrary();
// Makes the maker's library's table (false) or the network source's (true) the one in
// use, and returns it. Each has its own, so that a change of DEVICE between the two
// never finds the other's entry points, and the library, once loaded, stays filled in.
UpsLibrary& UseMonitorUpsSource(bool network);

// The real implementations behind the defaults, for tests that wrap them.
bool EnterUpsLibraryFolder();
bool MonitorWaitForStopOrTimeout(uint32_t milliseconds);
bool MonitorWaitBetweenPasses(uint32_t milliseconds);
void MonitorSequenceWait(uint32_t milliseconds);
void MonitorHoldWhilePaused();

// True while the monitor thread is parked by a pause.
bool MonitorIsParked();
