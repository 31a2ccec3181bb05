#include "report/calendar_day.h"

#include <gtest/gtest.h>

namespace {

struct DayNumberCase {
    CalendarDay day;
    int64_t number;
};

TEST(CalendarDay, CountsDaysAcrossLeapYearsAndCenturies) {
    const DayNumberCase cases[] = {
        {{1970, 1, 1}, 0},        {{1969, 12, 31}, -1},     {{2000, 2, 29}, 11016}, {{2000, 3, 1}, 11017},
        {{2026, 12, 8}, 20795},   {{2100, 3, 1}, 47541},    {{2024, 12, 31}, 20088}, {{2025, 1, 1}, 20089},
    };
    for (const DayNumberCase& c : cases) {
        EXPECT_EQ(DayNumber(c.day), c.number) << LogDateText(c.day);
        const CalendarDay back = DayFromNumber(c.number);
        EXPECT_EQ(LogDateText(back), LogDateText(c.day));
    }
    EXPECT_EQ(WallSeconds({1970, 1, 2}, 5), 86405);
}

struct DateCase {
    const char* text;
    bool valid;
};

TEST(CalendarDay, ReadsOnlyRealDatesInTheLogsForm) {
    const DateCase cases[] = {
        {"2026/12/08", true},  {"2024/02/29", true},  {"2026/02/29", false}, {"2026/02/30", false},
        {"2026/13/01", false}, {"2026/00/10", false}, {"2026/12/00", false}, {"2026-12-08", false},
        {"2026/1/08", false},  {"2026/12/8", false},  {" 2026/12/8", false}, {"2026/12/08 ", false},
        {"abcd/ef/gh", false}, {"", false},           {"2026/12/31", true},  {"2026/04/31", false},
    };
    for (const DateCase& c : cases) {
        CalendarDay day;
        EXPECT_EQ(ParseLogDate(c.text, day), c.valid) << '"' << c.text << '"';
    }
    CalendarDay day;
    ASSERT_TRUE(ParseLogDate("2026/12/08", day));
    EXPECT_EQ(day.year, 2026);
    EXPECT_EQ(day.month, 12);
    EXPECT_EQ(day.day, 8);
    EXPECT_EQ(DataLogFileName(day), "20261208.csv");
}

struct TimeCase {
    const char* text;
    bool valid;
    int32_t second;
};

TEST(CalendarDay, ReadsTimesOfDay) {
    const TimeCase cases[] = {
        {"00:00:00", true, 0},     {"23:59:59", true, 86399}, {"12:34:56", true, 45296},
        {"23:59:60", true, 86399}, {"24:00:00", false, 0},    {"12:60:00", false, 0},
        {"1:02:03", false, 0},     {"12:34", false, 0},       {"12-34-56", false, 0}, {"ab:cd:ef", false, 0},
    };
    for (const TimeCase& c : cases) {
        int32_t second = -1;
        EXPECT_EQ(ParseLogTime(c.text, second), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(second, c.second) << c.text;
        }
    }
}

}  // namespace
