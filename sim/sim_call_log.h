// The simulator's call log NervaUPSSim.log: one line per call the host makes, so that
// a test or an administrator can see afterwards what was asked of the UPS and when.
#pragma once

#include <string>

// The folder of the simulator library itself, with its trailing backslash; set once
// when the library is attached.
void SetSimFolder(const std::string& folder);
const std::string& SimFolder();

// Whether a line that would repeat, word for word, the line this process logged last is
// written. A host that asks the same question every second while nothing happens would
// otherwise grow the log by a line a second for nothing.
enum class CallLogRepeats { Written, Skipped };

// Appends "<local date> <time.ms>,<process id>,<entry>,<details>" and a CR LF, written
// and closed at once so that every line is on disk before the call returns. `details`
// are comma-separated name=value items. A log that cannot be written is skipped.
void WriteCallLog(const char* entry, const std::string& details,
                  CallLogRepeats repeats = CallLogRepeats::Written);

// A text value made safe for the comma-separated log: commas and line breaks become '_'.
std::string LogText(const std::string& text);
