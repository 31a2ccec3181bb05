// The one decimal converter for every file and command-line value: what strtol
// accepts in base 10, held to the signed 32-bit range.
#pragma once

#include <cstdint>
#include <string>

// Skips leading white space, takes an optional sign and the digits that follow;
// anything after the digits is ignored ("60abc" gives 60). Fails, leaving `value`
// untouched, when there is no digit or the number lies outside int32_t.
bool ParseInt32(const char* text, int32_t& value);
inline bool ParseInt32(const std::string& text, int32_t& value) { return ParseInt32(text.c_str(), value); }

// A measured value as the data log holds it ("230.5", "-3", "50."): an optional sign,
// digits and at most one decimal point, nothing else, not even blanks. Anything else
// ("--.-", "", "1e3", "12V") is no value: false, leaving `value` untouched.
bool ParseMeasuredValue(const std::string& text, double& value);
