// One day's data log read back for the report: the measurements of each line, a value
// the UPS did not give (or a damaged field) marked as missing rather than taken as 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/calendar_day.h"
#include "ups/ups_measurements.h"

// The eight measured columns of a data-log line, in the order of the file: the UPS's
// measurements (ups/ups_measurements.h).
using DataColumn = UpsMeasurement;
constexpr int32_t kDataColumnCount = kUpsMeasurementCount;

struct DataSample {
    int32_t secondOfDay = 0;
    double values[kDataColumnCount] = {};
    bool present[kDataColumnCount] = {};
};

struct DataLogDay {
    bool fileFound = false;
    std::vector<DataSample> samples;  // in time order
    int32_t skippedLines = 0;         // malformed, cut short or of another day
};

// One line of a data-log file of `day`: "YYYY/MM/DD,HH:MM:SS," and eight fields. False
// for the heading, a line of another day, a damaged stamp or a wrong number of fields.
// A field that is not a plain decimal ("--.-", empty, text) is missing; so is a
// battery charge outside 1-100, which the service writes when the UPS gave none.
bool ParseDataLogLine(const std::string& line, const CalendarDay& day, DataSample& sample);

// The file `DataLogFileName(day)` in `folder`. A missing or unreadable file gives
// fileFound false and no samples.
DataLogDay ReadDataLogDay(const std::string& folder, const CalendarDay& day);
