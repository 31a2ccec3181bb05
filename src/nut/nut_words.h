// The words of one line of the network UPS protocol: blank-separated, a word in
// double quotes may hold blanks, and a backslash makes the next character literal.
#pragma once

#include <string>
#include <vector>

// False for a line that cannot be split: an unterminated quote or a trailing backslash.
bool SplitNutWords(const std::string& line, std::vector<std::string>& words);

// `text` in double quotes, with its quotes and backslashes escaped and control bytes
// turned into blanks.
std::string QuoteNutValue(const std::string& text);

// True for a line holding a byte that no line of the protocol holds: a control byte other
// than the tab (NUL among them) or DEL. Such a line is binary junk, refused as a whole.
bool HasNutControlBytes(const std::string& line);
