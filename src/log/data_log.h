// DataLog\YYYYMMDD.csv beside the executable: measurement lines, one file per day,
// kept for 29 days.
#pragma once

#include <string>

// ExeDirectory() + "DataLog".
std::string DataLogFolder();

// Local date of the (test-replaceable) clock as YYYYMMDD.
std::string DateStamp();

// Creates the folder, prunes old files and opens today's file, writing the heading
// line into a new file. True when today's file is open afterwards.
bool OpenDataLogFile();

// Appends "<%Y/%m/%d,%H:%M:%S>,<line>" to today's file, moving to a new file when
// the day has changed.
void WriteDataLog(const std::string& line);

// Deletes the regular files of `folder` whose names start with a date 29 or more days back.
void PruneDataLogs(const std::string& folder);

void CloseDataLogForTest();
