#include "nut/nut_ups_view.h"

#include <algorithm>

#include "common/clock.h"
#include "config/status_file.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_data_freshness.h"
#include "ups/ups_measurements.h"

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
    for (int32_t m = 0; m < kRecordFieldCount; ++m) addNumber(kUpsMeasurementVariables[m], r.Measurements[m]);
    if (r.BatteryChargeKnown) addNumber(kUpsMeasurementVariables[kBatteryCharge], std::to_string(r.BatteryCharge));
    variables.emplace_back("device.type", "ups");
    if (!view.Model.empty()) variables.emplace_back("ups.model", view.Model);
    variables.emplace_back("ups.status", NutStatusWord(view));
    std::sort(variables.begin(), variables.end());
    return variables;
}

// Every measurement is a number; the other variables are text.
bool IsNumericNutVariable(const std::string& name) {
    return std::find(std::begin(kUpsMeasurementVariables), std::end(kUpsMeasurementVariables), name) !=
           std::end(kUpsMeasurementVariables);
}

NutUpsView CurrentNutUpsView() {
    const MonitorState& state = TheMonitorState();
    NutUpsView view;
    view.Reading = LatestUpsReading();
    view.ShutdownSequenceStarted = state.ShutdownSequenceStarted.load() == 1;
    // Once the shutdown sequence has started, the last state the UPS reported stands,
    // lost UPS or not: the other machines must learn of FSD, whatever the link does.
    view.Stale = !view.ShutdownSequenceStarted && UpsDataIsStale(state, view.Reading, UnbiasedNow());
    view.OnBattery = state.AcFail.load() == 1;
    view.BatteryLow = view.Reading.BatteryLow;
    view.Model = CurrentStatus().Model;
    return view;
}
