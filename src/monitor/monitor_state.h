// What the monitor pass and the UPS event callback know about the UPS, shared
// between the monitor thread and the UPS library's event thread.
#pragma once

#include <atomic>
#include <cstdint>

// Each field is read and written whole by two threads at once, so each is an atomic
// of the field's own width; there is no lock, and none is needed for whole values.
// Times are UnbiasedNow() ticks (100 ns), time the computer was awake: every one of them
// is used to measure how long something took, no step of the wall clock may move a
// countdown, and a sleep neither runs one out nor makes the UPS look silent. The data
// log's LastDataLogTime and the sequence's own deadlines are MonotonicNow() ticks.
struct MonitorState {
    std::atomic<int64_t> DeviceHandle{-1};         // connected UPS; -1 = none
    std::atomic<int32_t> Disconnected{1};          // 1 while no live UPS is known
    std::atomic<uint8_t> OpenedByCom{0};           // opened by OpenCOM: close with CloseCOM when dropped
    // 1 while the UPS is one that another machine serves (DEVICE <ups>@<host>): its
    // output-off is that machine's, and the sequence logs out of it instead. Set at
    // every connect attempt, for the source DEVICE names then.
    std::atomic<uint8_t> NetworkUps{0};
    std::atomic<uint8_t> InitialStatusPending{0};  // 1 from InitNervaUPSLib to the first record
    std::atomic<int32_t> AcFail{0};                // 1 while mains power has failed
    std::atomic<int64_t> AcFailStart{0};           // when AcFail last became 1
    // 0 from a connect attempt until the UPS says what holds now (its first record, or a
    // mains report): until then AcFail is history, and nothing is judged on it.
    std::atomic<uint8_t> MainsStateKnown{0};
    // 1 from a wake until the UPS says what holds now: an expired countdown waits for it
    // even while no UPS is connected (monitor/wake_watch.h).
    std::atomic<uint8_t> UnheardSinceWake{0};
    // What the UPS said of its battery while on battery power; both forgotten when mains
    // returns (monitor/battery_trigger.h, monitor/battery_reports.h).
    std::atomic<uint8_t> BatteryLowOnBattery{0};   // a low-battery report (code 5)
    std::atomic<int32_t> ChargeOnBattery{-1};      // the last charge reading, 1..100; -1 = none
    std::atomic<int64_t> ChargeSeenAt{0};          // when a charge was last read on battery; 0 = never
    // What the UPS said of its battery while the mains state was unknown, kept until it
    // is known: judged on battery power, only recorded on mains.
    std::atomic<uint8_t> BatteryLowPending{0};
    std::atomic<int32_t> ChargePending{-1};        // 1..100; -1 = none
    std::atomic<int64_t> LastHeard{0};             // last callback for DeviceHandle or successful connect
    std::atomic<int64_t> LastDataLogTime{0};       // last data-log line; 0 = none yet
    std::atomic<int64_t> ConnectedAt{0};           // when the current device was opened (monitor only)
    std::atomic<uint8_t> ShutdownStarted{0};       // 1 once the operating system accepted the shutdown
    // 1 from the very start of a shutdown sequence (before the external command) until
    // the monitor watches the UPS again (monitor/rearm.h): the point of no return that
    // other parts show (the network server tells its clients "FSD").
    std::atomic<uint8_t> ShutdownSequenceStarted{0};
    // 1 while the monitor thread is inside a shutdown sequence; the service's stop
    // waits for it instead of cutting it short.
    std::atomic<uint8_t> ShutdownSequenceRunning{0};
    // 1 once the machine that serves the UPS said FSD: it has begun its shutdown, and the
    // sequence starts at once. Forgotten with the sequence.
    std::atomic<uint8_t> ServerForcedShutdown{0};
    // How far the sequence has come, so that a pass after an interrupted sequence (a
    // refused OS shutdown, an exception) goes on where it stopped and never runs the
    // command or sends the UPS output-off twice. Monitor only.
    std::atomic<int64_t> ClientsWaitDeadline{0};  // network clients may log out until then
    std::atomic<int64_t> OutputOffNotBefore{0};   // EXCMDTIME after the command's start; 0 = no command
    std::atomic<uint8_t> OutputOffDone{0};        // the output-off was sent, or could not be
    // An expired countdown that waits for a reconnected UPS's first record: since when
    // (0 = not waiting), and for which countdown (its AcFailStart). Monitor only.
    std::atomic<int64_t> AwaitingStateSince{0};
    std::atomic<int64_t> AwaitingStateFor{0};
    // The sequence's request to Windows and watching again when the computer comes back
    // without having been switched off (monitor/os_step.h, monitor/rearm.h). Monitor
    // only, but the two the service's power notifications set.
    std::atomic<uint8_t> ResumeReported{0};     // the computer woke (PBT_APMRESUME*)
    std::atomic<uint8_t> SuspendReported{0};    // the computer is going to sleep (PBT_APMSUSPEND)
    // How far the monotonic clock has run ahead of the unbiased one, at the last pass
    // (INT64_MIN before the first): it grows by the time spent asleep.
    std::atomic<int64_t> AsleepTicksSeen{INT64_MIN};
    std::atomic<uint8_t> WakeActedOn{0};        // the last wake seen has been acted on
    // The request that keeps Windows from falling asleep during an outage is held
    // (monitor/stay_awake.h).
    std::atomic<uint8_t> StayAwakeHeld{0};
    std::atomic<uint8_t> OsStepReached{0};      // the sequence has come to its request to Windows
    std::atomic<int64_t> OsRequestedAt{0};      // UnbiasedNow() when Windows accepted it; 0 = not yet
    std::atomic<uint8_t> HibernateUnderWay{0};  // the accepted request was a hibernation
    std::atomic<uint8_t> HibernateFailed{0};    // refused, or never came: the power-off follows
    std::atomic<int64_t> SequenceOutageStart{0};  // AcFailStart of the outage the sequence began in
    std::atomic<uint8_t> OutageStepsDone{0};      // the command and output-off of the outage have been done
    // 1 once Windows told the service that it is shutting down (MonitorNoteSystemShutdown);
    // never cleared, as a shutdown under way is never called off.
    std::atomic<uint8_t> SystemShuttingDown{0};
};

// A hidden lock inside an atomic could be held by a thread that a debugger or the
// loader stops; these must be plain lock-free instructions.
static_assert(std::atomic<int64_t>::is_always_lock_free, "64-bit atomics must be lock-free");
static_assert(std::atomic<int32_t>::is_always_lock_free, "32-bit atomics must be lock-free");
static_assert(std::atomic<uint8_t>::is_always_lock_free, "8-bit atomics must be lock-free");

// The one record of the process, alive from start to end.
MonitorState& TheMonitorState();

// Forgets the shutdown sequence and its request to Windows (ShutdownStarted,
// ShutdownSequenceStarted last, the progress fields, the hibernation's). Monitor only.
void ForgetShutdownSequence(MonitorState& state);

// Puts every field back to its value at process start.
void ResetMonitorStateForTest();
