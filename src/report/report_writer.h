// REPORT [days]: the HTML report of the data log and the event log, written to
// DataLog\Report.html beside the executable.
#pragma once

#include <cstdint>
#include <string>

constexpr int32_t kReportDaysDefault = 7;
constexpr int32_t kReportDaysMax = 29;  // the data log keeps no more

// DataLog\Report.html beside the executable.
std::string ReportPath();

// Reads the logs, renders the last `days` days (today included) and replaces the report
// file in one step. `japanese` picks the page's language tag. On failure `errorCode` is
// the Windows error and the old report, if any, is untouched.
bool WriteReport(int32_t days, bool japanese, uint32_t& errorCode);
