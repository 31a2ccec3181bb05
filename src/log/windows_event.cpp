// Reports the service's eight important events to the Windows application event log,
// each with its message-table text as the one insertion string.
#include "log/windows_event.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "common/scoped_handle.h"
#include "messages/message_table.h"

namespace {

struct WindowsEventRow {
    uint32_t identifier;
    std::string text;
};

// Filled once, on the first report, from the message table loaded at that moment.
// The first reports may come from two threads at once, so filling and reading share
// one lock; the lock is never held across the event-log calls.
std::mutex tableLock;
std::vector<WindowsEventRow> windowsEventTable;

std::atomic<WindowsEventSink> activeSink{nullptr};

void FillTableLocked() {
    static const struct {
        uint32_t identifier;
        const char* key;
    } kRows[] = {
        {kEventPowerRecovery, "Power_recovery"},
        {kEventUpsConnected, "UPS_connected"},
        {kEventServiceStart, "Service_start"},
        {kEventServiceStop, "Service_stop"},
        {kEventAcFail, "AC_fail"},
        {kEventUpsDisconnected, "UPS_disconnected"},
        {kEventBatteryLow, "Battery_low_event_occurred"},
        {kEventOsShutdown, "OS_Shutdown_is_started"},
    };
    for (const auto& row : kRows) windowsEventTable.push_back({row.identifier, MessageText(row.key)});
}

// The text of the event, or false for an identifier the service does not report.
bool LookUpEventText(uint32_t identifier, std::string& text) {
    std::lock_guard<std::mutex> guard(tableLock);
    if (windowsEventTable.empty()) FillTableLocked();
    bool found = false;
    for (const WindowsEventRow& row : windowsEventTable) {
        if (row.identifier == identifier) {
            text = row.text;
            found = true;
        }
    }
    return found;
}

}  // namespace

void ReportWindowsEvent(uint16_t type, uint32_t identifier) {
    std::string text;
    if (!LookUpEventText(identifier, text)) return;

    if (WindowsEventSink sink = activeSink.load()) {
        sink(type, identifier, text);
        return;
    }
    // Registered and released for every event: nothing is held open between reports.
    ScopedEventSource source(RegisterEventSourceA(nullptr, kWindowsEventSourceName));
    if (!source) return;
    const char* strings[1] = {text.c_str()};
    ReportEventA(source.Get(), type, 0, identifier, nullptr, 1, 0, strings, nullptr);
}

void SetWindowsEventSinkForTest(WindowsEventSink sink) { activeSink.store(sink); }

size_t WindowsEventTableSizeForTest() {
    std::lock_guard<std::mutex> guard(tableLock);
    return windowsEventTable.size();
}

void ResetWindowsEventTableForTest() {
    std::lock_guard<std::mutex> guard(tableLock);
    windowsEventTable.clear();
}
