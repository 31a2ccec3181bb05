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

// The performance counter, scaled to 100 ns ticks without overflowing: the whole
// seconds and the remainder are scaled apart.
int64_t SystemMonotonicClock() {
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? value.QuadPart : int64_t{0};
    }();
    if (frequency == 0) return static_cast<int64_t>(GetTickCount64()) * (kTicksPerSecond / 1000);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const int64_t seconds = counter.QuadPart / frequency;
    const int64_t remainder = counter.QuadPart % frequency;
    return seconds * kTicksPerSecond + remainder * kTicksPerSecond / frequency;
}

std::atomic<MonotonicClockFunction> activeMonotonicClock{&SystemMonotonicClock};

// Already in 100 ns units.
int64_t SystemUnbiasedClock() {
    ULONGLONG ticks = 0;
    if (!QueryUnbiasedInterruptTime(&ticks)) return SystemMonotonicClock();
    return static_cast<int64_t>(ticks);
}

std::atomic<UnbiasedClockFunction> activeUnbiasedClock{&SystemUnbiasedClock};

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

int64_t MonotonicNow() { return activeMonotonicClock.load()(); }

int64_t MonotonicDeadlineAfterMs(uint32_t ms) {
    return MonotonicNow() + static_cast<int64_t>(ms) * (kTicksPerSecond / 1000);
}

uint32_t MsUntilMonotonic(int64_t deadline) {
    const int64_t ticksPerMs = kTicksPerSecond / 1000;
    const int64_t remaining = deadline - MonotonicNow();
    if (remaining <= 0) return 0;
    return static_cast<uint32_t>((remaining + ticksPerMs - 1) / ticksPerMs);
}

void SetMonotonicClockForTest(MonotonicClockFunction clock) {
    activeMonotonicClock.store(clock != nullptr ? clock : &SystemMonotonicClock);
}

int64_t UnbiasedNow() { return activeUnbiasedClock.load()(); }

void SetUnbiasedClockForTest(UnbiasedClockFunction clock) {
    activeUnbiasedClock.store(clock != nullptr ? clock : &SystemUnbiasedClock);
}
