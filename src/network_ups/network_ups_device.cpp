#include "network_ups/network_ups_device.h"

#include <algorithm>
#include <cctype>

#include "common/decimal.h"

namespace {

constexpr size_t kMaxHostBytes = 253;  // the longest DNS name
constexpr size_t kMaxPortDigits = 5;

// A UPS name goes into every request as one word: printable ASCII, no blank, quote,
// backslash or @.
bool IsUpsNameByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != '"' && c != '\\' && c != '@';
}

// Letters, digits, hyphens, dots and underscores: a host name or a dotted IPv4 address.
bool IsHostByte(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > kMaxPortDigits) return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    int32_t value = 0;
    if (!ParseInt32(text, value) || value < 1 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool IsNetworkUpsDevice(const std::string& text) { return text.find('@') != std::string::npos; }

bool ParseNetworkUpsDevice(const std::string& text, NetworkUpsDevice& device) {
    const size_t at = text.find('@');
    if (at == std::string::npos) return false;
    NetworkUpsDevice parsed;
    parsed.Ups = text.substr(0, at);
    std::string hostAndPort = text.substr(at + 1);
    const size_t colon = hostAndPort.find(':');
    if (colon != std::string::npos) {
        if (!ParsePort(hostAndPort.substr(colon + 1), parsed.Port)) return false;
        hostAndPort.erase(colon);
    }
    parsed.Host = hostAndPort;
    if (parsed.Ups.empty() || !std::all_of(parsed.Ups.begin(), parsed.Ups.end(), IsUpsNameByte)) return false;
    const std::string& host = parsed.Host;
    if (host.empty() || host.size() > kMaxHostBytes || !std::all_of(host.begin(), host.end(), IsHostByte) ||
        host.front() == '.' || host.front() == '-' || host.back() == '.' || host.find("..") != std::string::npos) {
        return false;
    }
    device = parsed;
    return true;
}
