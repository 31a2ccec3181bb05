#include "testing/log_lines.h"

#include "log/event_log.h"

std::vector<std::string> SplitCrLfLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string WithoutStamp(const std::string& line) {
    size_t first = line.find(',');
    size_t second = first == std::string::npos ? first : line.find(',', first + 1);
    return second == std::string::npos ? "<no stamp: " + line + ">" : line.substr(second + 1);
}

std::vector<std::string> EventLogTexts(const ScratchDirectory& scratch) {
    std::vector<std::string> texts;
    for (const std::string& line : SplitCrLfLines(scratch.ReadFile("EventLog\\EventLog.csv"))) {
        texts.push_back(WithoutStamp(line));
    }
    return texts;
}

void RestartEventLogEmpty(const ScratchDirectory& scratch) {
    CloseEventLogFileForTest();
    scratch.WriteFile("EventLog\\EventLog.csv", "");
    OpenEventLogFile();
}
