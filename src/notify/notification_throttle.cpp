#include "notify/notification_throttle.h"

#include "common/clock.h"

bool NotificationThrottle::ShouldNotify(NotifyEvent event, int64_t now) {
    History& h = history_[static_cast<int>(event)];
    const bool quietBefore = !h.seen || now - h.lastSeen >= kQuietSeconds * kTicksPerSecond;
    h.seen = true;
    h.lastSeen = now;
    if (quietBefore) {
        h.repeats = 0;
    } else {
        ++h.repeats;
    }
    const bool tell = h.repeats <= 1 || now - h.lastTold >= kRepeatSeconds * kTicksPerSecond;
    if (tell) h.lastTold = now;
    return tell;
}
