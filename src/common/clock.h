// The program's clocks and the one timestamp formatter. The wall clock says what time it
// is, for the stamps written into files; the monotonic and unbiased clocks measure how
// long something took, and no clock step (time synchronisation, an administrator) moves
// them. The unbiased one stands still while the computer sleeps; the two part by the
// time asleep. Tests replace each clock so that a day change or a minute passes in no
// real time.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Ticks of 100 ns since 1601-01-01 UTC, as GetSystemTimeAsFileTime gives them.
int64_t WallClockNow();

// Seconds since 1970-01-01 UTC, from the same clock.
std::time_t UnixTimeNow();

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000;  // 1970-01-01 in FILETIME ticks

// "%Y/%m/%d,%H:%M:%S" of the given moment in local time: the stamp of every log line.
std::string LocalTimeStamp(std::time_t when);

// Local calendar time of a moment (localtime_s).
std::tm LocalCalendarTime(std::time_t when);

using WallClockFunction = int64_t (*)();
// Replaces the clock for tests; nullptr restores the system clock.
void SetWallClockForTest(WallClockFunction clock);

// Ticks of 100 ns (kTicksPerSecond a second) since an arbitrary moment before the
// process started; never goes back, never jumps with the wall clock, and runs on while
// the computer sleeps: the waits of the day (a log line a minute, a time limit) are
// measured on it.
int64_t MonotonicNow();

// The MonotonicNow() moment `ms` milliseconds from now.
int64_t MonotonicDeadlineAfterMs(uint32_t ms);
// What is left until the MonotonicNow() `deadline`, in whole milliseconds rounded up
// (so a wait for it ends at or just after it); 0 once it has passed.
uint32_t MsUntilMonotonic(int64_t deadline);

using MonotonicClockFunction = int64_t (*)();
// Replaces the monotonic clock for tests; nullptr restores the system's counter.
void SetMonotonicClockForTest(MonotonicClockFunction clock);

// Ticks of 100 ns that do not run while the computer sleeps or hibernates
// (QueryUnbiasedInterruptTime): a wait measured on it is not used up by a sleep, so a
// computer that has just woken is never taken for one that stayed up all along. The
// monitor judges the UPS on it (the countdown, the silence, REARM_TIME).
int64_t UnbiasedNow();

using UnbiasedClockFunction = int64_t (*)();
// Replaces the unbiased clock for tests; nullptr restores the system's.
void SetUnbiasedClockForTest(UnbiasedClockFunction clock);
