// The battery's own say in the shutdown: on battery power, a low-battery report of the
// UPS, or a charge at or below SHUTDOWN_CHARGE, starts the sequence at once, whatever is
// left of WAIT_TIME. On mains power neither starts anything: UPSs raise false low-battery
// flags after a self-test or while charging.
#pragma once

#include <cstdint>
#include <string>

#include "config/settings.h"

enum class BatteryTrigger { None, BatteryLow, ChargeAtThreshold };

// What the UPS has said of its battery during the present power failure.
struct BatteryFacts {
    bool OnBattery = false;   // mains has failed
    bool LowReported = false; // the UPS reported a low battery (code 5) while on battery
    int32_t Charge = -1;      // the last charge it reported on battery, 1..100; -1 = none
};

// Which trigger fires now, by BATTERY_LOW_SHUTDOWN and SHUTDOWN_CHARGE.
BatteryTrigger FiredBatteryTrigger(const BatteryFacts& facts, const Settings& settings);

// The event-log line that says why the sequence starts: the text of
// "Shutdown_by_battery_low", or that of "Shutdown_by_battery_charge", ":" and the charge.
std::string BatteryTriggerLine(BatteryTrigger trigger, int32_t charge);
