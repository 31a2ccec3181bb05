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

bool ParseMeasuredValue(const std::string& text, double& value) {
    size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    // Digits are gathered by hand rather than by strtod, whose decimal point follows
    // the C locale of the moment.
    int64_t digitsValue = 0;
    int digits = 0;
    int fractionDigits = 0;
    bool afterPoint = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            // A field of the data log is at most five characters: a long run is damage.
            if (++digits > 15) return false;
            digitsValue = digitsValue * 10 + (c - '0');
            if (afterPoint) ++fractionDigits;
        } else if (c == '.' && !afterPoint) {
            afterPoint = true;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    double result = static_cast<double>(digitsValue);
    for (int k = 0; k < fractionDigits; ++k) result /= 10.0;
    value = negative ? -result : result;
    return true;
}
