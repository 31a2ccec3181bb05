// The event list: UPS event numbers to texts, from EventList_jp.csv / EventList_en.csv.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct EventListEntry {
    int32_t number;
    std::string text;  // the file's bytes, no code-page conversion
};

// Reads Setting.ini for LANG and loads the matching list from the executable's
// folder. Runs once at start-up, before any other thread exists. False when the
// file cannot be opened (the list is then empty).
bool LoadEventList();

// Replaces the list with the entries of one file (used by LoadEventList and tests).
bool LoadEventListFile(const std::string& path);

// The text of the first entry with this number, or an empty text.
std::string EventListText(int32_t number);

// The entries of one file in file order, without touching the process's list (the
// report reads both languages' lists to recognise the lines of either).
bool ReadEventListFile(const std::string& path, std::vector<EventListEntry>& entries);
