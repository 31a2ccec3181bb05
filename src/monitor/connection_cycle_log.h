// Whether a "UPS lost" or "UPS connected" report (event-log line and Windows event)
// is written. A UPS that stays listed and answers but never reports is connected,
// dropped ten seconds later and connected again, all day long: that cycle is written
// like any other repeated failure. A loss that comes before the UPS has reported
// normally for a minute since its last reconnection repeats the cycle: the first such
// loss and its reconnection are written at once, then one of each at most once an hour
// while the cycle goes on; a minute of normal reports ends it.
#pragma once

#include <cstdint>
#include <mutex>

class ConnectionCycleLog {
public:
    static constexpr int64_t kRepeatSeconds = 3600;
    static constexpr int64_t kSteadySeconds = 60;

    // `now` is an UnbiasedNow() reading. True when the report is to be written.
    bool LostShouldBeWritten(int64_t now);
    bool ConnectedShouldBeWritten(int64_t now);
    // The connected UPS has reported normally since `reportingSince`: after a minute of
    // that the cycle is over.
    void ReportingNormally(int64_t reportingSince, int64_t now);
    // Forgets every cycle (a new run of the monitor, tests).
    void Reset();

private:
    std::mutex lock_;
    bool lostSinceSteady_ = false;  // a loss since the UPS last reported steadily
    bool repeating_ = false;        // and another one after it: the cycle repeats
    bool repeatReconnectWritten_ = false;
    int64_t lastLostWritten_ = 0;
    int64_t lastConnectedWritten_ = 0;
};

// The one record of the process, never destroyed (the library's thread reports losses).
ConnectionCycleLog& TheConnectionCycleLog();
