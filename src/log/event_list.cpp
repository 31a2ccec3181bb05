#include "log/event_list.h"

#include <utility>
#include <vector>

#include "common/decimal.h"
#include "common/exe_path.h"
#include "common/text_file.h"
#include "config/settings.h"

namespace {

struct EventListEntry {
    int32_t number;
    std::string text;  // the file's bytes, no code-page conversion
};

// Filled before any other thread exists, read-only afterwards; never destroyed,
// as the UPS library's thread may look an event up while the process exits.
std::vector<EventListEntry>& EventList() {
    static auto* list = new std::vector<EventListEntry>;
    return *list;
}

// Splits as repeated getline(',') does: every comma ends a field, empty fields
// between commas count, and a comma at the very end opens no further field.
std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < line.size()) {
        size_t comma = line.find(',', start);
        if (comma == std::string::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    return fields;
}

// The entry of one line, or false when the line is to be skipped.
bool ParseEventLine(const std::string& line, EventListEntry& entry) {
    std::vector<std::string> fields = SplitFields(line);
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

bool LoadEventListFile(const std::string& path) {
    std::vector<EventListEntry>& list = EventList();
    list.clear();
    return ReadTextLines(path, [&list](const std::string& line) {
        EventListEntry entry;
        if (ParseEventLine(line, entry)) list.push_back(std::move(entry));
        return true;
    });
}

std::string EventListText(int32_t number) {
    for (const EventListEntry& entry : EventList()) {
        if (entry.number == number) return entry.text;
    }
    return std::string();
}
