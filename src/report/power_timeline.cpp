#include "report/power_timeline.h"

#include <algorithm>
#include <map>

#include "common/exe_path.h"
#include "common/text_file.h"
#include "log/event_list.h"
#include "messages/message_table.h"
#include "ups/ups_library.h"

namespace {

void AddText(std::vector<std::string>& texts, const std::string& text) {
    if (text.empty()) return;
    if (std::find(texts.begin(), texts.end(), text) == texts.end()) texts.push_back(text);
}

// A text the ANSI code page cannot hold was written as question marks, which would make
// texts of the same length look alike ("Service started" and "stopped" in Japanese on a
// Western code page): such a text is not taken.
void AddMessage(std::vector<std::string>& texts, const std::map<std::string, std::string>& table,
                const std::string& key, const std::string& suffix) {
    auto found = table.find(key);
    const std::string utf8 = found != table.end() ? found->second : key;
    const std::string ansi = ToAnsiCodePage(utf8);
    if (AnsiToUtf8(ansi) == utf8) AddText(texts, ansi + suffix);
}

// The first entry of a number, as the service looks it up.
void AddEventListText(std::vector<std::string>& texts, const std::vector<EventListEntry>& entries,
                      int32_t number) {
    for (const EventListEntry& entry : entries) {
        if (entry.number == number) {
            AddText(texts, entry.text);
            return;
        }
    }
}

bool StartsWithAny(const std::string& text, const std::vector<std::string>& prefixes) {
    for (const std::string& prefix : prefixes) {
        if (text.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

bool EqualsAny(const std::string& text, const std::vector<std::string>& candidates) {
    return std::find(candidates.begin(), candidates.end(), text) != candidates.end();
}

}  // namespace

PowerEventTexts PowerEventTextsOfBothLanguages() {
    PowerEventTexts texts;
    for (const char* file : {"msgtbl_jp.json", "msgtbl_en.json"}) {
        std::map<std::string, std::string> table;
        ReadMessageFile(file, table);  // a missing file leaves the key words, as the service writes them
        AddMessage(texts.serviceStarted, table, "Service_start", "");
        AddMessage(texts.serviceStopped, table, "Service_stop", "");
        AddMessage(texts.upsConnectedPrefixes, table, "UPS_connected", ":");
        AddMessage(texts.upsLost, table, "UPS_disconnected", "");
        AddMessage(texts.externalCommandPrefixes, table, "External_command_start", ":(");
        AddMessage(texts.osShutdownStarted, table, "OS_Shutdown_is_started", "");
    }
    for (const char* file : {"EventList_jp.csv", "EventList_en.csv"}) {
        std::vector<EventListEntry> entries;
        ReadEventListFile(ExeRelativePath(file), entries);
        AddEventListText(texts.upsLost, entries, kUpsEventDeviceLost);
        AddEventListText(texts.mainsFailed, entries, kUpsEventMainsFailed);
        AddEventListText(texts.mainsRestored, entries, kUpsEventMainsRestored);
    }
    return texts;
}

PowerEventKind ClassifyEventText(const std::string& text, const PowerEventTexts& texts) {
    if (EqualsAny(text, texts.mainsFailed)) return PowerEventKind::MainsFailed;
    if (EqualsAny(text, texts.mainsRestored)) return PowerEventKind::MainsRestored;
    if (EqualsAny(text, texts.upsLost)) return PowerEventKind::UpsLost;
    if (StartsWithAny(text, texts.upsConnectedPrefixes)) return PowerEventKind::UpsConnected;
    if (StartsWithAny(text, texts.externalCommandPrefixes)) return PowerEventKind::ExternalCommandStarted;
    if (EqualsAny(text, texts.osShutdownStarted)) return PowerEventKind::OsShutdownStarted;
    if (EqualsAny(text, texts.serviceStarted)) return PowerEventKind::ServiceStarted;
    if (EqualsAny(text, texts.serviceStopped)) return PowerEventKind::ServiceStopped;
    return PowerEventKind::None;
}

std::vector<PowerEvent> ReadPowerEvents(const std::string& path, const PowerEventTexts& texts) {
    std::vector<PowerEvent> events;
    ReadTextLines(path, [&](const std::string& line) {
        // "YYYY/MM/DD,HH:MM:SS,<text>": the text may hold commas of its own.
        if (line.size() < 20 || line[10] != ',' || line[19] != ',') return true;
        CalendarDay day;
        int32_t second = 0;
        if (!ParseLogDate(line.substr(0, 10), day) || !ParseLogTime(line.substr(11, 8), second)) return true;
        const PowerEventKind kind = ClassifyEventText(line.substr(20), texts);
        if (kind != PowerEventKind::None) events.push_back(PowerEvent{WallSeconds(day, second), kind});
        return true;
    });
    // The log is written in time order unless the clock was set back.
    std::stable_sort(events.begin(), events.end(),
                     [](const PowerEvent& a, const PowerEvent& b) { return a.at < b.at; });
    return events;
}

PowerState PowerStateAfter(PowerState state, PowerEventKind kind) {
    switch (kind) {
        case PowerEventKind::ServiceStarted:
        case PowerEventKind::ServiceStopped:
            return PowerState::Unknown;
        case PowerEventKind::UpsConnected:
        case PowerEventKind::MainsRestored:
            return PowerState::OnMains;
        case PowerEventKind::UpsLost:
            return PowerState::UpsLost;
        case PowerEventKind::MainsFailed:
            return PowerState::OnBattery;
        default:
            return state;
    }
}

DayTimeline TimelineOfDay(const std::vector<PowerEvent>& events, const CalendarDay& day, int32_t dayLength) {
    DayTimeline timeline;
    const int64_t dayStart = WallSeconds(day, 0);
    PowerState state = PowerState::Unknown;
    int32_t segmentStart = 0;
    // An outage shorter than the log's one-second stamps still shows: the ribbon draws it
    // as a sliver, and the summary counts it.
    auto closeSegment = [&](int32_t at) {
        if (state != PowerState::Unknown && (at > segmentStart || state == PowerState::OnBattery)) {
            timeline.segments.push_back(RibbonSegment{segmentStart, at, state});
        }
        segmentStart = at;
    };
    for (const PowerEvent& event : events) {
        if (event.at >= dayStart + dayLength) break;
        if (event.at < dayStart) {
            state = PowerStateAfter(state, event.kind);
            continue;
        }
        const int32_t at = static_cast<int32_t>(event.at - dayStart);
        if (event.kind == PowerEventKind::ExternalCommandStarted || event.kind == PowerEventKind::OsShutdownStarted) {
            timeline.markers.push_back(DayMarker{at, event.kind});
        }
        const PowerState next = PowerStateAfter(state, event.kind);
        if (next == state) continue;
        closeSegment(at);
        if (next == PowerState::OnBattery) ++timeline.switchesToBattery;
        state = next;
    }
    closeSegment(dayLength);
    return timeline;
}
