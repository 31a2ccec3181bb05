// Replaces a whole file in one step: a reader sees the old content or the new,
// never a part, and a crash mid-write leaves the old file in place.
#pragma once

#include <string>

#include "common/win32.h"

// Writes `content` byte for byte (callers put in their own CR LF) to a temporary
// file beside `path`, flushes it to disk and moves it over `path`. With `security`,
// the temporary file is created with it, and the file keeps it after the move (a
// move within a folder takes the file's own security along); without, the file gets
// what its folder passes on. A replacement
// refused because another process holds the file open is retried for a short while.
// On failure the old file is untouched, the temporary file is removed and
// `GetLastError()` tells why.
bool WriteFileAtomically(const std::string& path, const std::string& content,
                         SECURITY_ATTRIBUTES* security = nullptr);
