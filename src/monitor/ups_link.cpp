// The UPS link's thread and its one-call queue, and the battery lane built the same way.
// The threads, their events and their locks live as long as the process: a call into
// the library may still hang at exit.
#include "monitor/ups_link.h"

#include <memory>
#include <mutex>

#include "log/event_log.h"

namespace {

// Longer than any call of a working library takes, the connect's 1 s pause included.
constexpr ULONGLONG kStalledAfterMs = 5000;

struct LinkCall {
    std::function<void()> call;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~LinkCall() {
        if (done != nullptr) CloseHandle(done);
    }
};

struct Link {
    std::mutex lock;
    std::shared_ptr<LinkCall> waiting;  // handed over, not begun
    std::shared_ptr<LinkCall> running;
    HANDLE work = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset: a call is waiting
    HANDLE idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);    // set while nothing runs or waits
    ULONGLONG runningSince = 0;  // GetTickCount64() when `running` began
    bool threadStarted = false;
};

Link& TheLink() {
    static auto* link = new Link;
    return *link;
}

Link& TheBatteryLane() {
    static auto* lane = new Link;
    return *lane;
}

void RunOne(const std::shared_ptr<LinkCall>& item) {
    // Nothing may end the link's thread: what escapes the library's call ends that call.
    try {
        item->call();
    } catch (...) {
        try {
            TraceLog("UpsLink:Exception");
        } catch (...) {
        }
    }
}

DWORD WINAPI LinkThreadMain(LPVOID parameter) {
    Link& link = *static_cast<Link*>(parameter);
    for (;;) {
        WaitForSingleObject(link.work, INFINITE);
        std::shared_ptr<LinkCall> item;
        {
            std::lock_guard<std::mutex> guard(link.lock);
            item = std::move(link.waiting);
            link.running = item;
            link.runningSince = GetTickCount64();
        }
        if (item == nullptr) continue;
        RunOne(item);
        {
            std::lock_guard<std::mutex> guard(link.lock);
            link.running.reset();
            if (link.waiting == nullptr) SetEvent(link.idle);
        }
        SetEvent(item->done);
    }
}

// Under the lock: starts the thread the first time it is needed.
bool EnsureThread(Link& link) {
    if (link.threadStarted) return true;
    if (link.work == nullptr || link.idle == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, LinkThreadMain, &link, 0, nullptr);
    if (thread == nullptr) {
        TraceLogError("CreateThread():ER=", GetLastError());
        return false;
    }
    CloseHandle(thread);
    link.threadStarted = true;
    return true;
}

// Under the lock: hands `item` over when nothing runs or waits.
bool HandOver(Link& link, const std::shared_ptr<LinkCall>& item) {
    if (link.waiting != nullptr || link.running != nullptr) return false;
    link.waiting = item;
    ResetEvent(link.idle);
    SetEvent(link.work);
    return true;
}

DWORD RemainingMs(ULONGLONG deadline) {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Waits on `target` and `giveUp` (when given) until `deadline`.
UpsLinkOutcome WaitUntil(HANDLE target, HANDLE giveUp, ULONGLONG deadline) {
    HANDLE handles[2] = {target, giveUp};
    const DWORD woke = WaitForMultipleObjects(giveUp != nullptr ? 2 : 1, handles, FALSE, RemainingMs(deadline));
    if (woke == WAIT_OBJECT_0) return UpsLinkOutcome::Completed;
    if (woke == WAIT_OBJECT_0 + 1) return UpsLinkOutcome::GaveUp;
    if (woke == WAIT_FAILED) Sleep(RemainingMs(deadline));  // never a spin
    return UpsLinkOutcome::TimedOut;
}

bool StartOn(Link& link, std::function<void()> call) {
    auto item = std::make_shared<LinkCall>();
    item->call = std::move(call);
    if (item->done == nullptr) return false;
    std::lock_guard<std::mutex> guard(link.lock);
    return EnsureThread(link) && HandOver(link, item);
}

bool Busy(Link& link) {
    std::lock_guard<std::mutex> guard(link.lock);
    return link.waiting != nullptr || link.running != nullptr;
}

bool WaitForFree(Link& link, uint32_t limitMs, HANDLE wakeEvent1, HANDLE wakeEvent2) {
    HANDLE handles[3] = {link.idle};
    DWORD count = 1;
    if (wakeEvent1 != nullptr) handles[count++] = wakeEvent1;
    if (wakeEvent2 != nullptr) handles[count++] = wakeEvent2;
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, limitMs);
    if (woke == WAIT_FAILED) Sleep(limitMs);
    return !Busy(link);
}

}  // namespace

UpsLinkOutcome RunOnUpsLink(std::function<void()> call, uint32_t limitMs, HANDLE giveUpEvent) {
    Link& link = TheLink();
    auto item = std::make_shared<LinkCall>();
    if (item->done == nullptr) return UpsLinkOutcome::TimedOut;
    item->call = std::move(call);
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(link.lock);
            if (!EnsureThread(link)) return UpsLinkOutcome::TimedOut;
            if (HandOver(link, item)) break;
        }
        const UpsLinkOutcome free = WaitUntil(link.idle, giveUpEvent, deadline);
        if (free != UpsLinkOutcome::Completed) return free;
    }
    const UpsLinkOutcome outcome = WaitUntil(item->done, giveUpEvent, deadline);
    if (outcome == UpsLinkOutcome::Completed) return outcome;
    std::lock_guard<std::mutex> guard(link.lock);
    if (link.waiting == item) {
        link.waiting.reset();
        if (link.running == nullptr) SetEvent(link.idle);
        return outcome;
    }
    return link.running == item ? outcome : UpsLinkOutcome::Completed;  // or it ended just now
}

bool StartOnUpsLink(std::function<void()> call) { return StartOn(TheLink(), std::move(call)); }

bool WaitForUpsLink(uint32_t limitMs, HANDLE wakeEvent1, HANDLE wakeEvent2) {
    return WaitForFree(TheLink(), limitMs, wakeEvent1, wakeEvent2);
}

bool UpsLinkBusy() { return Busy(TheLink()); }

bool UpsLinkStalled() {
    Link& link = TheLink();
    std::lock_guard<std::mutex> guard(link.lock);
    return link.running != nullptr && GetTickCount64() - link.runningSince > kStalledAfterMs;
}

bool StartOnBatteryLane(std::function<void()> call) { return StartOn(TheBatteryLane(), std::move(call)); }

bool WaitForBatteryLane(uint32_t limitMs) { return WaitForFree(TheBatteryLane(), limitMs, nullptr, nullptr); }

bool BatteryLaneBusy() { return Busy(TheBatteryLane()); }
