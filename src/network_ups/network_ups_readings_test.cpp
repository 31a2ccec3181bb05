// The readings record made from a network UPS's variables: which values are taken as
// measurements and how the charge becomes a whole percent.
#include "network_ups/network_ups_readings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(NetworkUpsReadingsTest, OnlyPlainShortDecimalNumbersAreMeasurements) {
    const struct {
        std::string text;
        std::string measurement;
    } cases[] = {
        {"230.5", "230.5"}, {"50", "50"}, {"-3", "-3"}, {"0", "0"}, {"1234567890", "1234567890"},
        {"12345.67890", ""}, {"", ""}, {"12V", ""}, {"1e3", ""}, {" 230", ""}, {"230 ", ""},
        {"--.-", ""}, {"1.2.3", ""}, {"unknown", ""}, {std::string("23\0", 3), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(NetworkUpsMeasurement(c.text), c.measurement) << "\"" << c.text << "\"";
}

TEST(NetworkUpsReadingsTest, TheChargeIsTheWholePercentHeldToZeroToHundred) {
    const struct {
        const char* text;
        bool known;
        int32_t percent;
    } cases[] = {
        {"100", true, 100}, {"87", true, 87}, {"87.9", true, 87}, {"0", true, 0}, {"0.4", true, 0},
        {"150", true, 100}, {"-5", true, 0}, {"9999999999", true, 100},
        {"", false, -1}, {"87%", false, -1}, {"full", false, -1}, {"12345678901", false, -1},
    };
    for (const auto& c : cases) {
        int32_t percent = -1;
        EXPECT_EQ(NetworkUpsChargePercent(c.text, percent), c.known) << c.text;
        EXPECT_EQ(percent, c.percent) << c.text;
    }
}

TEST(NetworkUpsReadingsTest, EachVariableFillsItsOwnFieldAndMissingOnesStayEmpty) {
    const std::map<std::string, std::string> values = {
        {"input.voltage", "230.1"},  {"input.frequency", "50.0"}, {"output.voltage", "229.9"},
        {"output.frequency", "49.9"}, {"ups.load", "23"},         {"battery.voltage", "27.1"},
        {"ups.temperature", "31.5"}, {"battery.charge", "64.5"},
    };
    NetworkUpsReadings full = MakeNetworkUpsReadings(true, values);
    EXPECT_TRUE(full.MainsFailed);
    const struct {
        UpsMeasurement measurement;
        const char* value;
    } expected[] = {
        {kInputVoltage, "230.1"}, {kInputFrequency, "50.0"}, {kOutputVoltage, "229.9"}, {kOutputFrequency, "49.9"},
        {kLoadPercent, "23"},     {kTemperature, "31.5"},    {kBatteryVoltage, "27.1"},
    };
    for (const auto& e : expected) EXPECT_EQ(full.Measurements[e.measurement], e.value) << e.measurement;
    EXPECT_TRUE(full.ChargeKnown);
    EXPECT_EQ(full.Charge, 64);
    for (const char* name : kNetworkUpsMeasurementVariables) {
        EXPECT_EQ(values.count(name), 1u) << name << " is read but no field takes it";
    }

    const NetworkUpsReadings sparse =
        MakeNetworkUpsReadings(false, {{"input.voltage", "not a number"}, {"battery.charge", "n/a"}, {"x", "1"}});
    EXPECT_FALSE(sparse.MainsFailed);
    for (const std::string& measurement : sparse.Measurements) EXPECT_EQ(measurement, "");
    EXPECT_FALSE(sparse.ChargeKnown);
}

}  // namespace
