#include "notify/notifier.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/clock.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "log/event_log.h"
#include "log/repeated_failure_log.h"
#include "notify/notification_queue.h"
#include "notify/notification_throttle.h"
#include "notify/notify_command_line.h"

namespace {

struct Notifier {
    std::mutex lock;
    std::condition_variable wake;  // a notification waits
    std::condition_variable idle;  // none waits and none runs
    NotificationQueue queue;
    NotificationThrottle throttle;
    bool running = false;
    bool threadStarted = false;
    bool lossTold = false;  // a COMMBAD was told and no COMMOK since
    std::atomic<NotificationRunner> runner{&RunNotificationProcess};
    // A NOTIFY_CMD that cannot be started fails on every event: written like any repeated failure.
    RepeatedFailureLog startFailures;
};

// Never destroyed: its thread lives as long as the process.
Notifier& TheNotifier() {
    static auto* notifier = new Notifier;
    return *notifier;
}

// The service's environment block, freed when done with.
class InheritedEnvironment {
public:
    InheritedEnvironment() : block_(GetEnvironmentStringsA()) {}
    ~InheritedEnvironment() {
        if (block_ != nullptr) FreeEnvironmentStringsA(block_);
    }
    InheritedEnvironment(const InheritedEnvironment&) = delete;
    InheritedEnvironment& operator=(const InheritedEnvironment&) = delete;
    const char* Get() const { return block_; }

private:
    char* block_;
};

void RunOne(Notifier& notifier, const Notification& notification) {
    // Without Setting.ini there is no NOTIFY_CMD; reading would write one with the defaults.
    if (GetFileAttributesA(SettingsFilePath().c_str()) == INVALID_FILE_ATTRIBUTES) return;
    Settings settings;
    if (ReadSettings(settings) == 0 || settings.NotifyCmd.empty()) return;
    const std::string name = NotifyEventName(notification.Event);
    std::vector<char> environment =
        NotifyEnvironmentBlock(InheritedEnvironment().Get(), notification, CurrentStatus().Model);
    const NotificationOutcome outcome = notifier.runner.load()(NotifyCommandLine(settings.NotifyCmd, notification),
                                                               environment, settings.NotifyTime);
    switch (outcome.End) {
    case NotificationEnd::Exited:
        notifier.startFailures.Succeeded();
        TraceLog("Notify(" + name + "):ExitCode=" + std::to_string(outcome.ExitCode));
        break;
    case NotificationEnd::TimedOut:
        notifier.startFailures.Succeeded();
        TraceLog("Notify(" + name + "):TimeOut");
        break;
    case NotificationEnd::NotStarted:
        notifier.startFailures.Failed("Notify:ER=" + std::to_string(outcome.Error));
        break;
    }
}

void WorkerLoop() {
    Notifier& notifier = TheNotifier();
    for (;;) {
        Notification next;
        size_t dropped = 0;
        {
            std::unique_lock<std::mutex> held(notifier.lock);
            notifier.wake.wait(held, [&notifier] { return notifier.queue.Size() > 0; });
            notifier.queue.Pop(next);
            dropped = notifier.queue.TakeDroppedCount();
            notifier.running = true;
        }
        try {
            if (dropped > 0) TraceLog("Notify:Dropped=" + std::to_string(dropped));
            RunOne(notifier, next);
        } catch (...) {
            try {
                TraceLog("Notify:Exception");
            } catch (...) {
            }
        }
        {
            std::lock_guard<std::mutex> held(notifier.lock);
            notifier.running = false;
        }
        notifier.idle.notify_all();
    }
}

}  // namespace

void Notify(NotifyEvent event, const std::string& text, int32_t charge) {
    try {
        Notifier& notifier = TheNotifier();
        {
            std::lock_guard<std::mutex> held(notifier.lock);
            if (event == NotifyEvent::CommOk && !notifier.lossTold) return;
            if (!notifier.throttle.ShouldNotify(event, MonotonicNow())) return;
            if (event == NotifyEvent::CommBad) notifier.lossTold = true;
            if (event == NotifyEvent::CommOk) notifier.lossTold = false;
            Notification notification;
            notification.Event = event;
            notification.Text = text;
            notification.Charge = charge;
            notifier.queue.Push(std::move(notification));
            if (!notifier.threadStarted) {
                std::thread(WorkerLoop).detach();
                notifier.threadStarted = true;
            }
        }
        notifier.wake.notify_one();
    } catch (...) {
        // Out of memory or no thread to be had: the event goes untold, the caller goes on.
    }
}

void SetNotificationRunnerForTest(NotificationRunner runner) {
    TheNotifier().runner.store(runner != nullptr ? runner : &RunNotificationProcess);
}

bool WaitUntilNotificationsIdleForTest(uint32_t milliseconds) {
    Notifier& notifier = TheNotifier();
    std::unique_lock<std::mutex> held(notifier.lock);
    return notifier.idle.wait_for(held, std::chrono::milliseconds(milliseconds),
                                  [&notifier] { return notifier.queue.Size() == 0 && !notifier.running; });
}

void ResetNotifierForTest() {
    Notifier& notifier = TheNotifier();
    std::lock_guard<std::mutex> held(notifier.lock);
    Notification discarded;
    while (notifier.queue.Pop(discarded)) {
    }
    notifier.queue.TakeDroppedCount();
    notifier.throttle = NotificationThrottle();
    notifier.lossTold = false;
    notifier.startFailures.Succeeded();
}
