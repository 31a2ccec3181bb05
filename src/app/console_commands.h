// The console's command table: the words an administrator gives on the command
// line and what each one does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

// One command. `args` is the whole command line, `argc` the count as received;
// `errorCode` and `resultFlag` are the entry point's, 0 and 1 at the start.
using ConsoleCommandOperation = void (*)(std::vector<std::string>& args, int argc, Settings& settings,
                                         uint32_t& errorCode, int32_t& resultFlag);

struct ConsoleCommand {
    const char* word;  // upper case; compared whole and exactly
    ConsoleCommandOperation operation;
};

// INSTALL, UNINSTALL, START, STOP, COMLIST, SET and REPORT.
const std::vector<ConsoleCommand>& ConsoleCommandTable();

// The command for an upper-cased word, or nullptr.
const ConsoleCommand* FindConsoleCommand(const std::string& word);
