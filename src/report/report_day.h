// Everything the report shows of one calendar day, gathered from the logs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/calendar_day.h"
#include "report/data_log_day.h"
#include "report/day_summary.h"
#include "report/power_timeline.h"

struct ReportDay {
    CalendarDay day;
    int32_t dayLength = kSecondsPerDay;  // up to now for today
    DataLogDay data;
    DayTimeline timeline;
    DaySummary summary;
};

// The day's data-log file from `dataLogFolder`, its states from `events`.
ReportDay CollectReportDay(const std::string& dataLogFolder, const std::vector<PowerEvent>& events,
                           const CalendarDay& day, int32_t dayLength);
