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
    // Makes the folder of the loaded NervaUPSLib.dll the current directory.
    bool (*EnterUpsLibraryFolder)();
    // monitor/external_command.h; `wakeEvent` is the stop event.
    int32_t (*RunExternalCommand)(const std::string& commandLine, std::string& output, int32_t timeLimitSeconds,
                                  HANDLE wakeEvent);
    // monitor/os_shutdown.h.
    int32_t (*ShutdownOperatingSystem)();
    // Waits `milliseconds`, parking while a pause is requested. True when the time
    // has passed; false at once when a stop has been requested.
    bool (*Wait)(uint32_t milliseconds);
    // Releases memory the UPS library handed over (records, device lists, model names).
    void (*ReleaseUpsMemory)(void* memory);
    // Before the UPS output-off: waits until the network UPS clients have logged out,
    // the MonotonicNow() deadline has passed or `wakeEvent` (the stop event) is
    // signalled (nut/nut_server.h). Null (the monitor's own tests) waits for nothing.
    int32_t (*WaitForNetworkClients)(int64_t deadlineMonotonicTicks, HANDLE wakeEvent);
};

// The table in use; the real functions unless a test replaced them.
const MonitorSeams& ActiveMonitorSeams();
MonitorSeams DefaultMonitorSeams();
// Tests install their own table before any monitor thread runs; nullptr restores the real one.
void SetMonitorSeamsForTest(const MonitorSeams* seams);

// The process-wide entry-point table the monitor and the event callback call through.
UpsLibrary& MonitorUpsLibrary();

// The real implementations behind the defaults, for tests that wrap them.
bool EnterUpsLibraryFolder();
bool MonitorWaitForStopOrTimeout(uint32_t milliseconds);

// Manual-reset event that is signalled from a stop request until the next MonitorPrepareRun.
HANDLE MonitorStopEvent();
bool MonitorStopRequested();
// True while the monitor thread is parked by a pause.
bool MonitorIsParked();
