// UPS events and measurement records, as they arrive on the library's thread.
#include "monitor/ups_event_callback.h"

#include <cstring>
#include <memory>
#include <string>

#include "common/clock.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/event_list.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/battery_level_query.h"
#include "monitor/battery_reports.h"
#include "monitor/connection_cycle_log.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_signals.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_reading.h"
#include "notify/notifier.h"
#include "ups/network_ups_events.h"
#include "ups/ups_library.h"
#include "ups/ups_measurements.h"

namespace {

constexpr double kDataLogIntervalSeconds = 60.0;
// What the data log shows for a measurement the UPS does not report.
constexpr char kNoReadingMark[] = "--.-";

// The data log's measurement columns of a record, in the order of ups/ups_measurements.h;
// `blank` stands for a measurement that is empty.
std::string DataLogColumns(const UpsMeasurementTexts& measurements, const std::string& blank) {
    std::string columns;
    for (int32_t m = 0; m < kRecordFieldCount; ++m) {
        if (m > 0) columns += ",";
        columns += measurements[m].empty() ? blank : measurements[m];
    }
    return columns;
}

void PublishAcFail(int32_t acFail) {
    PublishStatus([acFail](StatusFile& status) { status.AcFail = acFail; });
}

// Hands a power event to the notification command (notify/notifier.h): a queue, never a wait.
// The text is the event log's line for the library's code, or the message when the list has none.
void NotifyUpsEvent(const MonitorState& state, NotifyEvent event, int32_t code, const char* messageKey) {
    std::string text = EventListText(code);
    if (text.empty()) text = MessageText(messageKey);
    Notify(event, text, state.ChargeOnBattery.load());
}

// A record's mains indicator: a change is taken in silently while the first record after a
// connect is awaited, and reported from then on.
void ApplyMainsIndicator(MonitorState& state, bool mainsFailed, int64_t now) {
    const int32_t acFail = state.AcFail.load();
    if (acFail == 0 && mainsFailed) {
        state.AcFailStart = now;
        state.AcFail = 1;
        MonitorSignalMainsChange();
        PublishAcFail(1);
        if (state.InitialStatusPending.load() != 1) {
            ReportWindowsEvent(kEventTypeWarning, kEventAcFail);
            NotifyUpsEvent(state, NotifyEvent::OnBattery, kUpsEventMainsFailed, "AC_fail");
        }
    } else if (acFail == 1 && !mainsFailed) {
        state.AcFail = 0;
        ForgetBatteryOnBattery(state);
        MonitorSignalMainsChange();
        PublishAcFail(0);
        if (state.InitialStatusPending.load() != 1) {
            ReportWindowsEvent(kEventTypeInformation, kEventPowerRecovery);
            NotifyUpsEvent(state, NotifyEvent::Online, kUpsEventMainsRestored, "Power_recovery");
        }
    }
    // A record says what holds now, whatever its indicator: what the battery said before
    // it is judged on that.
    MarkMainsStateKnown(state);
    state.InitialStatusPending = 0;
}

// True when this record makes the data log's line: the first record after the start, then
// one at least a minute after the last line. The minute is one of the day's, asleep or not.
bool DataLineDue(MonitorState& state) {
    const int64_t now = MonotonicNow();
    const int64_t lastLine = state.LastDataLogTime.load();
    const double sinceLastLine = static_cast<double>(now - lastLine) / kTicksPerSecond;
    if (lastLine != 0 && sinceLastLine < kDataLogIntervalSeconds) return false;
    state.LastDataLogTime = now;
    return true;
}

void HandleStatusRecord(MonitorState& state, int64_t device, void* data, int64_t now) {
    StatusRecord record;
    std::memcpy(&record, data, sizeof(record));
    ActiveMonitorSeams().ReleaseUpsMemory(data);

    UpsMeasurementTexts measurements = RecordMeasurementTexts(record);
    // A record that marks the input frequency as no reading and leaves the output frequency
    // empty (on battery) shows the mark in both columns.
    if (measurements[kInputFrequency] == kNoReadingMark && measurements[kOutputFrequency].empty()) {
        measurements[kOutputFrequency] = kNoReadingMark;
    }
    StoreUpsRecordKeepingCharge(device, record);

    // The mains flag first: nothing that the library may do to us later holds it up.
    ApplyMainsIndicator(state, record.MainsFailed == 1, now);

    // The first record after the start always makes a line; its level comes with the
    // answer of the battery-level query, which runs on a thread of ours.
    std::string dueLine;
    if (DataLineDue(state)) dueLine = DataLogColumns(measurements, std::string());
    AskBatteryLevel(device, dueLine);
}

// The readings of a UPS that another machine serves: a record whose charge came with it,
// so nothing is asked afterwards. The columns are those of the library's records.
void HandleNetworkReadings(MonitorState& state, int64_t device, const NetworkUpsReadings& readings, int64_t now) {
    StoreNetworkUpsReadings(device, readings);
    ApplyMainsIndicator(state, readings.MainsFailed, now);
    // Until the measurements have been read, the record says only whether mains holds.
    if (!readings.MeasurementsRead) return;
    NoteCharge(state, readings.ChargeKnown, readings.Charge);
    if (!DataLineDue(state)) return;
    // A measurement the UPS does not have gets the data log's mark for no reading.
    WriteDataLog(DataLogColumns(readings.Measurements, kNoReadingMark) + "," +
                 (readings.ChargeKnown ? std::to_string(readings.Charge) : std::string(kNoReadingMark)));
}

void HandleUpsEvent(int64_t device, int32_t code, void* data) {
    // The network source's readings are ours from here on, whoever they came from.
    std::unique_ptr<NetworkUpsReadings> readings(
        code == kUpsEventNetworkReadings ? static_cast<NetworkUpsReadings*>(data) : nullptr);
    MonitorState& state = TheMonitorState();
    // -1 stands for "no device": while none is connected there is nobody to hear from,
    // even if the library reports for a handle of -1.
    const int64_t current = state.DeviceHandle.load();
    if (device != current || current == -1) {
        // The record is ours whoever it came from; a library still reporting for a
        // dropped device would otherwise leak one record a second.
        if (code == kUpsEventMeasurement && data != nullptr) ActiveMonitorSeams().ReleaseUpsMemory(data);
        return;
    }
    const int64_t now = UnbiasedNow();
    state.LastHeard = now;

    switch (code) {
        case kUpsEventAlive:
            return;
        case kUpsEventDeviceLost:
            state.Disconnected = 1;
            PublishStatus([](StatusFile& status) { status.Connection = 0; });
            // A UPS lost and found over and over is reported like a repeated failure.
            if (!TheConnectionCycleLog().LostShouldBeWritten(now)) return;
            ReportWindowsEvent(kEventTypeWarning, kEventUpsDisconnected);
            Notify(NotifyEvent::CommBad, MessageText("UPS_disconnected"), state.ChargeOnBattery.load());
            break;
        case kUpsEventMainsFailed:
            // The countdown counts from the first report of a failure: a library that
            // repeats it while mains is still off must not hold the shutdown back.
            if (state.AcFail.load() == 0) {
                state.AcFailStart = now;
                state.AcFail = 1;
                MonitorSignalMainsChange();
            }
            MarkMainsStateKnown(state);
            PublishAcFail(1);
            if (state.InitialStatusPending.load() == 1) return;
            ReportWindowsEvent(kEventTypeWarning, kEventAcFail);
            NotifyUpsEvent(state, NotifyEvent::OnBattery, code, "AC_fail");
            break;
        case kUpsEventMainsRestored:
            state.AcFail = 0;
            ForgetBatteryOnBattery(state);
            MarkMainsStateKnown(state);
            MonitorSignalMainsChange();
            PublishAcFail(0);
            if (state.InitialStatusPending.load() == 1) return;
            ReportWindowsEvent(kEventTypeInformation, kEventPowerRecovery);
            NotifyUpsEvent(state, NotifyEvent::Online, code, "Power_recovery");
            break;
        case kUpsEventBatteryLow:
            // On battery power the monitor starts the shutdown at once (BATTERY_LOW_SHUTDOWN);
            // on mains power it is reported only; before the UPS has said which holds
            // now, it is kept until it has.
            StoreUpsBatteryLow(current);
            NoteBatteryLow(state);
            ReportWindowsEvent(kEventTypeWarning, kEventBatteryLow);
            NotifyUpsEvent(state, NotifyEvent::LowBattery, code, "Battery_low_event_occurred");
            break;
        case kUpsEventMeasurement:
            // A library that sends code 60 without a record must not bring the service down.
            if (data != nullptr) HandleStatusRecord(state, current, data, now);
            return;
        case kUpsEventNetworkReadings:
            if (readings != nullptr) HandleNetworkReadings(state, current, *readings, now);
            return;
        case kUpsEventForcedShutdown:
            // The machine that serves the UPS has begun its shutdown: the monitor starts
            // the sequence at once, whatever WAIT_TIME says.
            if (state.ServerForcedShutdown.exchange(1) == 0) MonitorSignalMainsChange();
            return;
        default:
            break;
    }

    std::string text = EventListText(code);
    if (!text.empty()) TraceLog(text);
}

}  // namespace

void UpsEventCallback(int64_t device, int32_t code, void* data) {
    // Nothing may unwind into the maker's library: what escapes (out of memory, say)
    // ends this one event with a line, and the library's thread goes on.
    try {
        HandleUpsEvent(device, code, data);
    } catch (...) {
        try {
            TraceLog("UpsEventCallback:Exception");
        } catch (...) {
        }
    }
}
