#include "log/repeated_failure_log.h"

#include "common/clock.h"
#include "log/event_log.h"

RepeatedFailureLog::RepeatedFailureLog(int64_t repeatSeconds) : repeatTicks_(repeatSeconds * kTicksPerSecond) {}

bool RepeatedFailureLog::Failed(const std::string& line) {
    const int64_t now = MonotonicNow();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (failing_ && line == lastLine_ && now - lastWritten_ < repeatTicks_) return false;
        failing_ = true;
        lastLine_ = line;
        lastWritten_ = now;
    }
    TraceLog(line);
    return true;
}

void RepeatedFailureLog::Succeeded() {
    std::lock_guard<std::mutex> guard(lock_);
    failing_ = false;
}
