// Runs one notification: its own process, no window, the environment it is given, a time
// limit after which it is ended together with every process it started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/win32.h"

enum class NotificationEnd { Exited, TimedOut, NotStarted };

struct NotificationOutcome {
    NotificationEnd End = NotificationEnd::NotStarted;
    DWORD ExitCode = 0;  // Exited: the process's exit code
    DWORD Error = 0;     // NotStarted: CreateProcess's error
};

// Starts `commandLine` with `environment` (an ANSI block) and waits at most
// `timeLimitSeconds` (0: only looks whether it has already ended). A process still running
// then is ended with its tree (a job object that the service holds; where the system refuses
// the job, the process alone).
NotificationOutcome RunNotificationProcess(const std::string& commandLine, std::vector<char>& environment,
                                           int32_t timeLimitSeconds);
