// The event-log line of a failure that may repeat every second (a missing UPS library,
// an unreadable settings file, a network client that keeps guessing a password): the
// first occurrence is written at once, the same line again at most once an hour while
// the failure goes on, and normally again once the call has succeeded. A day of the
// same failure leaves a couple of dozen lines instead of one a second.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class RepeatedFailureLog {
public:
    static constexpr int64_t kDefaultRepeatSeconds = 3600;

    explicit RepeatedFailureLog(int64_t repeatSeconds = kDefaultRepeatSeconds);

    // Writes `line` with TraceLog when it differs from the line last written, or when the
    // repeat interval has passed since then on the monotonic clock. True when written.
    bool Failed(const std::string& line);
    // The failing call has succeeded: the next failure is written at once.
    void Succeeded();

    RepeatedFailureLog(const RepeatedFailureLog&) = delete;
    RepeatedFailureLog& operator=(const RepeatedFailureLog&) = delete;

private:
    const int64_t repeatTicks_;
    std::mutex lock_;
    bool failing_ = false;
    std::string lastLine_;
    int64_t lastWritten_ = 0;
};
