// Calendar days and times of day as the logs write them ("2026/12/08", "20:52:35"),
// counted without a time zone: a report's axis is the wall clock of the day.
#pragma once

#include <cstdint>
#include <string>

struct CalendarDay {
    int32_t year = 1970;
    int32_t month = 1;  // 1-12
    int32_t day = 1;    // 1-31
};

constexpr int32_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of the proleptic Gregorian calendar; negative before it.
int64_t DayNumber(const CalendarDay& day);
CalendarDay DayFromNumber(int64_t dayNumber);

// "YYYY/MM/DD" exactly, a real date (2026/02/30 is not). False leaves `day` untouched.
bool ParseLogDate(const std::string& text, CalendarDay& day);

// "HH:MM:SS" exactly, 00:00:00 to 23:59:59 (a leap second's :60 is taken as :59).
bool ParseLogTime(const std::string& text, int32_t& secondOfDay);

// "2026/12/08" and the data log's file name "20261208.csv".
std::string LogDateText(const CalendarDay& day);
std::string DataLogFileName(const CalendarDay& day);

// A moment of local wall-clock time: seconds since 1970-01-01 00:00 of the calendar,
// so that the stamps of two lines can be compared and subtracted.
int64_t WallSeconds(const CalendarDay& day, int32_t secondOfDay);
