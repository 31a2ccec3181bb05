// Connecting to the UPS, dropping it and switching its output off: the library calls
// of the monitor, run on the UPS link's thread.
#include "monitor/ups_connection.h"

#include <string>

#include "common/clock.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/event_log.h"
#include "log/repeated_failure_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/battery_reports.h"
#include "monitor/connection_cycle_log.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_signals.h"
#include "monitor/monitor_state.h"
#include "notify/notifier.h"
#include "monitor/ups_event_callback.h"
#include "monitor/ups_link.h"
#include "network_ups/network_ups_device.h"
#include "network_ups/network_ups_library.h"
#include "ups/ups_library.h"

namespace {

constexpr uint32_t kWaitAfterInitMs = 1000;
// The network source ends its login within its own limit, so that the link never gives it up.
static_assert(kNetworkUpsLogoutLimitMs < kOutputOffLimitMs, "the logout must fit into the output-off's bound");

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
    state.LastHeard = UnbiasedNow();
    const bool reported = TheConnectionCycleLog().ConnectedShouldBeWritten(UnbiasedNow());
    if (reported) TraceLog(MessageText("UPS_connected") + ":" + name);
    PublishStatus([&name](StatusFile& status) { status.Model = name; });
    if (model != nullptr) seams.ReleaseUpsMemory(model);
    if (reported) {
        ReportWindowsEvent(kEventTypeInformation, kEventUpsConnected);
        // Told only as the answer to a loss that was told (notify/notifier.h). The text is
        // ours alone: the model, which a serving machine chose, travels in VOLTWARDEN_MODEL.
        Notify(NotifyEvent::CommOk, MessageText("UPS_connected"), state.ChargeOnBattery.load());
    }
}

// The preparations of a connect attempt (library, settings, data log) fail again on
// every pass for as long as their cause lasts, which may be days: their line is
// written once, then once an hour, and at once again after they have succeeded.
// Never destroyed, like every other object the service's threads share.
RepeatedFailureLog& ConnectFailureLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

// Whether DEVICE, as Setting.ini says it now, names a UPS that another machine serves.
// Looked at before anything is loaded: such a UPS needs none of the maker's library.
bool DeviceIsOnTheNetwork() {
    Settings current = ProcessSettings();
    ReadSettings(current);  // a file that cannot be read keeps the values last read
    return IsNetworkUpsDevice(current.Device);
}

void ConnectAttempt(MonitorState& state, const MonitorSeams& seams) {
    const bool network = DeviceIsOnTheNetwork();
    UpsLibrary& ups = UseMonitorUpsSource(network);
    state.NetworkUps = network ? 1 : 0;
    uint32_t error = 0;
    if ((network ? seams.LoadNetworkUps(ups, error) : seams.LoadUpsLibrary(ups, error)) == 0) {
        ConnectFailureLog().Failed("DllLoad:ER=" + std::to_string(error));
        return;
    }
    if (!seams.EnterUpsLibraryFolder() || ReadSettings(ProcessSettings()) == 0) {
        ConnectFailureLog().Failed("ReadSetting:Err");
        return;
    }
    if (!OpenDataLogFile()) {
        ConnectFailureLog().Failed("DataFileOpen:Err");
        return;
    }
    ConnectFailureLog().Succeeded();
    PublishConnection(0);

    // Whatever the UPS said before this attempt is history until it speaks again.
    MarkMainsStateUnknown(state);
    ups.InitNervaUPSLib(&UpsEventCallback);
    state.InitialStatusPending = 1;
    seams.Wait(kWaitAfterInitMs);

    const std::string device = ProcessSettings().Device;
    if (network) SetNetworkUpsCredentials(ProcessSettings().RemoteUser, ProcessSettings().RemotePassword);
    if (network != IsNetworkUpsDevice(device)) {
        // DEVICE changed between the two readings: the next attempt follows the new value.
        return;
    } else if (device == "USB") {
        OpenUsbDevice(state, ups, seams);
    } else if (device == "COM_AUTO" || device == "AUTO") {
        OpenAnyComDevice(state, ups);
    } else {
        OpenComDevice(state, ups, device.c_str());
    }
    if (state.DeviceHandle.load() == -1) return;

    QueryModel(state, ups, seams);
    state.ConnectedAt = UnbiasedNow();
}

// A device that fell silent or was reported lost is let go before the next attempt.
void DropLostDevice(MonitorState& state) {
    const int64_t device = state.DeviceHandle.load();
    if (device == -1) return;
    // Cleared first: a record still in flight then belongs to nobody.
    state.DeviceHandle = -1;
    if (state.OpenedByCom.load() == 1) {
        state.OpenedByCom = 0;
        MonitorUpsLibrary().CloseCOM(device);
        MonitorUpsLibrary().FinishNervaUPSLib();
    }
}

}  // namespace

bool StartUpsReconnect() {
    return StartOnUpsLink([] {
        MonitorState& state = TheMonitorState();
        if (state.Disconnected.load() == 1) DropLostDevice(state);
        ConnectAttempt(state, ActiveMonitorSeams());
    });
}

bool WaitForUpsReconnect(uint32_t limitMs) {
    return WaitForUpsLink(limitMs, MonitorStopEvent(), MonitorMainsChangeEvent());
}

namespace {

// The output-off call of the table in use, on the link with its time limit; every case
// but success leaves its "<failureName>ER=" line.
void RunOutputOffCall(const char* failureName, int32_t backupTime) {
    // Only to a UPS that is connected now: a dropped handle may have been handed to
    // another device, or to none.
    const MonitorState& state = TheMonitorState();
    const int64_t device = state.DeviceHandle.load();
    if (device == -1 || state.Disconnected.load() != 0) {
        TraceLogError(failureName, kNoUpsToSwitchOffError);
        return;
    }
    const std::string name = failureName;
    const UpsLinkOutcome outcome = RunOnUpsLink(
        [device, backupTime, name] {
            const int32_t refused = MonitorUpsLibrary().Shutdown(device, backupTime);
            if (refused != 0) TraceLogError(name, static_cast<uint32_t>(refused));
        },
        kOutputOffLimitMs);
    if (outcome != UpsLinkOutcome::Completed) TraceLogError(failureName, kUpsCallTimedOutError);
}

}  // namespace

void SwitchUpsOutputOff(int32_t backupTime) { RunOutputOffCall("UPSShutdown:ER=", backupTime); }

// The network source's Shutdown entry point ends the login (network_ups/network_ups_library.h).
void EndNetworkUpsLogin() { RunOutputOffCall("UPSLogout:ER=", 0); }

void ResetUpsConnectionForTest() { ConnectFailureLog().Succeeded(); }
