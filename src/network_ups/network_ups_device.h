// The DEVICE form of a UPS that another machine serves over the network UPS protocol:
// <upsname>@<host>[:<port>], as the protocol's own client programs write it.
#pragma once

#include <cstdint>
#include <string>

constexpr uint16_t kNetworkUpsDefaultPort = 3493;

struct NetworkUpsDevice {
    std::string Ups;   // the UPS's name on the serving machine
    std::string Host;  // an IPv4 address or a host name, resolved at every connection
    uint16_t Port = kNetworkUpsDefaultPort;
};

// True when the DEVICE value names a network UPS: it holds an @, which no serial port
// name does. Such a value is never opened as a port, even when it is malformed.
bool IsNetworkUpsDevice(const std::string& text);

// Splits and checks the value. False, leaving `device` untouched, for an empty UPS name
// or host, a port that is not 1 to 65535 in plain digits, a second @, blanks, control
// bytes, quotes or backslashes (which a protocol line could not carry), and a host that
// is neither a dotted name nor an IPv4 address. IPv6 addresses are refused, bracketed
// or not: the connection is made over IPv4 only, and a bare one cannot be told from a
// port anyway.
bool ParseNetworkUpsDevice(const std::string& text, NetworkUpsDevice& device);
