// Loads NervaUPSLib.dll from the executable's folder and resolves its entry points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ups/ups_library.h"

// Loads the library once per process (later calls return 1 at once and leave `table`
// untouched) and fills `table`. Returns 1, or 0 with the loader's error in `error`.
int32_t LoadUpsLibrary(UpsLibrary& table, uint32_t& error);

// The console's port list: loads the library, asks for the serial port names,
// appends them to `names` and unloads it again. 0, or -1 when it cannot be loaded.
int32_t ListComPorts(std::vector<std::string>& names);
