// The shutdown sequence: the administrator's external command with its EXCMDTIME,
// the UPS output-off, the operating-system shutdown. Once started it runs to its end
// as configured, whatever the service is told meanwhile.
#pragma once

#include <cstdint>

#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"

// The Windows error number written as "UPSShutdown:ER=<n>" when no UPS is connected to
// take the output-off command: ERROR_DEVICE_NOT_CONNECTED.
constexpr uint32_t kNoUpsToSwitchOffError = 1167;

// Runs the sequence on the last known state. 1 once the operating system has accepted
// the shutdown; 0 when it refused (a later pass repeats the sequence) or when a stop was
// requested before the sequence began (nothing of it is done then).
int32_t RunShutdownSequence(MonitorState& state, const MonitorSeams& seams);
