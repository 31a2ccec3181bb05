// Whether a "UPS lost" or "UPS connected" report (event-log line and Windows event)
// is written. A UPS that stays listed and answers but never reports is connected,
// dropped ten seconds later and connected again, all day long: that cycle is written
// like any other repeated failure. The first loss and the first reconnection are
// written at once, then each at most once an hour while the cycle goes on, and at once
// again after the UPS has reported normally for a minute.
#pragma once

#include <cstdint>
#include <mutex>

class ConnectionCycleLog {
public:
    static constexpr int64_t kRepeatSeconds = 3600;
    static constexpr int64_t kSteadySeconds = 60;

    // `now` is a MonotonicNow() reading. True when the report is to be written.
    bool LostShouldBeWritten(int64_t now);
    bool ConnectedShouldBeWritten(int64_t now);
    // The connected UPS has reported normally since `reportingSince`: after a minute of
    // that the cycle is over.
    void ReportingNormally(int64_t reportingSince, int64_t now);
    // Forgets every cycle (a new run of the monitor, tests).
    void Reset();

private:
    std::mutex lock_;
    bool cycling_ = false;  // a loss has been seen since the UPS last reported steadily
    bool reconnectWritten_ = false;
    int64_t lastLostWritten_ = 0;
    int64_t lastConnectedWritten_ = 0;
};

// The one record of the process, never destroyed (the library's thread reports losses).
ConnectionCycleLog& TheConnectionCycleLog();
