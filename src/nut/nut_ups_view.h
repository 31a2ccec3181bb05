// What a network UPS client may learn of the UPS at one moment: a copy taken from the
// monitor's state and the latest record, and the protocol's variables made from it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "monitor/ups_reading.h"

struct NutUpsView {
    bool Stale = true;  // no UPS connected, or silent past the silence limit, before the shutdown sequence
    bool OnBattery = false;
    bool BatteryLow = false;
    bool ShutdownSequenceStarted = false;
    std::string Model;
    UpsReading Reading;
};

// "FSD" once the shutdown sequence has started, then "OL" or "OB", then "LB" while
// the battery is low: "FSD OB LB".
std::string NutStatusWord(const NutUpsView& view);

// The variables of the UPS by name, in name order. A measurement the UPS did not
// report, or reported as something other than a number, is left out.
std::vector<std::pair<std::string, std::string>> NutVariables(const NutUpsView& view);

// True for the variables that hold a number (for GET TYPE).
bool IsNumericNutVariable(const std::string& name);

// The view of this moment, from TheMonitorState(), LatestUpsReading() and the model
// of the status values.
NutUpsView CurrentNutUpsView();
