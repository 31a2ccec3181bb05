// The monitor thread: one MonitorPass a second while the run flag is set, with a
// cooperative stop and pause that the service host drives.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/win32.h"

// Nonzero while the monitor thread shall keep running.
extern std::atomic<int32_t> MonitorRunFlag;

// The thread routine; `runFlag` is &MonitorRunFlag. Calls MonitorPass and waits
// 1000 ms, over and over, while the flag is nonzero; a pass that returns 1 clears it.
DWORD WINAPI MonitorThreadMain(LPVOID runFlag);

// One pass: silence check, connect attempt, mains-failure check, shutdown sequence.
// 1 when the operating-system shutdown has been started, else 0.
int32_t MonitorPass();

// Run control for the service host. Every long wait of the monitor (the 1 s ticks,
// the external command, the wait for EXCMDTIME) wakes at once on a stop, and a
// pause parks the thread between steps, never inside a lock.
void MonitorPrepareRun();       // clears earlier stop and pause requests
void MonitorRequestStop();      // sets MonitorRunFlag to 0 and wakes every wait
void MonitorRequestPause();     // the thread parks at its next wait
void MonitorRequestContinue();  // a parked thread goes on
