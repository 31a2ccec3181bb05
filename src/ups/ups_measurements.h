// The UPS's measurements, named once: their order is that of the measurement record's
// text fields (StatusRecord Field1..Field7) and of the data log's columns 3 to 10, and
// each has the network UPS variable that carries it. Everything that reads or writes
// them by position (the event callback, the latest reading, the network UPS source,
// the network server, the report) takes the order from here.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "ups/ups_library.h"

enum UpsMeasurement : int32_t {
    kInputVoltage,     // Field1, V
    kInputFrequency,   // Field2, Hz
    kOutputVoltage,    // Field3, V
    kOutputFrequency,  // Field4, Hz
    kLoadPercent,      // Field5, %
    kTemperature,      // Field6: the UPS's internal temperature in °C, at most 3 characters ("35")
    kBatteryVoltage,   // Field7: the battery voltage in V, at most 4 characters ("27.3")
    kBatteryCharge,    // not in the record: the library's battery-level query, in %
    kUpsMeasurementCount
};

// The measurements the record carries as text: all but the charge.
constexpr int32_t kRecordFieldCount = kBatteryCharge;
static_assert(sizeof(StatusRecord::Field6) == 3 + 1, "Field6 holds a temperature");
static_assert(sizeof(StatusRecord::Field7) == 4 + 1, "Field7 holds a battery voltage");

// The network UPS variable of each measurement, by UpsMeasurement: input.voltage,
// input.frequency, output.voltage, output.frequency, ups.load, ups.temperature,
// battery.voltage, battery.charge.
extern const char* const kUpsMeasurementVariables[kUpsMeasurementCount];

// The text of each measurement of a record, by UpsMeasurement (empty where none was given).
using UpsMeasurementTexts = std::array<std::string, kRecordFieldCount>;

// The record's text fields in measurement order, each read within its own width: a library
// that fills a field to the brim never makes us read the next field or beyond the record.
UpsMeasurementTexts RecordMeasurementTexts(const StatusRecord& record);

// A battery level the library really reported: a failed query, 0 or below, or above 100
// is no reading.
bool IsBatteryReading(bool queried, int32_t level);
