// The charts of one day as inline SVG: the power-state ribbon, then voltage, load,
// battery charge and temperature stacked on one 00:00-24:00 axis, with the external
// command and the OS shutdown marked across all of them.
#pragma once

#include <string>

#include "report/report_day.h"
#include "report/report_texts.h"

// The whole chart of a day that has a data-log file.
std::string DayChartSvg(const ReportDay& day, const ReportTexts& texts);

// The ribbon and the markers alone, for a day without data; empty when there is nothing.
std::string DayRibbonSvg(const ReportDay& day, const ReportTexts& texts);

// "h:mm:ss" of a span or a second of the day.
std::string FormatClock(int32_t seconds);
