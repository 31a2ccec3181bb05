#include "report/day_summary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

const CalendarDay kDay{2026, 12, 8};
const CalendarDay kDayBefore{2026, 12, 7};

DataSample Sample(int32_t second, double load, bool chargeKnown = true) {
    DataSample sample;
    sample.secondOfDay = second;
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        sample.present[column] = true;
        sample.values[column] = 100.0;
    }
    sample.values[kLoadPercent] = load;
    sample.present[kBatteryCharge] = chargeKnown;
    sample.values[kBatteryCharge] = chargeKnown ? 90.0 : 0.0;
    return sample;
}

// One line a minute from `fromMinute` up to (not including) `toMinute`, each a few
// seconds into its minute and drifting as the service's lines do.
void AddMinutes(DataLogDay& day, int32_t fromMinute, int32_t toMinute) {
    for (int32_t minute = fromMinute; minute < toMinute; ++minute) {
        day.samples.push_back(Sample(minute * 60 + minute % 50, 20.0 + minute % 3));
    }
}

PowerEvent Event(const CalendarDay& day, int32_t second, PowerEventKind kind) {
    return PowerEvent{WallSeconds(day, second), kind};
}

struct SummaryCase {
    const char* name;
    DataLogDay data;
    std::vector<PowerEvent> events;
    int32_t dayLength;
    int32_t switches;
    int32_t onBattery;
    int32_t longest;
    int32_t minutesWithoutData;
};

TEST(DaySummary, CountsOutagesAndMissingMinutes) {
    DataLogDay fullDay;
    AddMinutes(fullDay, 0, 1440);
    DataLogDay withGaps;
    AddMinutes(withGaps, 0, 300);
    AddMinutes(withGaps, 330, 1438);  // half an hour missing, and the last two minutes
    DataLogDay morningOnly;
    AddMinutes(morningOnly, 0, 600);
    DataLogDay empty;

    const SummaryCase cases[] = {
        {"a normal day", fullDay, {Event(kDayBefore, 3600, PowerEventKind::UpsConnected)}, kSecondsPerDay, 0, 0, 0, 0},
        {"an outage crossing midnight: the tail", fullDay,
         {Event(kDayBefore, 3600, PowerEventKind::UpsConnected),
          Event(kDayBefore, 23 * 3600 + 1800, PowerEventKind::MainsFailed),
          Event(kDay, 1200, PowerEventKind::MainsRestored)},
         kSecondsPerDay, 0, 1200, 1200, 0},
        {"two outages", fullDay,
         {Event(kDay, 60, PowerEventKind::UpsConnected), Event(kDay, 3600, PowerEventKind::MainsFailed),
          Event(kDay, 3900, PowerEventKind::MainsRestored), Event(kDay, 7200, PowerEventKind::MainsFailed),
          Event(kDay, 8000, PowerEventKind::MainsRestored)},
         kSecondsPerDay, 2, 1100, 800, 0},
        {"an outage until the day's end", fullDay,
         {Event(kDay, 60, PowerEventKind::UpsConnected), Event(kDay, 86000, PowerEventKind::MainsFailed)},
         kSecondsPerDay, 1, 400, 400, 0},
        {"the UPS lost during an outage ends the known battery time", fullDay,
         {Event(kDay, 60, PowerEventKind::UpsConnected), Event(kDay, 3600, PowerEventKind::MainsFailed),
          Event(kDay, 3700, PowerEventKind::UpsLost)},
         kSecondsPerDay, 1, 100, 100, 0},
        {"gaps", withGaps, {}, kSecondsPerDay, 0, 0, 0, 32},
        {"today, up to now", morningOnly, {}, 600 * 60 + 30, 0, 0, 0, 0},
        {"a file with a heading only", empty, {}, kSecondsPerDay, 0, 0, 0, 1440},
    };
    for (const SummaryCase& c : cases) {
        const DayTimeline timeline = TimelineOfDay(c.events, kDay, c.dayLength);
        const DaySummary summary = SummarizeDay(c.data, timeline, c.dayLength);
        EXPECT_EQ(summary.switchesToBattery, c.switches) << c.name;
        EXPECT_EQ(summary.secondsOnBattery, c.onBattery) << c.name;
        EXPECT_EQ(summary.longestOnBattery, c.longest) << c.name;
        EXPECT_EQ(summary.minutesWithoutData, c.minutesWithoutData) << c.name;
    }
}

TEST(DaySummary, RangesLeaveMissingValuesOut) {
    DataLogDay day;
    day.samples = {Sample(0, 10.0), Sample(60, 30.0, false), Sample(120, 50.0)};
    day.samples[1].present[kLoadPercent] = false;  // "--.-" in the file
    const DaySummary summary = SummarizeDay(day, DayTimeline(), kSecondsPerDay);
    const ColumnSummary& load = summary.columns[kLoadPercent];
    ASSERT_TRUE(load.any);
    EXPECT_DOUBLE_EQ(load.minimum, 10.0);
    EXPECT_DOUBLE_EQ(load.average, 30.0);
    EXPECT_DOUBLE_EQ(load.maximum, 50.0);
    EXPECT_DOUBLE_EQ(summary.columns[kBatteryCharge].minimum, 90.0) << "an unknown charge is not 0 %";

    DataLogDay noCharge;
    noCharge.samples = {Sample(0, 10.0, false)};
    EXPECT_FALSE(SummarizeDay(noCharge, DayTimeline(), kSecondsPerDay).columns[kBatteryCharge].any);
}

struct GapCase {
    int32_t from;
    int32_t to;
    int32_t missing;
};

TEST(DaySummary, MinutesMissingBetweenTwoLines) {
    const GapCase cases[] = {
        {0, 60, 0}, {0, 61, 0}, {0, 89, 0}, {0, 90, 1}, {0, 120, 1}, {0, 150, 2}, {0, 1800, 29}, {-30, 30, 0},
    };
    for (const GapCase& c : cases) {
        EXPECT_EQ(MissingMinutesBetween(c.from, c.to), c.missing) << c.from << " to " << c.to;
    }
}

}  // namespace
