// The measurements' one order: the record's fields, the data log's columns and the
// network UPS variables line up.
#include "ups/ups_measurements.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(UpsMeasurements, Field6IsTheTemperatureAndField7TheBatteryVoltage) {
    StatusRecord record = {};
    std::strcpy(record.Field1, "101.5");
    std::strcpy(record.Field2, "60.0");
    std::strcpy(record.Field3, "100.0");
    std::strcpy(record.Field4, "59.9");
    std::strcpy(record.Field5, "35");
    std::strcpy(record.Field6, "28");
    std::strcpy(record.Field7, "13.6");
    const UpsMeasurementTexts texts = RecordMeasurementTexts(record);
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
    StatusRecord record = {};
    std::memset(&record, 'x', offsetof(StatusRecord, MainsFailed));  // no NUL in any text field
    const UpsMeasurementTexts full = RecordMeasurementTexts(record);
    const size_t widths[kRecordFieldCount] = {6, 5, 6, 5, 5, 4, 5};  // the array sizes
    for (int32_t m = 0; m < kRecordFieldCount; ++m) EXPECT_EQ(full[m], std::string(widths[m], 'x')) << m;

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
