#include "report/report_day.h"

ReportDay CollectReportDay(const std::string& dataLogFolder, const std::vector<PowerEvent>& events,
                           const CalendarDay& day, int32_t dayLength) {
    ReportDay result;
    result.day = day;
    result.dayLength = dayLength;
    result.data = ReadDataLogDay(dataLogFolder, day);
    result.timeline = TimelineOfDay(events, day, dayLength);
    result.summary = SummarizeDay(result.data, result.timeline, dayLength);
    return result;
}
