#include "report/svg_series.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/day_summary.h"

ValueScale RoundScale(double low, double high) {
    if (high < low) std::swap(low, high);
    if (high - low < 1e-9) {
        low -= 1.0;
        high += 1.0;
    }
    const double rough = (high - low) / 5.0;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * power;
        if (step >= rough) break;
    }
    ValueScale scale;
    scale.step = step;
    // A bound that is a tick already must not move a step out through rounding (49.9 / 0.05).
    scale.minimum = std::floor(low / step + 1e-9) * step;
    scale.maximum = std::ceil(high / step - 1e-9) * step;
    return scale;
}

double XOfSecond(const PlotArea& area, int32_t secondOfDay) {
    return area.left + area.width * secondOfDay / kSecondsPerDay;
}

double YOfValue(const PlotArea& area, const ValueScale& scale, double value) {
    const double span = scale.maximum - scale.minimum;
    const double clamped = std::min(std::max(value, scale.minimum), scale.maximum);
    return area.top + area.height * (scale.maximum - clamped) / span;
}

std::string FormatNumber(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    std::string result = text;
    if (result.find('.') != std::string::npos) {
        while (result.back() == '0') result.pop_back();
        if (result.back() == '.') result.pop_back();
    }
    return result == "-0" ? "0" : result;
}

std::string SeriesPathData(const std::vector<DataSample>& samples, DataColumn column, const PlotArea& area,
                           const ValueScale& scale) {
    std::string path;
    bool inRun = false;
    int32_t previousSecond = 0;
    size_t runLength = 0;
    // A run of one point has no length: a dash of about a minute's width shows it.
    auto endRun = [&]() {
        if (inRun && runLength == 1) path += " h1";
        inRun = false;
        runLength = 0;
    };
    for (const DataSample& sample : samples) {
        if (!sample.present[column]) {
            endRun();
            continue;
        }
        if (inRun && sample.secondOfDay - previousSecond >= kDataGapSeconds) endRun();
        const std::string point = FormatNumber(XOfSecond(area, sample.secondOfDay), 1) + "," +
                                  FormatNumber(YOfValue(area, scale, sample.values[column]), 1);
        if (!path.empty() && !inRun) path += " ";
        path += (inRun ? " L" : "M") + point;
        inRun = true;
        ++runLength;
        previousSecond = sample.secondOfDay;
    }
    endRun();
    return path;
}
