// Test support: the texts of the event-log lines written so far, without their
// date and time, read from EventLog\EventLog.csv in a scratch folder.
#pragma once

#include <string>
#include <vector>

#include "testing/scratch_directory.h"

inline std::vector<std::string> EventLogTexts(const ScratchDirectory& scratch) {
    std::string bytes = scratch.ReadFile("EventLog\\EventLog.csv");
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        // "YYYY/MM/DD,HH:MM:SS,text"
        size_t second = line.find(',', line.find(',') + 1);
        texts.push_back(second == std::string::npos ? "<unstamped>" + line : line.substr(second + 1));
        start = end + 2;
    }
    return texts;
}
