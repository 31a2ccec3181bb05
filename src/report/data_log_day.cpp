#include "report/data_log_day.h"

#include <algorithm>

#include "common/decimal.h"
#include "common/exe_path.h"
#include "common/text_file.h"

bool ParseDataLogLine(const std::string& line, const CalendarDay& day, DataSample& sample) {
    const std::vector<std::string> fields = SplitAtCommas(line);
    if (fields.size() != 2 + kDataColumnCount) return false;
    CalendarDay lineDay;
    if (!ParseLogDate(fields[0], lineDay) || DayNumber(lineDay) != DayNumber(day)) return false;
    DataSample parsed;
    if (!ParseLogTime(fields[1], parsed.secondOfDay)) return false;
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        double value = 0;
        parsed.present[column] = ParseMeasuredValue(fields[2 + column], value);
        parsed.values[column] = parsed.present[column] ? value : 0.0;
    }
    // The charge column is the library's level query, 0 when it gave none.
    const double charge = parsed.values[kBatteryCharge];
    const bool whole = charge >= 0.0 && charge <= 1000.0 && charge == static_cast<int32_t>(charge);
    if (parsed.present[kBatteryCharge] && !(whole && IsBatteryReading(true, static_cast<int32_t>(charge)))) {
        parsed.present[kBatteryCharge] = false;
        parsed.values[kBatteryCharge] = 0.0;
    }
    sample = parsed;
    return true;
}

DataLogDay ReadDataLogDay(const std::string& folder, const CalendarDay& day) {
    DataLogDay result;
    bool headingSeen = false;
    result.fileFound = ReadTextLines(JoinPath(folder, DataLogFileName(day)), [&](const std::string& line) {
        DataSample sample;
        if (ParseDataLogLine(line, day, sample)) {
            result.samples.push_back(sample);
        } else if (!headingSeen && result.samples.empty() && result.skippedLines == 0) {
            headingSeen = true;  // the first line of a file is its heading
        } else if (!line.empty()) {
            ++result.skippedLines;
        }
        return true;
    });
    // Lines come in time order unless the clock was set back; the charts need the order.
    std::stable_sort(result.samples.begin(), result.samples.end(),
                     [](const DataSample& a, const DataSample& b) { return a.secondOfDay < b.secondOfDay; });
    return result;
}
