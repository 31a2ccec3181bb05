// The monitor thread: one MonitorPass a second while the run flag is set, with a
// cooperative stop and pause that the service host drives.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/win32.h"

// Nonzero while the monitor thread shall keep running.
extern std::atomic<int32_t> MonitorRunFlag;

// The thread routine; `runFlag` is &MonitorRunFlag. Calls MonitorPass and waits
// MonitorNextPassDelayMs, over and over, while the flag is nonzero. The passes go on
// after Windows accepted the shutdown, so that the monitor watches again if the
// computer comes back without having been switched off. The wait also ends when the
// UPS reports a mains change or a resume is reported. An exception out of a pass is
// written to the event log and the passes go on.
DWORD WINAPI MonitorThreadMain(LPVOID runFlag);

// One pass: re-arm check, silence check, connect attempt, mains-failure check,
// shutdown sequence. 1 while Windows has accepted the power-off or the hibernation,
// else 0. A pass run after a
// stop was requested (the final pass of a service stop) never starts the sequence.
int32_t MonitorPass();

// How long to wait before the next pass: 1000 ms, or less when a running countdown
// passes WAIT_TIME sooner, so the decision falls due on time rather than on the
// next whole-second tick.
uint32_t MonitorNextPassDelayMs();

// True while Windows has accepted the sequence's power-off or hibernation and the
// monitor has not re-armed since.
bool MonitorOsRequestAccepted();

// The computer has resumed from sleep or hibernation (the service's power event): the
// next pass, which follows at once, watches the UPS anew (monitor/rearm.h), unless it
// already has for this wake (monitor/wake_watch.h).
void MonitorRequestRearm();
// The computer is going to sleep (the service's power event): the resume that follows
// is a wake of its own.
void MonitorNoteSuspend();

// True while a shutdown sequence is under way on the monitor thread.
bool MonitorShutdownSequenceRunning();

// Windows is shutting down (the service's PRESHUTDOWN or SHUTDOWN control), ours or
// anybody's: from now on nothing is asked of Windows again, and a power-off of ours that
// Windows accepted is never taken for one that did not happen (monitor/os_step.h,
// monitor/rearm.h), however long Windows takes. For the rest of the process.
void MonitorNoteSystemShutdown();

// Forgets the failure lines the passes have written, so a test's first failure is written.
void ResetMonitorPassForTest();

// Run control for the service host. Every wait of the monitor outside the shutdown
// sequence (the ticks, the wait after InitNervaUPSLib) wakes at once on a stop, and a
// pause parks the thread there, never inside a lock. Once a shutdown sequence has
// started it is never cut short: a stop lets it complete, and a pause holds it only
// before its irreversible steps (UPS output-off, OS shutdown).
void MonitorPrepareRun();       // clears earlier stop and pause requests
void MonitorRequestStop();      // sets MonitorRunFlag to 0 and wakes every wait
void MonitorRequestPause();     // the thread parks at its next wait
void MonitorRequestContinue();  // a parked thread goes on
// True as soon as the monitor thread is parked (at once if it already is), false when
// `milliseconds` pass first.
bool MonitorWaitUntilParked(uint32_t milliseconds);
