#include "nut/nut_ups_view.h"

#include <algorithm>

#include "common/clock.h"
#include "config/status_file.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_data_freshness.h"

namespace {

// A plain decimal number as a UPS writes one: digits with at most one point, an
// optional leading minus ("--.-" and empty fields are not numbers).
bool IsPlainNumber(const std::string& text) {
    size_t digits = 0;
    bool point = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.' && !point) {
            point = true;
        } else if (!(c == '-' && i == 0)) {
            return false;
        }
    }
    return digits > 0;
}

const char* const kNumericVariables[] = {
    "battery.charge",   "battery.voltage", "input.frequency", "input.voltage",
    "output.frequency", "output.voltage",  "ups.load",        "ups.temperature",
};

}  // namespace

std::string NutStatusWord(const NutUpsView& view) {
    // FSD leads, as the reference server puts it: scripts compare the first word.
    std::string word = view.ShutdownSequenceStarted ? "FSD " : "";
    word += view.OnBattery ? "OB" : "OL";
    if (view.BatteryLow) word += " LB";
    return word;
}

std::vector<std::pair<std::string, std::string>> NutVariables(const NutUpsView& view) {
    std::vector<std::pair<std::string, std::string>> variables;
    auto addNumber = [&variables](const char* name, const std::string& value) {
        if (IsPlainNumber(value)) variables.emplace_back(name, value);
    };
    const UpsReading& r = view.Reading;
    if (r.BatteryChargeKnown) addNumber("battery.charge", std::to_string(r.BatteryCharge));
    addNumber("battery.voltage", r.BatteryVoltage);
    variables.emplace_back("device.type", "ups");
    addNumber("input.frequency", r.InputFrequency);
    addNumber("input.voltage", r.InputVoltage);
    addNumber("output.frequency", r.OutputFrequency);
    addNumber("output.voltage", r.OutputVoltage);
    addNumber("ups.load", r.Load);
    if (!view.Model.empty()) variables.emplace_back("ups.model", view.Model);
    variables.emplace_back("ups.status", NutStatusWord(view));
    addNumber("ups.temperature", r.Temperature);
    return variables;
}

bool IsNumericNutVariable(const std::string& name) {
    return std::find(std::begin(kNumericVariables), std::end(kNumericVariables), name) != std::end(kNumericVariables);
}

NutUpsView CurrentNutUpsView() {
    const MonitorState& state = TheMonitorState();
    NutUpsView view;
    view.Reading = LatestUpsReading();
    view.ShutdownSequenceStarted = state.ShutdownSequenceStarted.load() == 1;
    // Once the shutdown sequence has started, the last state the UPS reported stands,
    // lost UPS or not: the other machines must learn of FSD, whatever the link does.
    view.Stale = !view.ShutdownSequenceStarted && UpsDataIsStale(state, view.Reading, MonotonicNow());
    view.OnBattery = state.AcFail.load() == 1;
    view.BatteryLow = view.Reading.BatteryLow;
    view.Model = CurrentStatus().Model;
    return view;
}
