// One pass of the monitor, once a second: notices a silent UPS, connects when no UPS
// is connected, and runs the shutdown sequence once mains power has failed for longer
// than WAIT_TIME. Every elapsed time is measured on the monotonic clock.
#include <string>

#include "common/clock.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/event_log.h"
#include "log/repeated_failure_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_thread.h"
#include "monitor/shutdown_sequence.h"
#include "monitor/ups_data_freshness.h"
#include "monitor/ups_event_callback.h"
#include "ups/ups_library.h"

namespace {

constexpr uint32_t kWaitAfterInitMs = 1000;
constexpr uint32_t kPassIntervalMs = 1000;
// How long an expired countdown waits for a reconnected UPS to give its first record
// before it is decided on the last state the UPS reported: the silence limit.
constexpr int64_t kFirstRecordGraceTicks = kUpsSilenceLimitTicks;

bool UpsConnected(const MonitorState& state) {
    return state.DeviceHandle.load() != -1 && state.Disconnected.load() == 0;
}

// The first moment at which more than WAIT_TIME has passed since the failure.
int64_t CountdownDeadline(const MonitorState& state, int32_t waitTime) {
    return state.AcFailStart.load() + static_cast<int64_t>(waitTime) * kTicksPerSecond + 1;
}

// An expired countdown runs the sequence on the last state the UPS reported, unless a
// reconnected UPS may yet say what holds now (mains may have come back while it was
// away): its first record is waited for, within a grace counted from the first pass
// that had to wait. With no UPS connected there is nobody to wait for. A UPS that
// reconnects, says nothing and is dropped again does not restart the grace.
bool MayDecideOnLastKnownState(MonitorState& state, int64_t now) {
    if (!UpsConnected(state) || state.InitialStatusPending.load() == 0) {
        state.AwaitingStateSince = 0;
        return true;
    }
    const int64_t countdown = state.AcFailStart.load();
    if (state.AwaitingStateSince.load() == 0 || state.AwaitingStateFor.load() != countdown) {
        state.AwaitingStateSince = now;
        state.AwaitingStateFor = countdown;
    }
    return now - state.AwaitingStateSince.load() > kFirstRecordGraceTicks;
}

void PublishConnection(int32_t connection) {
    PublishStatus([connection](StatusFile& status) { status.Connection = connection; });
}

// Opens one serial port and starts its events. A port that opens but whose event
// thread does not start is closed again at once: left open, its handle would leak
// and the half-open device would pass for a connected UPS until the next pass.
bool OpenComDevice(MonitorState& state, const UpsLibrary& ups, const char* port) {
    int64_t handle = 0;
    if (ups.OpenCOM(port, &handle) != 0) return false;
    // Stored before the event thread starts, so that its first events are not taken as stale.
    state.DeviceHandle = handle;
    if (ups.StartEventThreadForCOM(handle) != 0) {
        state.DeviceHandle = -1;
        ups.CloseCOM(handle);
        return false;
    }
    state.OpenedByCom = 1;
    state.Disconnected = 0;
    PublishConnection(1);
    return true;
}

void OpenUsbDevice(MonitorState& state, const UpsLibrary& ups, const MonitorSeams& seams) {
    int64_t* devices = nullptr;
    int32_t count = 0;
    ups.GetUPSList(&devices, &count);
    if (count <= 0 || devices == nullptr) return;
    state.OpenedByCom = 0;
    state.DeviceHandle = devices[0];
    state.Disconnected = 0;
    PublishConnection(1);
    seams.ReleaseUpsMemory(devices);
}

void OpenAnyComDevice(MonitorState& state, const UpsLibrary& ups) {
    char** names = nullptr;
    int32_t count = 0;
    ups.GetCOMList(&names, &count);
    if (count <= 0 || names == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        if (names[i] != nullptr && OpenComDevice(state, ups, names[i])) break;
    }
    ups.FreeCOMList(names);
}

void QueryModel(MonitorState& state, const UpsLibrary& ups, const MonitorSeams& seams) {
    char* model = nullptr;
    int32_t result = ups.GetModelName(state.DeviceHandle.load(), &model);
    if (result != 0) {
        TraceLogError("GetModelName:ER=", static_cast<uint32_t>(result));
        return;
    }
    std::string name = model != nullptr ? model : "";
    state.LastHeard = MonotonicNow();
    TraceLog(MessageText("UPS_connected") + ":" + name);
    PublishStatus([&name](StatusFile& status) { status.Model = name; });
    if (model != nullptr) seams.ReleaseUpsMemory(model);
    ReportWindowsEvent(kEventTypeInformation, kEventUpsConnected);
}

// The preparations of a connect attempt (library, settings, data log) fail again on
// every pass for as long as their cause lasts, which may be days: their line is
// written once, then once an hour, and at once again after they have succeeded.
// Never destroyed, like every other object the service's threads share.
RepeatedFailureLog& ConnectFailureLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

// Returns false when the pass ends here.
bool ConnectAttempt(MonitorState& state, const MonitorSeams& seams) {
    UpsLibrary& ups = MonitorUpsLibrary();
    uint32_t error = 0;
    if (seams.LoadUpsLibrary(ups, error) == 0) {
        ConnectFailureLog().Failed("DllLoad:ER=" + std::to_string(error));
        return false;
    }
    if (!seams.EnterUpsLibraryFolder() || ReadSettings(ProcessSettings()) == 0) {
        ConnectFailureLog().Failed("ReadSetting:Err");
        return false;
    }
    if (!OpenDataLogFile()) {
        ConnectFailureLog().Failed("DataFileOpen:Err");
        return false;
    }
    ConnectFailureLog().Succeeded();
    PublishConnection(0);

    ups.InitNervaUPSLib(&UpsEventCallback);
    state.InitialStatusPending = 1;
    seams.Wait(kWaitAfterInitMs);

    const std::string device = ProcessSettings().Device;
    if (device == "USB") {
        OpenUsbDevice(state, ups, seams);
    } else if (device == "COM_AUTO" || device == "AUTO") {
        OpenAnyComDevice(state, ups);
    } else {
        OpenComDevice(state, ups, device.c_str());
    }
    if (state.DeviceHandle.load() == -1) return false;

    QueryModel(state, ups, seams);
    state.ConnectedAt = MonotonicNow();
    return true;
}

}  // namespace

