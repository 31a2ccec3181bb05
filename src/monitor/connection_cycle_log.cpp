#include "monitor/connection_cycle_log.h"

#include "common/clock.h"

namespace {

bool AnHourSince(int64_t then, int64_t now) {
    return now - then >= ConnectionCycleLog::kRepeatSeconds * kTicksPerSecond;
}

}  // namespace

bool ConnectionCycleLog::LostShouldBeWritten(int64_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!lostSinceSteady_) {
        lostSinceSteady_ = true;
        return true;
    }
    if (!repeating_ || AnHourSince(lastLostWritten_, now)) {
        repeating_ = true;
        lastLostWritten_ = now;
        return true;
    }
    return false;
}

bool ConnectionCycleLog::ConnectedShouldBeWritten(int64_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!repeating_) return true;
    if (!repeatReconnectWritten_ || AnHourSince(lastConnectedWritten_, now)) {
        repeatReconnectWritten_ = true;
        lastConnectedWritten_ = now;
        return true;
    }
    return false;
}

void ConnectionCycleLog::ReportingNormally(int64_t reportingSince, int64_t now) {
    if (now - reportingSince < kSteadySeconds * kTicksPerSecond) return;
    std::lock_guard<std::mutex> guard(lock_);
    lostSinceSteady_ = false;
    repeating_ = false;
    repeatReconnectWritten_ = false;
}

void ConnectionCycleLog::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    lostSinceSteady_ = false;
    repeating_ = false;
    repeatReconnectWritten_ = false;
    lastLostWritten_ = 0;
    lastConnectedWritten_ = 0;
}

ConnectionCycleLog& TheConnectionCycleLog() {
    static auto* log = new ConnectionCycleLog;
    return *log;
}
