// Replaces a whole file in one step: a reader sees the old content or the new,
// never a part, and a crash mid-write leaves the old file in place.
#pragma once

#include <string>

// Writes `content` byte for byte (callers put in their own CR LF) to a temporary
// file beside `path`, flushes it to disk and moves it over `path`. A replacement
// refused because another process holds the file open is retried for a short while.
// On failure the old file is untouched, the temporary file is removed and
// `GetLastError()` tells why.
bool WriteFileAtomically(const std::string& path, const std::string& content);
