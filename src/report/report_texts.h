// The report's words, in UTF-8 from the message table of LANG, and the escaping that
// keeps any text (a model name, a message an administrator edited) plain text in HTML.
#pragma once

#include <string>

#include "report/data_log_day.h"

struct ReportTexts {
    std::string title, period, created, computer, noData, skippedLines;
    std::string measurement, minimum, average, maximum;
    std::string switchesToBattery, timeOnBattery, longestOnBattery, lowestCharge, peakLoad, peakTemperature;
    std::string minutesWithoutData, percent, degrees;
    std::string voltageChart, timeOfDay, powerState, onMains, onBattery, upsLost, externalCommand, osShutdown;
    std::string columnNames[kDataColumnCount];  // from the data log's heading, units included
};

// From the loaded message table; a key the table lacks stands for itself.
ReportTexts LoadReportTexts();

// &, <, >, " and ' as entities; bytes that are not UTF-8 become U+FFFD.
std::string EscapeHtml(const std::string& utf8);
