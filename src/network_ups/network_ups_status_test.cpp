// The status words: which ones mean mains failed, battery low and forced shutdown.
#include "network_ups/network_ups_status.h"

#include <gtest/gtest.h>

namespace {

TEST(NetworkUpsStatusTest, OnlyObLbAndFsdMeanAnything) {
    const struct {
        const char* value;
        bool onBattery;
        bool batteryLow;
        bool forcedShutdown;
    } cases[] = {
        {"OL", false, false, false},
        {"OB", true, false, false},
        {"OB LB", true, true, false},
        {"FSD OB", true, false, true},
        {"FSD OB LB", true, true, true},
        {"OL CHRG", false, false, false},
        {"OB DISCHRG", true, false, false},
        {"OL LB", false, true, false},
        {"FSD OL", false, false, true},
        {"", false, false, false},
        {"   ", false, false, false},
        {"OL BOOST TRIM ALARM OFF BYPASS RB OVER CAL", false, false, false},
        {"WAIT", false, false, false},
        {"  OB\tLB  ", true, true, false},
        {"ob lb fsd", false, false, false},
        {"OBLB", false, false, false},
        {"OB,LB", false, false, false},
        {"NOOB", false, false, false},
        {"OBX LBX FSDX", false, false, false},
        {"#$%^ ~~", false, false, false},
    };
    for (const auto& c : cases) {
        const NetworkUpsStatus status = ParseNetworkUpsStatus(c.value);
        EXPECT_EQ(status.OnBattery, c.onBattery) << "\"" << c.value << "\"";
        EXPECT_EQ(status.BatteryLow, c.batteryLow) << "\"" << c.value << "\"";
        EXPECT_EQ(status.ForcedShutdown, c.forcedShutdown) << "\"" << c.value << "\"";
    }
}

}  // namespace
