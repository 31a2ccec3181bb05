#include "notify/notification_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

Notification Of(NotifyEvent event, const std::string& text) {
    Notification n;
    n.Event = event;
    n.Text = text;
    return n;
}

std::vector<std::string> Drain(NotificationQueue& queue) {
    std::vector<std::string> order;
    Notification next;
    while (queue.Pop(next)) order.push_back(next.Text);
    return order;
}

TEST(NotificationQueue, RunsInTheOrderTheyCame) {
    NotificationQueue queue;
    queue.Push(Of(NotifyEvent::OnBattery, "1"));
    queue.Push(Of(NotifyEvent::LowBattery, "2"));
    queue.Push(Of(NotifyEvent::Online, "3"));
    EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), Drain(queue));
    EXPECT_EQ(0u, queue.TakeDroppedCount());
}

TEST(NotificationQueue, ShutdownGoesBeforeEverythingWaitingButAfterAnEarlierShutdown) {
    NotificationQueue queue;
    queue.Push(Of(NotifyEvent::OnBattery, "onbatt"));
    queue.Push(Of(NotifyEvent::CommBad, "commbad"));
    queue.Push(Of(NotifyEvent::Shutdown, "shutdown 1"));
    queue.Push(Of(NotifyEvent::Shutdown, "shutdown 2"));
    queue.Push(Of(NotifyEvent::CommandFailed, "cmdfail"));
    EXPECT_EQ((std::vector<std::string>{"shutdown 1", "shutdown 2", "onbatt", "commbad", "cmdfail"}), Drain(queue));
}

TEST(NotificationQueue, BeyondSixteenTheOldestIsDroppedAndCounted) {
    NotificationQueue queue;
    for (int i = 0; i < 20; ++i) queue.Push(Of(NotifyEvent::Online, std::to_string(i)));
    EXPECT_EQ(NotificationQueue::kLimit, queue.Size());
    EXPECT_EQ(4u, queue.TakeDroppedCount());
    EXPECT_EQ(0u, queue.TakeDroppedCount()) << "a count is taken once";
    std::vector<std::string> expected;
    for (int i = 4; i < 20; ++i) expected.push_back(std::to_string(i));
    EXPECT_EQ(expected, Drain(queue));
}

TEST(NotificationQueue, AFullQueueNeverDropsTheShutdown) {
    NotificationQueue queue;
    queue.Push(Of(NotifyEvent::Shutdown, "shutdown"));
    for (int i = 0; i < 16; ++i) queue.Push(Of(NotifyEvent::OnBattery, std::to_string(i)));
    std::vector<std::string> order = Drain(queue);
    ASSERT_EQ(NotificationQueue::kLimit, order.size());
    EXPECT_EQ("shutdown", order.front());
    EXPECT_EQ("1", order[1]) << "the oldest ordinary one, 0, was dropped";
}

}  // namespace
