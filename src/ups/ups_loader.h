// Loads NervaUPSLib.dll from the executable's folder and resolves its entry points.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ups/ups_library.h"

// Loads the library once per process (later calls return 1 at once and leave `table`
// untouched) and fills `table`. Returns 1, or 0 with the loader's error in `error`.
//
// The library is loaded by its full path in the executable's folder, never through the
// DLL search path, so a stray NervaUPSLib.dll elsewhere on PATH is never picked up; its
// own dependencies resolve from its folder first.
//
// Entry points the library does not export: the table is filled in the library's order
// and a missing name leaves a null entry, except for the eleven entry points the program
// calls (InitNervaUPSLib ... Shutdown). Their callers do not look before calling, so a
// missing one is filled with a built-in stand-in that returns kUpsMissingEntryPointError
// and writes none of its out-parameters (FreeCOMList frees nothing). A library lacking
// an export thus behaves like one whose call fails, which the callers already handle.
int32_t LoadUpsLibrary(UpsLibrary& table, uint32_t& error);

// The console's port list: loads the library, asks for the serial port names,
// appends them to `names` and unloads it again. 0, or -1 when it cannot be loaded.
//
// In a process that already holds the library loaded (the service), it asks the loaded
// library through a table of its own, neither calls InitNervaUPSLib (which would take
// the service's event callback away) nor unloads it. A name list that comes back null,
// or null names in it, are passed over rather than read.
int32_t ListComPorts(std::vector<std::string>& names);

// What a stand-in for a missing entry point returns: ERROR_PROC_NOT_FOUND.
constexpr int32_t kUpsMissingEntryPointError = 127;

// Unloads the library and empties the module handle so that a test can load another
// copy. The library's own threads must have been stopped (FinishNervaUPSLib) first.
void UnloadUpsLibraryForTest();
