#include "network_ups/network_ups_status.h"

#include <sstream>

NetworkUpsStatus ParseNetworkUpsStatus(const std::string& value) {
    NetworkUpsStatus status;
    std::istringstream words(value);
    std::string word;
    while (words >> word) {
        if (word == "OB") status.OnBattery = true;
        if (word == "LB") status.BatteryLow = true;
        if (word == "FSD") status.ForcedShutdown = true;
    }
    return status;
}
