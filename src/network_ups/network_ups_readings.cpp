#include "network_ups/network_ups_readings.h"

#include "common/decimal.h"

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
    for (int32_t m = 0; m < kRecordFieldCount; ++m) {
        readings.Measurements[m] = Measurement(values, kUpsMeasurementVariables[m]);
    }
    const auto charge = values.find(kUpsMeasurementVariables[kBatteryCharge]);
    readings.ChargeKnown = charge != values.end() && NetworkUpsChargePercent(charge->second, readings.Charge);
    return readings;
}
