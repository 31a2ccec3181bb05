// The one reader of the program's KEY=VALUE files (Setting.ini and Status.ini).
#pragma once

#include <functional>
#include <string>

// Called for each line that holds "=": the key is everything before the first "=",
// the value everything after it; nothing is trimmed. Return false to stop reading.
using KeyValueVisitor = std::function<bool(const std::string& key, const std::string& value)>;

// Reads `path` line by line as text mode does: LF ends a line and a CR right before
// it is dropped; a last line without a line end still counts. Lines without "="
// are skipped. Returns false when the file cannot be opened or read (GetLastError
// tells why); a visitor that stops the reading does not make it false.
bool ReadKeyValueFile(const std::string& path, const KeyValueVisitor& visit);
