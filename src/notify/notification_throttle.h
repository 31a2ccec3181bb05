// Keeps a UPS that flaps, or is lost and found over and over, from starting a process a
// second: as for the event log's lost-and-found lines, an event is told at once, and its
// first repeat too; further repeats at most once an hour while they go on. A minute
// without that event ends the run of repeats. Not locked: the notifier's lock covers it.
#pragma once

#include <cstdint>

#include "notify/notify_event.h"

class NotificationThrottle {
public:
    static constexpr int64_t kRepeatSeconds = 3600;
    static constexpr int64_t kQuietSeconds = 60;

    // `now` is a MonotonicNow() reading. True when this occurrence is to be told.
    bool ShouldNotify(NotifyEvent event, int64_t now);

private:
    struct History {
        bool seen = false;
        int64_t lastSeen = 0;   // last occurrence, told or not
        int64_t lastTold = 0;
        int repeats = 0;        // occurrences since the run of repeats began, after the first
    };
    History history_[kNotifyEventCount];
};
