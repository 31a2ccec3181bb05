// The figures of one day that an administrator asks for first: the range of every
// measurement, the time spent on battery and how much of the day has no data.
#pragma once

#include <cstdint>

#include "report/data_log_day.h"
#include "report/power_timeline.h"

// Two data-log lines further apart than this have at least one line missing between
// them: the service writes one a minute.
constexpr int32_t kDataGapSeconds = 90;

struct ColumnSummary {
    bool any = false;  // no value at all: min, average and max are meaningless
    double minimum = 0;
    double average = 0;
    double maximum = 0;
};

struct DaySummary {
    ColumnSummary columns[kDataColumnCount];
    int32_t switchesToBattery = 0;
    int32_t secondsOnBattery = 0;
    int32_t longestOnBattery = 0;    // the longest stretch on battery within the day
    int32_t minutesWithoutData = 0;  // minutes of [0, dayLength) that no line speaks for
};

// `dayLength` is 86,400 for a past day and the seconds since midnight for today.
DaySummary SummarizeDay(const DataLogDay& data, const DayTimeline& timeline, int32_t dayLength);

// Whole minutes without a line in the stretch between two lines (or the day's edges).
int32_t MissingMinutesBetween(int32_t fromSecond, int32_t toSecond);
