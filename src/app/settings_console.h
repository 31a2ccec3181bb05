// The SET command: the interactive settings menu and its one-shot form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

// `args` is the whole command line (program path, command word, then the menu number
// and value of the one-shot form). Returns the result flag (1 success, 0 failure);
// `errorCode` receives the error of a failed service query.
int32_t SettingsConsole(std::vector<std::string>& args, Settings& settings, uint32_t& errorCode);
