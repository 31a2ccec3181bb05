// What the UPS says of its battery, held against the mains state it is judged on. A
// low-battery report or a charge counts for the battery rules only when it was made on
// battery power; one that comes while the mains state is unknown (after a reconnection,
// before the UPS has said what holds now) is kept, and judged once the state is known.
#pragma once

#include <cstdint>

#include "monitor/monitor_state.h"

// A connect attempt begins: until the UPS speaks, the mains state is history.
void MarkMainsStateUnknown(MonitorState& state);
// The computer has woken: the same, and until the UPS speaks an expired countdown waits
// for it even while none is connected (UnheardSinceWake).
void MarkMainsStateUnknownAfterWake(MonitorState& state);
// The UPS said what holds now (a record, or a mains report) and AcFail says it: what was
// kept is judged on it.
void MarkMainsStateKnown(MonitorState& state);
// Mains power is back: what the battery said during the failure no longer counts.
void ForgetBatteryOnBattery(MonitorState& state);

// A low-battery report (code 5) of the current device.
void NoteBatteryLow(MonitorState& state);
// The answer to a battery-level query of the current device: `read` when the library
// answered in time and said 0 (a failed query is no reading).
void NoteCharge(MonitorState& state, bool read, int32_t level);
