#include "monitor/battery_trigger.h"

#include "messages/message_table.h"

BatteryTrigger FiredBatteryTrigger(const BatteryFacts& facts, const Settings& settings) {
    if (!facts.OnBattery) return BatteryTrigger::None;
    if (settings.BatteryLowShutdown == 1 && facts.LowReported) return BatteryTrigger::BatteryLow;
    if (settings.ShutdownCharge > 0 && facts.Charge > 0 && facts.Charge <= settings.ShutdownCharge) {
        return BatteryTrigger::ChargeAtThreshold;
    }
    return BatteryTrigger::None;
}

std::string BatteryTriggerLine(BatteryTrigger trigger, int32_t charge) {
    switch (trigger) {
        case BatteryTrigger::BatteryLow:
            return MessageText("Shutdown_by_battery_low");
        case BatteryTrigger::ChargeAtThreshold:
            return MessageText("Shutdown_by_battery_charge") + ":" + std::to_string(charge);
        case BatteryTrigger::None:
            break;
    }
    return std::string();
}
