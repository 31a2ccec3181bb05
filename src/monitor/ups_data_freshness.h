// Whether what is known of the UPS may be passed on as current: the one rule that
// readers outside the monitor apply before they show a measurement or a status.
#pragma once

#include <cstdint>

#include "common/clock.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_reading.h"

// The UPS silence after which the monitor drops the device: the library's.
constexpr int64_t kUpsSilenceLimitTicks = 10 * kTicksPerSecond;

// The silence limit of the UPS in use: the library's, or the longer one of a UPS that
// another machine serves (ups/network_ups_events.h), whose server may take its time.
int64_t UpsSilenceLimitTicks(const MonitorState& state);

// Stale while no UPS is connected, before its first record since it connected (or since
// a wake), or when its last record is older than the silence limit of the UPS in use.
// `awakeNow` is an UnbiasedNow() reading: a record from before a sleep is as old as the
// time awake since.
bool UpsDataIsStale(const MonitorState& state, const UpsReading& reading, int64_t awakeNow);
