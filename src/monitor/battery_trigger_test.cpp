// Which battery report starts the shutdown, by the two settings.
#include "monitor/battery_trigger.h"

#include <gtest/gtest.h>

#include "messages/message_table.h"

namespace {

TEST(BatteryTrigger, FiresOnlyOnBatteryAndAsTheSettingsSay) {
    const struct {
        const char* name;
        bool onBattery;
        bool lowReported;
        int32_t charge;
        int32_t batteryLowShutdown;
        int32_t shutdownCharge;
        BatteryTrigger expected;
    } cases[] = {
        {"low battery on battery", true, true, -1, 1, 0, BatteryTrigger::BatteryLow},
        {"low battery on mains", false, true, 5, 1, 30, BatteryTrigger::None},
        {"low battery, rule off", true, true, -1, 0, 0, BatteryTrigger::None},
        {"low battery wins over the charge", true, true, 20, 1, 30, BatteryTrigger::BatteryLow},
        {"rule off, charge still counts", true, true, 20, 0, 30, BatteryTrigger::ChargeAtThreshold},
        {"charge above", true, false, 31, 1, 30, BatteryTrigger::None},
        {"charge at", true, false, 30, 1, 30, BatteryTrigger::ChargeAtThreshold},
        {"charge below", true, false, 1, 1, 30, BatteryTrigger::ChargeAtThreshold},
        {"no reading", true, false, -1, 1, 30, BatteryTrigger::None},
        {"threshold off", true, false, 5, 1, 0, BatteryTrigger::None},
        {"threshold 99, full battery", true, false, 100, 1, 99, BatteryTrigger::None},
        {"charge at, on mains", false, false, 10, 1, 30, BatteryTrigger::None},
    };
    for (const auto& c : cases) {
        BatteryFacts facts;
        facts.OnBattery = c.onBattery;
        facts.LowReported = c.lowReported;
        facts.Charge = c.charge;
        Settings settings;
        settings.BatteryLowShutdown = c.batteryLowShutdown;
        settings.ShutdownCharge = c.shutdownCharge;
        EXPECT_EQ(FiredBatteryTrigger(facts, settings), c.expected) << c.name;
    }
}

TEST(BatteryTrigger, TheLineSaysWhichTriggerFired) {
    LoadMessageTable("no-such-message-table.json");  // every text is its own key
    EXPECT_EQ(BatteryTriggerLine(BatteryTrigger::BatteryLow, -1), "Shutdown_by_battery_low");
    EXPECT_EQ(BatteryTriggerLine(BatteryTrigger::ChargeAtThreshold, 27), "Shutdown_by_battery_charge:27");
    EXPECT_EQ(BatteryTriggerLine(BatteryTrigger::None, 27), "");
}

}  // namespace
