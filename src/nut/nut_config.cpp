#include "nut/nut_config.h"

#include "common/decimal.h"

namespace {

constexpr size_t kMaxEndpoints = 8;
constexpr size_t kMaxUpsNameBytes = 32;
constexpr size_t kMaxCredentialBytes = 64;

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool AllDigits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool ParseNumberPart(const std::string& text, int32_t maximum, int32_t& value) {
    return AllDigits(text) && ParseInt32(text, value) && value >= 0 && value <= maximum;
}

bool ParseEndpoint(const std::string& item, NutEndpoint& endpoint) {
    const size_t colon = item.rfind(':');
    if (colon == std::string::npos) return false;
    const std::string host = item.substr(0, colon);
    int32_t port = 0;
    if (!ParseNumberPart(item.substr(colon + 1), 65535, port) || port == 0) return false;
    uint32_t address = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = host.find('.', start);
        if ((part < 3) != (dot != std::string::npos)) return false;
        int32_t byte = 0;
        if (!ParseNumberPart(host.substr(start, dot == std::string::npos ? std::string::npos : dot - start), 255,
                             byte)) {
            return false;
        }
        address = (address << 8) | static_cast<uint32_t>(byte);
        start = dot + 1;
    }
    endpoint.Address = address;
    endpoint.Port = static_cast<uint16_t>(port);
    endpoint.Text = item;
    return true;
}

}  // namespace

bool ParseNutListen(const std::string& text, std::vector<NutEndpoint>& endpoints) {
    endpoints.clear();
    if (Trimmed(text).empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        NutEndpoint endpoint;
        if (!ParseEndpoint(Trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start)),
                           endpoint)) {
            endpoints.clear();
            return false;
        }
        endpoints.push_back(endpoint);
        if (endpoints.size() > kMaxEndpoints) {
            endpoints.clear();
            return false;
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool IsValidNutUpsName(const std::string& name) {
    if (name.empty() || name.size() > kMaxUpsNameBytes) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

bool IsValidNutCredential(const std::string& text) {
    if (text.size() > kMaxCredentialBytes) return false;
    for (char c : text) {
        if (c <= ' ' || c > '~' || c == '"' || c == '\\') return false;
    }
    return true;
}

bool NutConfigFromSettings(const Settings& settings, NutServerConfig& config, std::string& badKey) {
    config = NutServerConfig();
    if (!ParseNutListen(settings.NutListen, config.Endpoints)) {
        badKey = "NUT_LISTEN";
        return false;
    }
    if (!IsValidNutUpsName(settings.NutUpsName)) {
        badKey = "NUT_UPSNAME";
        return false;
    }
    if (!IsValidNutCredential(settings.NutUser)) {
        badKey = "NUT_USER";
        return false;
    }
    if (!IsValidNutCredential(settings.NutPassword)) {
        badKey = "NUT_PASSWORD";
        return false;
    }
    config.UpsName = settings.NutUpsName;
    config.User = settings.NutUser;
    config.Password = settings.NutPassword;
    return true;
}
