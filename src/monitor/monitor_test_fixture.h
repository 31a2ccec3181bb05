// Test support for the monitor: a fake UPS library, fake clocks that only move when
// the monitor waits (a monotonic one, and a wall clock that a test may step), and observers for the event log, the data log, the status
// file and the Windows events. A whole mains failure runs in milliseconds.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "common/clock.h"
#include "log/windows_event.h"
#include "monitor/monitor_seams.h"
#include "testing/scratch_directory.h"
#include "ups/ups_library.h"

namespace monitor_test {

// 2026-12-10 03:00:00 UTC.
constexpr int64_t kStartTicks = kUnixEpochTicks + 1796871600LL * kTicksPerSecond;
constexpr int64_t kMs = kTicksPerSecond / 1000;

struct WindowsEvent {
    uint16_t type;
    uint32_t identifier;
    bool operator==(const WindowsEvent& other) const { return type == other.type && identifier == other.identifier; }
};
std::ostream& operator<<(std::ostream& out, const WindowsEvent& event);

// The Windows events the monitor reports, as the tests expect them.
inline const WindowsEvent kConnectedEvent{kEventTypeInformation, kEventUpsConnected};
inline const WindowsEvent kLostEvent{kEventTypeWarning, kEventUpsDisconnected};
inline const WindowsEvent kAcFailEvent{kEventTypeWarning, kEventAcFail};
inline const WindowsEvent kRecoveryEvent{kEventTypeInformation, kEventPowerRecovery};
inline const WindowsEvent kBatteryLowEvent{kEventTypeWarning, kEventBatteryLow};
inline const WindowsEvent kOsShutdownEvent{kEventTypeWarning, kEventOsShutdown};
inline const WindowsEvent kNotDoneEvent{kEventTypeWarning, kEventOsShutdownNotDone};

// One scripted happening at the UPS, at a moment of the fake clock.
struct Happening {
    int64_t at;
    std::function<void()> action;
};

// Everything the fake library, the fake runner and the fake waits are told and do.
struct FakeWorld {
    // The library.
    std::vector<std::string> calls;  // in order: "InitNervaUPSLib", "OpenCOM(COM1)", "Wait(1000)", ...
    std::vector<int64_t> usbDevices{7};
    std::vector<std::string> comPorts;
    std::set<std::string> openComFails;
    std::set<int64_t> startEventFails;
    std::map<std::string, int64_t> comHandles;  // port -> handle; default 100 + list position
    int32_t modelResult = 0;
    std::string model = "NV-1500";
    int32_t batteryLevel = 87;
    int32_t upsShutdownResult = 0;
    NervaEventCallback callback = nullptr;
    std::vector<int32_t> connectionWhenListed;  // CONNECTION in the status when the device list was asked for
    uint32_t loadError = 0;                      // nonzero: LoadUpsLibrary fails with it
    bool enterFolderOk = true;
    std::vector<int64_t> upsShutdownAt;
    bool batteryLevelThrows = false;  // GetCurrentBatteryLevel throws std::bad_alloc
    bool releaseThrows = false;       // the release seam throws std::bad_alloc once it has freed
    int batteryLevelCalls = 0;
    // A library that hangs: these calls ("InitNervaUPSLib", "GetUPSList", "GetModelName",
    // "GetCurrentBatteryLevel", "Shutdown") block in real time until the test calls
    // ReleaseBlockedCalls.
    std::set<std::string> blockingCalls;
    // Every entry point the fake library implements notes the thread it was called on
    // (under CallersLock: the link and the battery lane may call at once).
    std::vector<std::pair<std::string, DWORD>> callers;

    // The device's own reports: a record every `recordPeriodMs` while it is open.
    bool sendsRecords = false;
    bool sendsAliveOnly = false;  // reports signs of life (code 1) instead of records
    int64_t recordPeriodMs = 1000;
    int32_t mainsIndicator = 0;
    int64_t nextRecordAt = 0;
    int64_t openDevice = -1;  // the handle the fake device reports for; -1 = none
    std::vector<Happening> script;

