// DataLog\YYYYMMDD.csv beside the executable: measurement lines, one file per day,
// kept for 29 days.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// ExeDirectory() + "DataLog".
std::string DataLogFolder();

// Local date of the (test-replaceable) clock as YYYYMMDD.
std::string DateStamp();

// The stamp of a given day: the year without leading zeros, month and day in two digits.
std::string DateStampOfDay(int32_t year, int32_t month, int32_t day);

// Creates the folder, prunes old files and opens today's file, writing the heading
// line into a new file. True when today's file is open afterwards.
bool OpenDataLogFile();

// Appends "<%Y/%m/%d,%H:%M:%S>,<line>" to today's file, moving to a new file when
// the day has changed.
void WriteDataLog(const std::string& line);

// Deletes the regular files of `folder` whose names start with a date 29 or more days back.
void PruneDataLogs(const std::string& folder);

// The retention rule for one file name at the moment `now`: the first eight characters
// read as year (4), month (2) and day (2), that date's local midnight converted as
// mktime does with daylight saving off; expired when it is 29 days (29 x 86,400 s) or
// more before `now`, or when the conversion rejects the date (before 1970, after the
// year 3000). Names shorter than 8 bytes, or without a number in a part, never expire.
bool DataLogNameExpired(const std::string& name, std::time_t now);

// Only plain files are pruned: never folders, symbolic links or junctions.
bool DataLogEntryIsPrunable(uint32_t attributes);

void CloseDataLogForTest();
