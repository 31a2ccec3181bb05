#include "ups/ups_measurements.h"

#include <cstring>

const char* const kUpsMeasurementVariables[kUpsMeasurementCount] = {
    "input.voltage", "input.frequency", "output.voltage",  "output.frequency",
    "ups.load",      "ups.temperature", "battery.voltage", "battery.charge",
};

namespace {

template <size_t Width>
std::string FieldText(const char (&field)[Width]) {
    return std::string(field, strnlen(field, Width));
}

}  // namespace

UpsMeasurementTexts RecordMeasurementTexts(const StatusRecord& record) {
    UpsMeasurementTexts texts;
    texts[kInputVoltage] = FieldText(record.Field1);
    texts[kInputFrequency] = FieldText(record.Field2);
    texts[kOutputVoltage] = FieldText(record.Field3);
    texts[kOutputFrequency] = FieldText(record.Field4);
    texts[kLoadPercent] = FieldText(record.Field5);
    texts[kTemperature] = FieldText(record.Field6);
    texts[kBatteryVoltage] = FieldText(record.Field7);
    return texts;
}

bool IsBatteryReading(bool queried, int32_t level) { return queried && level > 0 && level <= 100; }
