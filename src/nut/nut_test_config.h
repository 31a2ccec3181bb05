// The server configuration the network server's unit tests share: UPS "ups", user "mon",
// password "s3cret".
#pragma once

#include "nut/nut_config.h"

inline NutServerConfig Config() {
    NutServerConfig config;
    config.UpsName = "ups";
    config.User = "mon";
    config.Password = "s3cret";
    return config;
}
