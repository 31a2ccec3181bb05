// What the words of a network UPS's ups.status mean to this computer.
#pragma once

#include <string>

struct NetworkUpsStatus {
    bool OnBattery = false;       // OB: mains has failed
    bool BatteryLow = false;      // LB
    bool ForcedShutdown = false;  // FSD: the serving machine has begun its shutdown
};

// Words are separated by blanks and compared whole and case for case. Every other word
// (OL, CHRG, DISCHRG, BOOST, TRIM, ALARM, OFF, BYPASS, RB, anything unknown) is ignored:
// only OB itself means "on battery".
NetworkUpsStatus ParseNetworkUpsStatus(const std::string& value);
