// One pass of the monitor, once a second: notices a silent UPS, connects when no UPS
// is connected, and runs the shutdown sequence once mains power has failed for longer
// than WAIT_TIME.
#include <string>

#include "common/clock.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "ups/ups_library.h"

namespace {

constexpr double kSilenceLimitSeconds = 10.0;
constexpr uint32_t kWaitAfterInitMs = 1000;
// How long a UPS that gives signs of life but no record after a reconnection is
// waited for before a countdown kept from before the drop is decided without it.
constexpr double kFirstRecordGraceSeconds = 5.0;

double SecondsSince(int64_t start, int64_t now) { return static_cast<double>(now - start) / kTicksPerSecond; }

// A countdown kept across a reconnection is decided on what the UPS says now, for
// mains may have come back while the UPS was silent: not before its first record
// after the connect, or, from a UPS that only gives signs of life, not before it has
// been heard for a few seconds. A UPS that says nothing at all is dropped again.
bool MainsStateIsCurrent(const MonitorState& state, int64_t now) {
    if (state.InitialStatusPending.load() == 0) return true;
    const int64_t connectedAt = state.ConnectedAt.load();
    return state.LastHeard.load() > connectedAt && SecondsSince(connectedAt, now) > kFirstRecordGraceSeconds;
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
    state.LastHeard = WallClockNow();
    TraceLog(MessageText("UPS_connected") + ":" + name);
    PublishStatus([&name](StatusFile& status) { status.Model = name; });
    if (model != nullptr) seams.ReleaseUpsMemory(model);
    ReportWindowsEvent(kEventTypeInformation, kEventUpsConnected);
}

// Returns false when the pass ends here.
bool ConnectAttempt(MonitorState& state, const MonitorSeams& seams) {
    UpsLibrary& ups = MonitorUpsLibrary();
    uint32_t error = 0;
    if (seams.LoadUpsLibrary(ups, error) == 0) {
        TraceLogError("DllLoad:ER=", error);
        return false;
    }
    if (!seams.EnterUpsLibraryFolder() || ReadSettings(ProcessSettings()) == 0) {
        TraceLog("ReadSetting:Err");
        return false;
    }
    if (!OpenDataLogFile()) {
        TraceLog("DataFileOpen:Err");
        return false;
    }
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
    state.ConnectedAt = WallClockNow();
    return true;
}

// External command, UPS output-off, operating-system shutdown. 1 once the
// operating system has accepted the shutdown.
int32_t ShutdownSequence(MonitorState& state, const MonitorSeams& seams) {
    // Network UPS clients see FSD from here on, so they shut down during the command's time.
    state.ShutdownSequenceStarted = 1;
    const Settings settings = ProcessSettings();
    // Logged-in network clients are waited for until EXCMDTIME after the command's start,
    // which the output-off waits for anyway (without a command: after the sequence's start).
    const int64_t excmdTimeTicks = static_cast<int64_t>(settings.ExCmdTime) * kTicksPerSecond;
    int64_t clientsDeadline = MonotonicNow() + excmdTimeTicks;
    if (!settings.ExCmd.empty()) {
        TraceLog(MessageText("External_command_start") + ":(" + settings.ExCmd + ")");
        const int64_t started = WallClockNow();
        clientsDeadline = MonotonicNow() + excmdTimeTicks;
        std::string output;
        if (seams.RunExternalCommand(settings.ExCmd, output, settings.ExCmdTime, MonitorStopEvent()) == 0) {
            TraceLog("ExCommand:NG");
        }
        // The output-off never comes earlier than EXCMDTIME whole seconds after the
        // command started. Each wait ends at that moment rather than on a whole second,
        // so the output-off follows it closely. The waits are also counted, so a wall
        // clock set back meanwhile cannot hold the shutdown for longer than EXCMDTIME
        // more; a stop ends the waiting at once.
        const int64_t limitTicks = static_cast<int64_t>(settings.ExCmdTime) * kTicksPerSecond;
        int64_t waitedMs = 0;
        for (;;) {
            const int64_t elapsed = WallClockNow() - started;
            if (elapsed / kTicksPerSecond >= settings.ExCmdTime) break;
            if (waitedMs >= static_cast<int64_t>(settings.ExCmdTime) * 1000) break;
            int64_t remainingMs = (limitTicks - elapsed + 9999) / 10000;
            if (remainingMs > 1000 || remainingMs < 1) remainingMs = 1000;
            if (!seams.Wait(static_cast<uint32_t>(remainingMs))) break;
            waitedMs += remainingMs;
        }
    }

    if (seams.WaitForNetworkClients != nullptr) seams.WaitForNetworkClients(clientsDeadline, MonitorStopEvent());

    int32_t refused = MonitorUpsLibrary().Shutdown(state.DeviceHandle.load(), settings.BackupTime);
    if (refused != 0) TraceLogError("UPSShutdown:ER=", static_cast<uint32_t>(refused));

    if (seams.ShutdownOperatingSystem() == 0) return 0;
    state.ShutdownStarted = 1;
    TraceLog(MessageText("OS_Shutdown_is_started"));
    ReportWindowsEvent(kEventTypeWarning, kEventOsShutdown);
    return 1;
}

}  // namespace

int32_t MonitorPass() {
    MonitorState& state = TheMonitorState();
    const MonitorSeams& seams = ActiveMonitorSeams();

    // The operating system is already going down: a later pass (the final one of a
    // service stop) must not run the external command and the UPS output-off again.
    if (state.ShutdownStarted.load() == 1) return 1;

    const int64_t checked = WallClockNow();
    if (state.Disconnected.load() == 0 && SecondsSince(state.LastHeard.load(), checked) > kSilenceLimitSeconds) {
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
    if (connect && !ConnectAttempt(state, seams)) return 0;

    if (state.AcFail.load() == 0) return 0;
    if (!MainsStateIsCurrent(state, WallClockNow())) return 0;
    ReadSettings(ProcessSettings());
    const double failedFor = SecondsSince(state.AcFailStart.load(), WallClockNow());
    if (!(failedFor > static_cast<double>(ProcessSettings().WaitTime))) return 0;
    return ShutdownSequence(state, seams);
}
