#include "report/calendar_day.h"

#include <cctype>
#include <cstdio>

#include "log/data_log.h"

namespace {

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t DaysInMonth(int32_t year, int32_t month) {
    static const int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The number written by `count` digits at `text[at]`, or -1 when one is not a digit.
int32_t FixedDigits(const std::string& text, size_t at, size_t count) {
    int32_t value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

// Howard Hinnant's days-from-civil: exact for every Gregorian date.
int64_t DayNumber(const CalendarDay& day) {
    const int64_t y = static_cast<int64_t>(day.year) - (day.month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t m = day.month;
    const int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + day.day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CalendarDay DayFromNumber(int64_t dayNumber) {
    const int64_t z = dayNumber + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    CalendarDay day;
    day.day = static_cast<int32_t>(dayOfYear - (153 * mp + 2) / 5 + 1);
    day.month = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    day.year = static_cast<int32_t>(yearOfEra + era * 400 + (day.month <= 2 ? 1 : 0));
    return day;
}

bool ParseLogDate(const std::string& text, CalendarDay& day) {
    if (text.size() != 10 || text[4] != '/' || text[7] != '/') return false;
    const int32_t year = FixedDigits(text, 0, 4);
    const int32_t month = FixedDigits(text, 5, 2);
    const int32_t dayOfMonth = FixedDigits(text, 8, 2);
    if (year < 1 || month < 1 || month > 12 || dayOfMonth < 1) return false;
    if (dayOfMonth > DaysInMonth(year, month)) return false;
    day = CalendarDay{year, month, dayOfMonth};
    return true;
}

bool ParseLogTime(const std::string& text, int32_t& secondOfDay) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
    const int32_t hour = FixedDigits(text, 0, 2);
    const int32_t minute = FixedDigits(text, 3, 2);
    const int32_t second = FixedDigits(text, 6, 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) return false;
    secondOfDay = hour * 3600 + minute * 60 + (second == 60 ? 59 : second);
    return true;
}

std::string LogDateText(const CalendarDay& day) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04d/%02d/%02d", static_cast<int>(day.year), static_cast<int>(day.month),
                  static_cast<int>(day.day));
    return text;
}

std::string DataLogFileName(const CalendarDay& day) {
    return DateStampOfDay(day.year, day.month, day.day) + ".csv";
}

int64_t WallSeconds(const CalendarDay& day, int32_t secondOfDay) {
    return DayNumber(day) * kSecondsPerDay + secondOfDay;
}
