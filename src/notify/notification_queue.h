// The notifications waiting for their turn: at most kLimit of them, in the order they came,
// except SHUTDOWN, which goes before every other one so that it starts beside the external
// command rather than after a backlog. When the queue is full the oldest waiting one is
// dropped, and the drops are counted for the event log. Not locked: the notifier holds its
// own lock around it.
#pragma once

#include <cstddef>
#include <deque>

#include "notify/notify_event.h"

class NotificationQueue {
public:
    static constexpr size_t kLimit = 16;

    void Push(Notification notification);
    // The next one to run; false when none waits.
    bool Pop(Notification& next);
    // How many were dropped since the last call.
    size_t TakeDroppedCount();
    size_t Size() const { return waiting_.size(); }

private:
    std::deque<Notification> waiting_;
    size_t dropped_ = 0;
};
