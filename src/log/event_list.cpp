#include "log/event_list.h"

#include <utility>
#include <vector>

#include "common/decimal.h"
#include "common/exe_path.h"
#include "common/text_file.h"
#include "config/settings.h"

namespace {

// Filled before any other thread exists, read-only afterwards; never destroyed,
// as the UPS library's thread may look an event up while the process exits.
std::vector<EventListEntry>& EventList() {
    static auto* list = new std::vector<EventListEntry>;
    return *list;
}

// The entry of one line, or false when the line is to be skipped.
bool ParseEventLine(const std::string& line, EventListEntry& entry) {
    std::vector<std::string> fields = SplitAtCommas(line);
    if (fields.size() < 2) return false;
    if (!ParseInt32(fields[0], entry.number)) return false;
    entry.text = fields[1];
    for (size_t i = 2; i < fields.size(); ++i) entry.text += "," + fields[i];
    return true;
}

}  // namespace

bool LoadEventList() {
    Settings settings;
    ReadSettings(settings);
    const char* name = IsJapaneseLang(settings.Lang) ? "EventList_jp.csv" : "EventList_en.csv";
    return LoadEventListFile(ExeRelativePath(name));
}

bool LoadEventListFile(const std::string& path) { return ReadEventListFile(path, EventList()); }

bool ReadEventListFile(const std::string& path, std::vector<EventListEntry>& entries) {
    entries.clear();
    return ReadTextLines(path, [&entries](const std::string& line) {
        EventListEntry entry;
        if (ParseEventLine(line, entry)) entries.push_back(std::move(entry));
        return true;
    });
}

std::string EventListText(int32_t number) {
    for (const EventListEntry& entry : EventList()) {
        if (entry.number == number) return entry.text;
    }
    return std::string();
}
