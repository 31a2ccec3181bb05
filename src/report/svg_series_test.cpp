#include "report/svg_series.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const PlotArea kArea{0, 0, 864, 100};  // 864 px a day: one pixel every 100 s
const ValueScale kScale{0, 100, 25};

DataSample Load(int32_t second, double value, bool present = true) {
    DataSample sample;
    sample.secondOfDay = second;
    sample.values[kLoadPercent] = value;
    sample.present[kLoadPercent] = present;
    return sample;
}

struct PathCase {
    const char* name;
    std::vector<DataSample> samples;
    const char* path;
};

TEST(SeriesPath, BreaksAtEveryGapInsteadOfJoiningAcross) {
    const PathCase cases[] = {
        {"one run", {Load(0, 0), Load(60, 50), Load(120, 100)}, "M0,100 L0.6,50 L1.2,0"},
        {"a missing line of the data log", {Load(0, 0), Load(60, 50), Load(180, 100), Load(240, 100)},
         "M0,100 L0.6,50 M1.8,0 L2.4,0"},
        {"a value the UPS did not report", {Load(0, 0), Load(60, 50, false), Load(120, 100), Load(180, 100)},
         "M0,100 h1 M1.2,0 L1.8,0"},
        {"a lone point stays visible", {Load(0, 10), Load(600, 20, false)}, "M0,90 h1"},
        {"nothing reported", {Load(0, 10, false), Load(60, 20, false)}, ""},
        {"no lines", {}, ""},
        {"values beyond the scale are held to its edge", {Load(0, -5), Load(60, 150)}, "M0,100 L0.6,0"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(SeriesPathData(c.samples, kLoadPercent, kArea, kScale), c.path) << c.name;
    }
}

struct ScaleCase {
    double low;
    double high;
    double minimum;
    double maximum;
    double step;
};

TEST(SeriesPath, ScalesHaveRoundTicks) {
    const ScaleCase cases[] = {
        {0, 100, 0, 100, 20},  {96.5, 103.2, 96, 104, 2},      {0, 240, 0, 250, 50},
        {25, 25, 24, 26, 0.5}, {49.9, 50.1, 49.9, 50.1, 0.05}, {-3, 7, -4, 8, 2},
    };
    for (const ScaleCase& c : cases) {
        const ValueScale scale = RoundScale(c.low, c.high);
        EXPECT_NEAR(scale.minimum, c.minimum, 1e-9) << c.low << ".." << c.high;
        EXPECT_NEAR(scale.maximum, c.maximum, 1e-9) << c.low << ".." << c.high;
        EXPECT_NEAR(scale.step, c.step, 1e-9) << c.low << ".." << c.high;
    }
}

TEST(SeriesPath, NumbersDropTrailingZeros) {
    EXPECT_EQ(FormatNumber(230.0, 1), "230");
    EXPECT_EQ(FormatNumber(49.95, 2), "49.95");
    EXPECT_EQ(FormatNumber(49.90, 2), "49.9");
    EXPECT_EQ(FormatNumber(-0.01, 1), "0");
    EXPECT_EQ(FormatNumber(-2.5, 1), "-2.5");
}

}  // namespace
