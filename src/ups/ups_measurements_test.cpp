// The measurements' one order: the record's fields, the data log's columns and the
// network UPS variables line up.
#include "ups/ups_measurements.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/status_record.h"

namespace {

TEST(UpsMeasurements, Field6IsTheTemperatureAndField7TheBatteryVoltage) {
    const UpsMeasurementTexts texts =
        RecordMeasurementTexts(StatusRecordOf("101.5", "60.0", "100.0", "59.9", "35", "28", "13.6"));
    const struct {
        UpsMeasurement measurement;
        const char* text;
        const char* variable;
    } cases[] = {
        {kInputVoltage, "101.5", "input.voltage"},     {kInputFrequency, "60.0", "input.frequency"},
        {kOutputVoltage, "100.0", "output.voltage"},   {kOutputFrequency, "59.9", "output.frequency"},
        {kLoadPercent, "35", "ups.load"},              {kTemperature, "28", "ups.temperature"},
        {kBatteryVoltage, "13.6", "battery.voltage"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts[c.measurement], c.text) << c.variable;
        EXPECT_STREQ(kUpsMeasurementVariables[c.measurement], c.variable);
    }
    EXPECT_STREQ(kUpsMeasurementVariables[kBatteryCharge], "battery.charge");
}

TEST(UpsMeasurements, FieldsAreReadWithinTheirWidthAndEmptyOnesStayEmpty) {
    // Each as long as its field: no NUL in any of them.
    const char* const brim[kRecordFieldCount] = {"xxxxxx", "xxxxx", "xxxxxx", "xxxxx", "xxxxx", "xxxx", "xxxxx"};
    const UpsMeasurementTexts full =
        RecordMeasurementTexts(StatusRecordOf(brim[0], brim[1], brim[2], brim[3], brim[4], brim[5], brim[6]));
    for (int32_t m = 0; m < kRecordFieldCount; ++m) EXPECT_EQ(full[m], brim[m]) << m;

    const UpsMeasurementTexts empty = RecordMeasurementTexts(StatusRecord{});
    for (const std::string& text : empty) EXPECT_EQ(text, "");
}

TEST(UpsMeasurements, OnlyALevelTheLibraryReportedIsAReading) {
    const struct {
        bool queried;
        int32_t level;
        bool reading;
    } cases[] = {
        {true, 1, true}, {true, 100, true}, {true, 0, false}, {true, -3, false}, {true, 101, false}, {false, 50, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsBatteryReading(c.queried, c.level), c.reading) << c.queried << " " << c.level;
    }
}

}  // namespace
