// Parses the simulator's control file. Kept free of the service's own code: the
// simulator is a separate library and must stand on its own.
#include "sim_control.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

bool ParseNumber(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE) return false;
    if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool ParseSwitch(const std::string& text, bool& value) {
    std::string word = UpperAscii(text);
    if (word == "1" || word == "ON" || word == "YES" || word == "TRUE") {
        value = true;
        return true;
    }
    if (word == "0" || word == "OFF" || word == "NO" || word == "FALSE") {
        value = false;
        return true;
    }
    return false;
}

void ParseRange(const std::string& text, int32_t low, int32_t high, int32_t& value) {
    int32_t parsed = 0;
    if (ParseNumber(text, parsed) && parsed >= low && parsed <= high) value = parsed;
}

std::vector<std::string> ParseList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = Trim(text.substr(start, comma - start));
        if (!item.empty()) items.push_back(item);
        start = comma + 1;
    }
    return items;
}

void ApplyLine(const std::string& key, const std::string& value, SimControl& control) {
    if (key == "PRESENT_ON") {
        if (!value.empty()) control.PresentOn = value;
    } else if (key == "PORTS") {
        control.Ports = ParseList(value);
    } else if (key == "MODEL") {
        control.Model = value;
    } else if (key == "MAINS") {
        ParseSwitch(value, control.MainsOn);
    } else if (key == "BATTERY") {
        ParseRange(value, 0, 100, control.Battery);
    } else if (key == "BATTERY_LOW") {
        ParseSwitch(value, control.BatteryLow);
    } else if (key == "SILENT") {
        ParseSwitch(value, control.Silent);
    } else if (key == "LOST") {
        ParseSwitch(value, control.Lost);
    } else if (key == "EVENT") {
        int32_t code = 0;
        if (ParseNumber(value, code)) {
            control.Event = code;
            control.HasEvent = true;
        }
    } else if (key == "EVENT_SEQ") {
        ParseNumber(value, control.EventSeq);
    } else if (key == "MEASUREMENT_PERIOD_MS") {
        ParseRange(value, 10, 60000, control.MeasurementPeriodMs);
    } else if (key == "GETMODELNAME_RESULT") {
        ParseNumber(value, control.GetModelNameResult);
    } else if (key == "OPENCOM_FAIL") {
        control.OpenComFail = ParseList(value);
    } else if (key == "STARTEVENTTHREAD_RESULT") {
        ParseNumber(value, control.StartEventThreadResult);
    } else if (key == "SHUTDOWN_RESULT") {
        ParseNumber(value, control.ShutdownResult);
    } else if (key == "BLOCK") {
        control.Block = ParseList(value);
    } else if (key == "HOLD_FIRST_RECORD_MS") {
        ParseRange(value, 0, 60000, control.HoldFirstRecordMs);
    }
}

}  // namespace

SimControl ParseSimControl(const std::string& text) {
    SimControl control;
    size_t start = 0;
    // A byte-order mark from Notepad must not hide the first key.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) start = 3;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        ApplyLine(UpperAscii(Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)), control);
    }
    return control;
}

std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool SamePortName(const std::string& a, const std::string& b) { return UpperAscii(a) == UpperAscii(b); }

bool BlocksEntry(const SimControl& control, const char* entry) {
    const std::string wanted = UpperAscii(entry);
    for (const std::string& name : control.Block) {
        if (UpperAscii(name) == wanted) return true;
    }
    return false;
}
