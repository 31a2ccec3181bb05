// The readings record of a network UPS made from the values of its variables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "ups/network_ups_events.h"

// The variables a readings record is made of, read together: every measurement's.
inline constexpr const auto& kNetworkUpsMeasurementVariables = kUpsMeasurementVariables;

// The longest value taken as a measurement: longer text is no reading a data-log column holds.
constexpr size_t kMaxMeasurementBytes = 10;

// `text` when it is a plain decimal number of at most kMaxMeasurementBytes characters,
// else empty.
std::string NetworkUpsMeasurement(const std::string& text);

// The whole percent of a battery.charge value, held to 0..100. False when the value is
// no plain decimal number (as NetworkUpsMeasurement judges it).
bool NetworkUpsChargePercent(const std::string& text, int32_t& percent);

// `values` holds the variables the UPS answered, by name; a missing one stays empty.
NetworkUpsReadings MakeNetworkUpsReadings(bool mainsFailed, const std::map<std::string, std::string>& values);
