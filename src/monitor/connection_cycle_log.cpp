#include "monitor/connection_cycle_log.h"

#include "common/clock.h"

bool ConnectionCycleLog::LostShouldBeWritten(int64_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!cycling_ || now - lastLostWritten_ >= kRepeatSeconds * kTicksPerSecond) {
        cycling_ = true;
        lastLostWritten_ = now;
        return true;
    }
    return false;
}

bool ConnectionCycleLog::ConnectedShouldBeWritten(int64_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!cycling_) return true;
    if (!reconnectWritten_ || now - lastConnectedWritten_ >= kRepeatSeconds * kTicksPerSecond) {
        reconnectWritten_ = true;
        lastConnectedWritten_ = now;
        return true;
    }
    return false;
}

void ConnectionCycleLog::ReportingNormally(int64_t reportingSince, int64_t now) {
    if (now - reportingSince < kSteadySeconds * kTicksPerSecond) return;
    std::lock_guard<std::mutex> guard(lock_);
    cycling_ = false;
    reconnectWritten_ = false;
}

void ConnectionCycleLog::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    cycling_ = false;
    reconnectWritten_ = false;
    lastLostWritten_ = 0;
    lastConnectedWritten_ = 0;
}

ConnectionCycleLog& TheConnectionCycleLog() {
    static auto* log = new ConnectionCycleLog;
    return *log;
}
