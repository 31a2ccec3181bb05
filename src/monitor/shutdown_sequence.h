// The shutdown sequence: the administrator's external command with its EXCMDTIME,
// the UPS output-off, the operating-system shutdown. Once started it runs to its end
// as configured, whatever the service is told meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"

// Runs the sequence on the last known state, or goes on with one that an earlier pass
// began: each step is done once in an outage, so after a refused OS shutdown only the
// shutdown request is made again. 1 once the operating system has accepted the
// shutdown or the hibernation (monitor/os_step.h); 0 when it refused or when a stop was requested before the sequence began
// (nothing of it is done then). `reasonLine`, when given, is written as the sequence
// begins, before the command's line: what started it, when not WAIT_TIME.
int32_t RunShutdownSequence(MonitorState& state, const MonitorSeams& seams, const std::string& reasonLine = {});
