#include "report/day_summary.h"

#include <algorithm>
#include <cmath>

int32_t MissingMinutesBetween(int32_t fromSecond, int32_t toSecond) {
    const int32_t spacing = toSecond - fromSecond;
    if (spacing < kDataGapSeconds) return 0;
    // Lines drift by up to a second each, so the count is the spacing in minutes, rounded.
    return std::max<int32_t>(1, static_cast<int32_t>(std::lround(spacing / 60.0)) - 1);
}

DaySummary SummarizeDay(const DataLogDay& data, const DayTimeline& timeline, int32_t dayLength) {
    DaySummary summary;
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        ColumnSummary& result = summary.columns[column];
        double total = 0;
        int32_t count = 0;
        for (const DataSample& sample : data.samples) {
            if (!sample.present[column]) continue;
            const double value = sample.values[column];
            result.minimum = count == 0 ? value : std::min(result.minimum, value);
            result.maximum = count == 0 ? value : std::max(result.maximum, value);
            total += value;
            ++count;
        }
        result.any = count > 0;
        result.average = count > 0 ? total / count : 0.0;
    }

    summary.switchesToBattery = timeline.switchesToBattery;
    for (const RibbonSegment& segment : timeline.segments) {
        if (segment.state != PowerState::OnBattery) continue;
        summary.secondsOnBattery += segment.to - segment.from;
        summary.longestOnBattery = std::max(summary.longestOnBattery, segment.to - segment.from);
    }

    // The day's edges count like lines half a minute outside the day: a first line at
    // 00:00:59 leaves nothing missing, one at 00:01:30 leaves the first minute empty.
    int32_t previous = -30;
    int32_t missing = 0;
    for (const DataSample& sample : data.samples) {
        if (sample.secondOfDay >= dayLength) break;
        missing += MissingMinutesBetween(previous, sample.secondOfDay);
        previous = sample.secondOfDay;
    }
    missing += MissingMinutesBetween(previous, dayLength + 29);
    summary.minutesWithoutData = std::min(missing, (dayLength + 59) / 60);
    return summary;
}
