// The battery's reports, kept or judged by the mains state. The event callback and the
// battery lane report at once; one lock keeps a report from slipping between "unknown"
// and "known" unjudged. A change that may start the sequence wakes the monitor.
#include "monitor/battery_reports.h"

#include <mutex>

#include "common/clock.h"
#include "monitor/monitor_signals.h"
#include "ups/ups_measurements.h"

namespace {

// Never destroyed: the library's thread may still report while the process exits.
std::mutex& ReportsLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

// Under the lock: a low battery or a charge judged on the known state.
void JudgeBatteryLow(MonitorState& state) {
    if (state.AcFail.load() != 1) return;  // on mains it is recorded only
    if (state.BatteryLowOnBattery.exchange(1) == 0) MonitorSignalMainsChange();
}

void JudgeCharge(MonitorState& state, int32_t charge) {
    if (state.AcFail.load() != 1) return;
    if (charge != -1) state.ChargeSeenAt = UnbiasedNow();
    if (state.ChargeOnBattery.exchange(charge) != charge) MonitorSignalMainsChange();
}

// Under the lock: whatever the UPS says next is judged on what it says then.
void ForgetMainsState(MonitorState& state) {
    state.MainsStateKnown = 0;
    state.BatteryLowPending = 0;
    state.ChargePending = -1;
}

}  // namespace

void MarkMainsStateUnknown(MonitorState& state) {
    std::lock_guard<std::mutex> guard(ReportsLock());
    ForgetMainsState(state);
}

void MarkMainsStateUnknownAfterWake(MonitorState& state) {
    std::lock_guard<std::mutex> guard(ReportsLock());
    ForgetMainsState(state);
    state.UnheardSinceWake = 1;
}

void MarkMainsStateKnown(MonitorState& state) {
    std::lock_guard<std::mutex> guard(ReportsLock());
    state.MainsStateKnown = 1;
    state.UnheardSinceWake = 0;
    if (state.BatteryLowPending.exchange(0) == 1) JudgeBatteryLow(state);
    const int32_t charge = state.ChargePending.exchange(-1);
    if (charge != -1) JudgeCharge(state, charge);
}

void ForgetBatteryOnBattery(MonitorState& state) {
    std::lock_guard<std::mutex> guard(ReportsLock());
    state.BatteryLowOnBattery = 0;
    state.ChargeOnBattery = -1;
}

void NoteBatteryLow(MonitorState& state) {
    std::lock_guard<std::mutex> guard(ReportsLock());
    if (state.MainsStateKnown.load() == 1) {
        JudgeBatteryLow(state);
    } else {
        state.BatteryLowPending = 1;
    }
}

void NoteCharge(MonitorState& state, bool read, int32_t level) {
    const int32_t charge = IsBatteryReading(read, level) ? level : -1;
    std::lock_guard<std::mutex> guard(ReportsLock());
    if (state.MainsStateKnown.load() == 1) {
        JudgeCharge(state, charge);
    } else {
        state.ChargePending = charge;
    }
}
