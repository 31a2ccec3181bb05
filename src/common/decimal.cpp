#include "common/decimal.h"

#include <cctype>
#include <limits>

bool ParseInt32(const char* text, int32_t& value) {
    const char* p = text;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;

    // Accumulate in 64 bits and stop as soon as the magnitude leaves the 32-bit range,
    // so an arbitrarily long run of digits cannot overflow.
    const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                   : static_cast<int64_t>(std::numeric_limits<int32_t>::max());
    int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) return false;
    }
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}
