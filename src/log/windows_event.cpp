// Reports the service's important events to the Windows application event log,
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
struct WindowsEventTable {
    std::mutex lock;
    std::vector<WindowsEventRow> rows;
};

// Never destroyed: the UPS library's thread may still report an event while exit()
// runs the destructors of the process's objects.
WindowsEventTable& Table() {
    static auto* table = new WindowsEventTable;
    return *table;
}

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
        {kEventBatteryChargeUnreadable, "Battery_charge_unreadable"},
        {kEventOsShutdownNotDone, "OS_Shutdown_did_not_happen"},
        {kEventRemoteLoginRefused, "Remote_login_refused"},
    };
    for (const auto& row : kRows) Table().rows.push_back({row.identifier, MessageText(row.key)});
}

// The text of the event, or false for an identifier the service does not report.
bool LookUpEventText(uint32_t identifier, std::string& text) {
    std::lock_guard<std::mutex> guard(Table().lock);
    if (Table().rows.empty()) FillTableLocked();
    bool found = false;
    for (const WindowsEventRow& row : Table().rows) {
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
    std::lock_guard<std::mutex> guard(Table().lock);
    return Table().rows.size();
}

void ResetWindowsEventTableForTest() {
    std::lock_guard<std::mutex> guard(Table().lock);
    Table().rows.clear();
}
