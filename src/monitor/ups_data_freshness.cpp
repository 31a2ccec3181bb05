#include "monitor/ups_data_freshness.h"

#include "ups/network_ups_events.h"

int64_t UpsSilenceLimitTicks(const MonitorState& state) {
    return state.NetworkUps.load() == 1 ? kNetworkUpsSilenceLimitSeconds * kTicksPerSecond : kUpsSilenceLimitTicks;
}

bool UpsDataIsStale(const MonitorState& state, const UpsReading& reading, int64_t monotonicNow) {
    const int64_t device = state.DeviceHandle.load();
    if (state.Disconnected.load() == 1 || device == -1) return true;
    // A record of an earlier device says nothing of the one connected now.
    if (!reading.HasRecord || reading.Device != device) return true;
    return monotonicNow - reading.RecordedAt > UpsSilenceLimitTicks(state);
}
