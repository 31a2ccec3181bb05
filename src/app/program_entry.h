// Program entry: the start-up both roles share, then the service role (no argument)
// or one console command.
#pragma once

#include <cstdint>
#include <string>

// Reads the settings, loads the message table, opens the event log and runs the
// role. Returns the process's exit code: 0, the failure showing on the console and in
// the log; only a one-shot SET form that refused its value or failed returns 1.
int ProgramEntry(int argc, char** argv);

// The service role: hands the main thread to the service dispatcher.
void RunServiceRole();

// Upper-cases the letters a to z only.
std::string UpperCaseCommandWord(const std::string& word);

// The line a failed command prints: the text of "ABEND", then the code in unsigned
// decimal unless it is 0; flushed with its end of line.
void PrintFailureLine(uint32_t errorCode);
