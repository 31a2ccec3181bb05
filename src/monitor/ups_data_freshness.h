// Whether what is known of the UPS may be passed on as current: the one rule that
// readers outside the monitor apply before they show a measurement or a status.
#pragma once

#include <cstdint>

#include "common/clock.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_reading.h"

// The UPS silence after which the monitor drops the device.
constexpr int64_t kUpsSilenceLimitTicks = 10 * kTicksPerSecond;

// Stale while no UPS is connected, before its first record, or when its last record
// is older than the silence limit. `monotonicNow` is a MonotonicNow() reading.
bool UpsDataIsStale(const MonitorState& state, const UpsReading& reading, int64_t monotonicNow);
