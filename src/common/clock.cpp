#include "common/clock.h"

#include <atomic>

#include "common/win32.h"

namespace {

int64_t SystemWallClock() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

std::atomic<WallClockFunction> activeClock{&SystemWallClock};

}  // namespace

int64_t WallClockNow() { return activeClock.load()(); }

std::time_t UnixTimeNow() { return static_cast<std::time_t>((WallClockNow() - kUnixEpochTicks) / kTicksPerSecond); }

std::tm LocalCalendarTime(std::time_t when) {
    std::tm local{};
    localtime_s(&local, &when);
    return local;
}

std::string LocalTimeStamp(std::time_t when) {
    std::tm local = LocalCalendarTime(when);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y/%m/%d,%H:%M:%S", &local);
    return text;
}

void SetWallClockForTest(WallClockFunction clock) { activeClock.store(clock != nullptr ? clock : &SystemWallClock); }
