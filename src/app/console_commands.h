// The console's command table: the words an administrator gives on the command
// line and what each one does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/settings.h"

// One command. `args` is the whole command line, `argc` the count as received;
// `errorCode` and `resultFlag` are the entry point's, 0 and 1 at the start. Returns the
// process's exit code: 0, but 1 from a one-shot SET form that refused its value or failed
// and from a REPORT that wrote no report, so that a script or an installer can tell.
using ConsoleCommandOperation = int (*)(std::vector<std::string>& args, int argc, Settings& settings,
                                        uint32_t& errorCode, int32_t& resultFlag);

// The exit code of a one-shot SET form or a REPORT that did not do what it was asked.
constexpr int kNotDoneExitCode = 1;

struct ConsoleCommand {
    const char* word;  // upper case; compared whole and exactly
    ConsoleCommandOperation operation;
};

// INSTALL, UNINSTALL, START, STOP, COMLIST, SET and REPORT.
const std::vector<ConsoleCommand>& ConsoleCommandTable();

// The command for an upper-cased word, or nullptr.
const ConsoleCommand* FindConsoleCommand(const std::string& word);
