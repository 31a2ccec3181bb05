#include "monitor/ups_data_freshness.h"

#include "ups/network_ups_events.h"

int64_t UpsSilenceLimitTicks(const MonitorState& state) {
    return state.NetworkUps.load() == 1 ? kNetworkUpsSilenceLimitSeconds * kTicksPerSecond : kUpsSilenceLimitTicks;
}

bool UpsDataIsStale(const MonitorState& state, const UpsReading& reading, int64_t awakeNow) {
    const int64_t device = state.DeviceHandle.load();
    if (state.Disconnected.load() == 1 || device == -1) return true;
    // Until the UPS says what holds now, what it said before a reconnection or a sleep
    // is history, even from a device that came back with the same handle.
    if (state.MainsStateKnown.load() == 0) return true;
    // A record of an earlier device says nothing of the one connected now.
    if (!reading.HasRecord || reading.Device != device) return true;
    return awakeNow - reading.RecordedAt > UpsSilenceLimitTicks(state);
}
