// The administrator's external command (EXCMD): the first step of the shutdown
// sequence, run with a time limit and its standard output and error captured.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/win32.h"

// Text that replaces the output when the command did not end in time.
constexpr const char* kExternalCommandTimeOutText = "WaitForSingleObject,TimeOut";

// Output kept beyond this many bytes is read (so the command never stalls on a full
// pipe) but dropped, so a runaway command cannot exhaust the service's memory.
constexpr size_t kExternalCommandOutputLimit = 16 * 1024 * 1024;

// Starts `commandLine` (no separate application name, the service's own environment
// and current directory, no window) and waits at most `timeLimitSeconds` for it to end.
//
// Nonzero when the process was created and ended within the limit (its exit code is
// not examined); `output` then holds everything it wrote to standard output and
// standard error, CR LF turned into LF (a lone CR stays). The pipe is read while the
// command runs, so a talkative command is never held up by a full pipe.
//
// 0 when the process could not be created (the line "CreateProcess():ER=<error>" goes
// to the event log and `output` stays unchanged), or when it did not end in time:
// `output` becomes "WaitForSingleObject,TimeOut" and the command keeps running on its
// own. A limit of 0 (or less) only looks whether the command has already ended.
//
// `wakeEvent`, when given, is watched during the wait: once it is signalled (a stop of
// the service was requested) the runner returns at once as on a time-out, so a stop
// never waits for a long command.
//
// The runner never waits past the limit in total: a grandchild that keeps the output
// pipe open after the command ended is not waited for.
int32_t RunExternalCommand(const std::string& commandLine, std::string& output, int32_t timeLimitSeconds,
                           HANDLE wakeEvent = nullptr);

// Every CR immediately followed by LF becomes one LF; everything else stays.
std::string NormalizeLineEnds(const std::string& text);
