// The SET command: the interactive settings menu and its one-shot form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

// `args` is the whole command line (program path, command word, then the menu number
// and value of the one-shot form). Returns the result flag (1 success, 0 failure);
// `errorCode` receives the error of a failed service query.
// With exactly two arguments the menu is interactive: it ends on entry 0 or when
// standard input ends, and its caller prints no failure line whatever the flag.
// `completed`, when given, tells whether the one-shot form did what it was asked: showed
// what it shows, or saved its value. A refused value, a failure, or a question of its own
// answered with no or cancelled leave it false (the result flag alone does not say so: a
// value out of range keeps the flag at 1).
int32_t SettingsConsole(std::vector<std::string>& args, Settings& settings, uint32_t& errorCode,
                        bool* completed = nullptr);

// A settings-screen label padded with spaces to 32 bytes of ANSI text; longer
// labels are kept whole.
std::string PadLabel(const std::string& label);

// How the status screen learns whether the service runs: 1 when the query worked
// (`running` then 1 or 0), 0 with the system's error in `errorCode` when it failed.
using ServiceRunningQuery = int32_t (*)(uint32_t& running, uint32_t& errorCode);

// Tests put their own service query in place; nullptr restores the real one.
void SetServiceRunningQueryForTest(ServiceRunningQuery query);
