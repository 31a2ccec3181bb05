// The geometry of the report's charts: value axes with round ticks, and the path of a
// series that breaks wherever data is missing instead of joining across the gap.
#pragma once

#include <string>
#include <vector>

#include "report/data_log_day.h"

struct PlotArea {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

struct ValueScale {
    double minimum = 0;
    double maximum = 1;
    double step = 1;  // between ticks
};

// A scale with round ticks (1, 2 or 5 times a power of ten) that holds [low, high],
// four or five steps high. An empty or flat range still gets a visible span.
ValueScale RoundScale(double low, double high);

// x of a second of the day and y of a value, in the plot area.
double XOfSecond(const PlotArea& area, int32_t secondOfDay);
double YOfValue(const PlotArea& area, const ValueScale& scale, double value);

// SVG path data of one column: "M x,y L x,y ..."; a missing value, or two lines further
// apart than a data gap, start a new "M". A run of one sample is drawn as a short dash so
// that it stays visible. Empty when the column has no value.
std::string SeriesPathData(const std::vector<DataSample>& samples, DataColumn column, const PlotArea& area,
                           const ValueScale& scale);

// A number for the page: up to `decimals` places, trailing zeros dropped ("230", "49.9").
std::string FormatNumber(double value, int decimals);
