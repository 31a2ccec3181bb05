// Reading the program's small text files: whole, or line by line as the C runtime's
// text mode splits them. Files are opened shared, so a writer may replace one
// (WriteFileAtomically) while it is being read.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Called with each line, its line end removed. Return false to stop reading.
using TextLineVisitor = std::function<bool(const std::string& line)>;

// LF ends a line and a CR right before it is dropped; a lone CR stays in the line.
// A last line without a line end still counts; an empty file has no lines.
// Returns false when the file cannot be opened or reading it fails (GetLastError
// tells why); stopping early through the visitor is not a failure.
bool ReadTextLines(const std::string& path, const TextLineVisitor& visit);

// The file's bytes, unchanged. False when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& content);

// Splits a line as repeated getline(',') does: every comma ends a field, empty fields
// between commas count, and a comma at the very end opens no further field.
std::vector<std::string> SplitAtCommas(const std::string& line);