int32_t MonitorPass() {
    MonitorState& state = TheMonitorState();
    const MonitorSeams& seams = ActiveMonitorSeams();

    // The operating system is already going down: a later pass (the final one of a
    // service stop) must not run the external command and the UPS output-off again.
    if (state.ShutdownStarted.load() == 1) return 1;

    const int64_t checked = MonotonicNow();
    if (state.Disconnected.load() == 0 && checked - state.LastHeard.load() > kUpsSilenceLimitTicks) {
        state.Disconnected = 1;
        TraceLog(MessageText("UPS_disconnected"));
        ReportWindowsEvent(kEventTypeWarning, kEventUpsDisconnected);
    }

    bool connect = false;
    if (state.Disconnected.load() == 1) {
        const int64_t device = state.DeviceHandle.load();
        if (device != -1) {
            if (state.OpenedByCom.load() == 1) {
                state.OpenedByCom = 0;
                MonitorUpsLibrary().CloseCOM(device);
                MonitorUpsLibrary().FinishNervaUPSLib();
            }
            state.DeviceHandle = -1;
        }
        connect = true;
    } else if (state.DeviceHandle.load() == -1) {
        connect = true;
    }
    // A failed connect ends the pass only while mains is present: a countdown that has
    // started runs on the last state the UPS reported, UPS or no UPS.
    if (connect && !ConnectAttempt(state, seams) && state.AcFail.load() == 0) return 0;

    if (state.AcFail.load() == 0) return 0;
    ReadSettings(ProcessSettings());
    const int64_t now = MonotonicNow();
    if (now < CountdownDeadline(state, ProcessSettings().WaitTime)) return 0;
    if (!MayDecideOnLastKnownState(state, now)) return 0;
    return RunShutdownSequence(state, seams);
}

uint32_t MonitorNextPassDelayMs() {
    const MonitorState& state = TheMonitorState();
    if (state.AcFail.load() == 0 || state.ShutdownStarted.load() == 1) return kPassIntervalMs;
    const int64_t remaining = CountdownDeadline(state, ProcessSettings().WaitTime) - MonotonicNow();
    const int64_t ticksPerMs = kTicksPerSecond / 1000;
    if (remaining <= 0 || remaining >= static_cast<int64_t>(kPassIntervalMs) * ticksPerMs) return kPassIntervalMs;
    return static_cast<uint32_t>((remaining + ticksPerMs - 1) / ticksPerMs);
}

bool MonitorShutdownSequenceRunning() { return TheMonitorState().ShutdownSequenceRunning.load() == 1; }

void ResetMonitorPassForTest() { ConnectFailureLog().Succeeded(); }
