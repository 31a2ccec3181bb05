// The routine through which the UPS library reports what happens at the UPS. It runs
// on the library's own thread, records into MonitorState, the status file and the
// logs, and leaves every decision with a time limit to the monitor pass. It never calls
// into the library and never waits on it: the battery level of a record is asked on a
// thread of ours (monitor/battery_level_query.h), so a query that hangs never holds up
// the next report.
#pragma once

#include <cstdint>

// Registered with InitNervaUPSLib. For code 60, `data` is a malloc'd StatusRecord
// that this routine releases.
void UpsEventCallback(int64_t device, int32_t code, void* data);
