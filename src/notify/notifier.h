// Tells the administrator's NOTIFY_CMD of the power events (notify/notify_event.h). The
// caller only hands the event over: the command runs later on the notifier's own thread,
// one at a time, with NOTIFY_TIME as its limit, so nothing of the shutdown decision ever
// waits for it. Settings are read afresh for every run: a NOTIFY_CMD set or cleared while
// the service runs applies to the next event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "notify/notification_process.h"
#include "notify/notify_event.h"

// Queues the event unless the throttle holds it back (notify/notification_throttle.h);
// returns at once and never throws. COMMOK is told only as the answer to a COMMBAD that was
// told: the first connection of a run, or a reconnection after a loss held back, says nothing.
// `charge`: the battery charge in percent, -1 when not known.
void Notify(NotifyEvent event, const std::string& text, int32_t charge = -1);

// What runs one notification; the real one is RunNotificationProcess.
using NotificationRunner = NotificationOutcome (*)(const std::string& commandLine, std::vector<char>& environment,
                                                   int32_t timeLimitSeconds);
// Tests put their own runner in place; nullptr restores the real one.
void SetNotificationRunnerForTest(NotificationRunner runner);
// Waits until no notification waits or runs; false when that did not come within `milliseconds`.
bool WaitUntilNotificationsIdleForTest(uint32_t milliseconds);
// Forgets the throttle's history and the notifications still waiting.
void ResetNotifierForTest();
