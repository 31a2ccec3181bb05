#include "network_ups/network_ups_readings.h"

#include "common/decimal.h"

const char* const kNetworkUpsMeasurementVariables[kNetworkUpsMeasurementCount] = {
    "input.voltage", "input.frequency", "output.voltage", "output.frequency",
    "ups.load",      "battery.voltage", "ups.temperature", "battery.charge",
};

namespace {

std::string Measurement(const std::map<std::string, std::string>& values, const char* name) {
    const auto found = values.find(name);
    return found == values.end() ? std::string() : NetworkUpsMeasurement(found->second);
}

}  // namespace

std::string NetworkUpsMeasurement(const std::string& text) {
    double value = 0;
    if (text.size() > kMaxMeasurementBytes || !ParseMeasuredValue(text, value)) return std::string();
    return text;
}

bool NetworkUpsChargePercent(const std::string& text, int32_t& percent) {
    double value = 0;
    if (text.size() > kMaxMeasurementBytes || !ParseMeasuredValue(text, value)) return false;
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    percent = static_cast<int32_t>(value);  // the whole percent: 87.9 is 87
    return true;
}

NetworkUpsReadings MakeNetworkUpsReadings(bool mainsFailed, const std::map<std::string, std::string>& values) {
    NetworkUpsReadings readings;
    readings.MainsFailed = mainsFailed;
    readings.InputVoltage = Measurement(values, "input.voltage");
    readings.InputFrequency = Measurement(values, "input.frequency");
    readings.OutputVoltage = Measurement(values, "output.voltage");
    readings.OutputFrequency = Measurement(values, "output.frequency");
    readings.Load = Measurement(values, "ups.load");
    readings.BatteryVoltage = Measurement(values, "battery.voltage");
    readings.Temperature = Measurement(values, "ups.temperature");
    const auto charge = values.find("battery.charge");
    readings.ChargeKnown = charge != values.end() && NetworkUpsChargePercent(charge->second, readings.Charge);
    return readings;
}
