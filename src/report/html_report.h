// The report as one self-contained HTML page: inline CSS and inline SVG only, no
// script, no external file, UTF-8.
#pragma once

#include <string>
#include <vector>

#include "report/report_day.h"
#include "report/report_texts.h"

struct ReportHeader {
    std::string computerName;  // UTF-8
    std::string createdAt;     // "2026/12/08 20:52:35"
};

// `days` newest first.
std::string RenderHtmlReport(const std::vector<ReportDay>& days, const ReportHeader& header,
                             const ReportTexts& texts, const std::string& htmlLanguage);
