#include "network_ups/network_ups_text.h"

namespace {

// No quote, separator, redirection, expansion, escape or control byte of cmd.exe, a CSV
// file, a spreadsheet (= @ ,), an INI line or HTML; no byte beyond ASCII, whose meaning
// depends on a code page.
bool IsSafeByte(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case ' ':
        case '.':
        case '-':
        case '_':
        case '/':
        case '(':
        case ')':
        case '+':
            return true;
        default:
            return false;
    }
}

void TrimBlanks(std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
}

}  // namespace

std::string NetworkUpsText(const std::string& sent) {
    std::string kept;
    for (char c : sent) {
        if (IsSafeByte(c)) kept.push_back(c);
    }
    TrimBlanks(kept);
    if (kept.size() > kMaxNetworkUpsTextBytes) {
        kept.resize(kMaxNetworkUpsTextBytes);
        TrimBlanks(kept);
    }
    return kept;
}
