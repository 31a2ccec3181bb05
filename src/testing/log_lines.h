// Test support: the lines of the program's logs as a test reads them back.
#pragma once

#include <string>
#include <vector>

#include "testing/scratch_directory.h"

// The lines of a file written with CR LF line ends.
std::vector<std::string> SplitCrLfLines(const std::string& bytes);

// "2026/12/10,03:00:01,text" -> "text"; a line without the stamp is marked as such.
std::string WithoutStamp(const std::string& line);

// Closes the event log, empties EventLog\EventLog.csv of the scratch folder and opens it
// again, so that a case of a table starts with no lines of the cases before it.
void RestartEventLogEmpty(const ScratchDirectory& scratch);

// The texts of the lines in EventLog\EventLog.csv of the scratch folder, without date and time.
std::vector<std::string> EventLogTexts(const ScratchDirectory& scratch);