    // The external command and the OS shutdown.
    int64_t commandRunsMs = 0;  // how long the command runs; beyond the limit it keeps running
    std::vector<std::string> commands;
    std::vector<int32_t> commandLimits;
    std::vector<HANDLE> commandWakeEvents;
    std::vector<int64_t> commandStartedAt;  // on the monotonic clock, as every moment here
    int commandThrows = 0;                  // so many runs throw std::bad_alloc
    std::vector<int32_t> osShutdownResults;  // consumed in order; 1 once empty
    std::vector<int64_t> osShutdownAt;
    // Consumed in order, 1 once empty: 1 accepted and 0 refused by SetSuspendState, both
    // after the request was announced; -1 refused before it (hibernation switched off).
    std::vector<int32_t> hibernateResults;
    std::vector<int64_t> hibernateAt;
    // The request that keeps Windows awake: each change, in order (true: set).
    std::vector<bool> keptAwake;

    // Memory handed out by the library and given back through the seam.
    std::set<void*> outstanding;
    int released = 0;
    int releasedUnknown = 0;

    // The waits.
    std::vector<uint32_t> waits;
    std::vector<int64_t> passWaitsEndedAt;  // when each wait between two passes ended
    int64_t stopAt = INT64_MAX;  // a wait reaching this moment reports a stop
};

extern FakeWorld* world;
std::mutex& CallersLock();
// The fake monotonic clock. The fake wall clock reads fakeNow + wallClockStep.
extern std::atomic<int64_t> fakeNow;
extern std::atomic<int64_t> wallClockStep;
// The fake unbiased clock reads fakeNow + unbiasedStep: it stands still while the
// computer sleeps (Hibernation).
extern std::atomic<int64_t> unbiasedStep;

// Moves the fake clock, delivering the device's records and the script on the way.
void Advance(int64_t ticks);
// The same, but stops as soon as the UPS event callback has signalled a mains change
// (as the wait between passes does); true when it stopped for that.
bool AdvanceUntilMainsChange(int64_t ticks);
// Sets the wall clock forward (or back, for a negative step), as time synchronisation
// would; the monotonic clock does not move.
void StepWallClock(int64_t ticks);
// The computer hibernates for `ticks`: the monotonic and wall clocks move on, the
// unbiased clock does not, and the UPS's reports meanwhile are lost.
void Hibernation(int64_t ticks);
// The UPS reports a mains failure, or mains power back, for the device it reports for;
// its records say the same from then on.
void FailMains();
void RestoreMains();
// A malloc'd record as the library hands it over.
StatusRecord* NewRecord(int32_t mainsFailed, const char* field2 = "60.0", const char* field4 = "60.0");
UpsLibrary FakeUpsTable();
MonitorSeams FakeSeams();
// Lets every blocked call return, and waits until the UPS link and the battery lane are
// free again.
void ReleaseBlockedCalls();
// Waits until the battery-level query that a record started has been answered (unless
// the test makes that query hang), so that the fake clock moves only after it.
void SettleBatteryQuery();

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Setting.ini with these values, the rest defaults.
    void WriteSettingsFile(int32_t waitTime, const std::string& exCmd = "", int32_t exCmdTime = 0,
                           const std::string& device = "USB", int32_t backupTime = 3);
    std::vector<std::string> TraceLines() const;  // texts of EventLog.csv, stamps removed
    std::vector<std::string> DataLines() const;   // data lines of today's file, stamps removed
    std::vector<WindowsEvent> Events() const;
    // Connects through MonitorPass to the device that DEVICE names.
    void Connect();
    // Runs MonitorThreadMain on this thread with the fake waits; ends when a pass
    // returns 1 or when the fake clock reaches `until`.
    void RunThreadUntil(int64_t until);
    // Delivers one event for the current device, as the library thread would.
    void Deliver(int32_t code, void* data = nullptr);
    // Device 7 connected and heard now; mains failed long before WAIT_TIME 0 ran out,
    // so the next pass runs the shutdown sequence.
    void ReadyForTheSequence();

    std::unique_ptr<ScratchDirectory> scratch;
    FakeWorld fake;
};

}  // namespace monitor_test
