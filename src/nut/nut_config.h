// The server's settings (NUT_LISTEN, NUT_UPSNAME, NUT_USER, NUT_PASSWORD) checked and
// turned into what the server thread needs; also the checks the console applies
// before it stores one of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

struct NutEndpoint {
    uint32_t Address = 0;  // IPv4, host byte order
    uint16_t Port = 0;
    std::string Text;      // as written, "a.b.c.d:port"
};

struct NutServerConfig {
    std::vector<NutEndpoint> Endpoints;  // empty: no server
    std::string UpsName;
    std::string User;  // empty: nobody can log in
    std::string Password;
};

// "a.b.c.d:port[,a.b.c.d:port...]" with blanks around items allowed; empty gives no
// endpoint. False for anything else (names, IPv6, port 0, more than 8 items).
bool ParseNutListen(const std::string& text, std::vector<NutEndpoint>& endpoints);

// A UPS name a client can write in "name@host:port": letters, digits, '-', '_', '.',
// 1 to 32 bytes.
bool IsValidNutUpsName(const std::string& name);

// A user or password that a client sends unquoted on one line: printable ASCII
// without blanks, quotes or backslashes, at most 64 bytes. Empty is allowed (a user
// left empty turns logins off).
bool IsValidNutCredential(const std::string& text);

// False, with the offending key in `badKey`, when a value is not valid.
bool NutConfigFromSettings(const Settings& settings, NutServerConfig& config, std::string& badKey);
