#include "log/repeated_failure_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "log/event_log.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

int64_t monotonicNow = 0;
int64_t FakeMonotonic() { return monotonicNow; }

class RepeatedFailureLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        monotonicNow = 1000 * kTicksPerSecond;
        SetMonotonicClockForTest(&FakeMonotonic);
        RestartEventLogEmpty(scratch);
    }
    void TearDown() override {
        CloseEventLogFileForTest();
        SetMonotonicClockForTest(nullptr);
    }
    void AdvanceSeconds(int64_t seconds) { monotonicNow += seconds * kTicksPerSecond; }

    ScratchDirectory scratch;
};

TEST_F(RepeatedFailureLogTest, ADayOfTheSameFailureEverySecondWritesTheLineOnceAnHour) {
    RepeatedFailureLog log;
    for (int second = 0; second < 24 * 3600; ++second) {
        log.Failed("DllLoad:ER=126");
        AdvanceSeconds(1);
    }
    const std::vector<std::string> lines = EventLogTexts(scratch);
    EXPECT_EQ(lines.size(), 24u) << "the first at once, then one an hour";
    for (const std::string& line : lines) EXPECT_EQ(line, "DllLoad:ER=126");
}

TEST_F(RepeatedFailureLogTest, WhatIsWrittenWhen) {
    struct Step {
        const char* action;  // "fail" or "ok"
        const char* line;
        int64_t secondsAfter;
        bool written;
    };
    const Step steps[] = {
        {"fail", "ReadSetting:Err", 1, true},        // first occurrence: at once
        {"fail", "ReadSetting:Err", 3598, false},    // the same line within the hour
        {"fail", "ReadSetting:Err", 1, false},       // 3599 s after the first: still held back
        {"fail", "ReadSetting:Err", 1, true},        // an hour after the first: once more
        {"fail", "DllLoad:ER=126", 1, true},         // another failure is news: at once
        {"fail", "DllLoad:ER=126", 1, false},
        {"ok", "", 1, false},                        // the call succeeded
        {"fail", "DllLoad:ER=126", 1, true},         // so the next failure is written at once
    };
    RepeatedFailureLog log;
    std::vector<std::string> expected;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.action) + " " + step.line);
        if (std::string(step.action) == "ok") {
            log.Succeeded();
        } else {
            EXPECT_EQ(log.Failed(step.line), step.written);
            if (step.written) expected.push_back(step.line);
        }
        AdvanceSeconds(step.secondsAfter);
    }
    EXPECT_EQ(EventLogTexts(scratch), expected);
}

}  // namespace
