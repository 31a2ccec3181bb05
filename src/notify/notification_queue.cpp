#include "notify/notification_queue.h"

#include <utility>

void NotificationQueue::Push(Notification notification) {
    if (notification.Event == NotifyEvent::Shutdown) {
        // Behind a SHUTDOWN already waiting (a sequence that was run again), before the rest.
        auto place = waiting_.begin();
        while (place != waiting_.end() && place->Event == NotifyEvent::Shutdown) ++place;
        waiting_.insert(place, std::move(notification));
    } else {
        waiting_.push_back(std::move(notification));
    }
    while (waiting_.size() > kLimit) {
        // The oldest ordinary one goes; a SHUTDOWN is never the one dropped while another waits.
        auto oldest = waiting_.begin();
        while (oldest != waiting_.end() && oldest->Event == NotifyEvent::Shutdown) ++oldest;
        if (oldest == waiting_.end()) oldest = waiting_.begin();
        waiting_.erase(oldest);
        ++dropped_;
    }
}

bool NotificationQueue::Pop(Notification& next) {
    if (waiting_.empty()) return false;
    next = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

size_t NotificationQueue::TakeDroppedCount() {
    size_t count = dropped_;
    dropped_ = 0;
    return count;
}
