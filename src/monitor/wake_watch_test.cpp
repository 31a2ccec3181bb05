// Each wake is acted on once, whichever of its signs comes first: the clocks parting, a
// resume notification (one or two for the same wake), a suspend notification before it.
#include "monitor/wake_watch.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/clock.h"
#include "monitor/monitor_state.h"

namespace {

int64_t monotonicNow = 0;
int64_t unbiasedNow = 0;
int64_t FakeMonotonic() { return monotonicNow; }
int64_t FakeUnbiased() { return unbiasedNow; }

enum class Sign { Look, Run, Sleep, Suspend, Resume, SequenceRequest };

struct Step {
    Sign sign;
    int64_t ticks = 0;     // Run, Sleep: how long
    bool newWake = false;  // Look: what NewWakeSeen answers
};

Step Look(bool newWake) { return {Sign::Look, 0, newWake}; }
Step Run(int64_t ticks) { return {Sign::Run, ticks}; }
Step Sleep(int64_t ticks) { return {Sign::Sleep, ticks}; }
constexpr Step kSuspend{Sign::Suspend};
constexpr Step kResume{Sign::Resume};
constexpr Step kSequenceRequest{Sign::SequenceRequest};

constexpr int64_t kSecond = kTicksPerSecond;
constexpr int64_t kTwoHours = 2 * 3600 * kSecond;

struct WakeCase {
    const char* name;
    std::vector<Step> steps;
};
void PrintTo(const WakeCase& c, std::ostream* out) { *out << c.name; }

class WakeWatch : public ::testing::TestWithParam<WakeCase> {
protected:
    void SetUp() override {
        monotonicNow = 1000 * kSecond;
        unbiasedNow = 400 * kSecond;  // the two counters start apart
        SetMonotonicClockForTest(&FakeMonotonic);
        SetUnbiasedClockForTest(&FakeUnbiased);
        ResetMonitorStateForTest();
    }
    void TearDown() override {
        SetMonotonicClockForTest(nullptr);
        SetUnbiasedClockForTest(nullptr);
        ResetMonitorStateForTest();
    }
};

TEST_P(WakeWatch, ActsOnEachWakeOnce) {
    MonitorState& state = TheMonitorState();
    int index = 0;
    for (const Step& step : GetParam().steps) {
        switch (step.sign) {
            case Sign::Look:
                EXPECT_EQ(step.newWake, NewWakeSeen(state)) << "step " << index;
                break;
            case Sign::Run:
                monotonicNow += step.ticks;
                unbiasedNow += step.ticks;
                break;
            case Sign::Sleep:
                monotonicNow += step.ticks;
                break;
            case Sign::Suspend:
                NoteSuspendReported(state);
                break;
            case Sign::Resume:
                NoteResumeReported(state);
                break;
            case Sign::SequenceRequest:
                ForgetWakesBeforeNow(state);
                break;
        }
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WakeWatch,
    ::testing::Values(
        WakeCase{"AwakeAllAlong", {Look(false), Run(kSecond), Look(false), Run(3600 * kSecond), Look(false)}},
        // The first pass after the wake runs before Windows tells the service.
        WakeCase{"TheClocksFirstThenTwoLateResumes",
                 {Look(false), Sleep(kTwoHours), Look(true), Run(kSecond), Look(false), kResume, Look(false),
                  Run(9 * kSecond), kResume, Look(false)}},
        WakeCase{"TheResumeAndTheClocksInOnePass", {Look(false), Sleep(kTwoHours), kResume, Look(true), Look(false)}},
        WakeCase{"TheSuspendBeforeAndTheClocksAfter",
                 {Look(false), kSuspend, Look(false), Sleep(kTwoHours), Look(true), kResume, kResume, Look(false)}},
        // Too short for the clocks: the resume tells, once.
        WakeCase{"AShortSleepTheResumesTell",
                 {Look(false), Sleep(kSleepNoticeTicks), Look(false), kResume, Look(true), kResume, Look(false)}},
        WakeCase{"JustMoreThanTheNoticeIsASleep", {Look(false), Sleep(kSleepNoticeTicks + 1), Look(true)}},
        // After an acted-on wake, only a suspend makes the next resume a wake of its own.
        WakeCase{"ASecondShortSleepAfterASuspend",
                 {Look(false), kResume, Look(true), Run(60 * kSecond), kSuspend, Sleep(kSecond), kResume, Look(true)}},
        WakeCase{"TwoSleepsTwoWakes",
                 {Look(false), Sleep(kTwoHours), Look(true), Run(60 * kSecond), Sleep(kTwoHours), Look(true)}},
        // What woke the computer during the sequence belongs to it; the wake after the
        // sequence's own hibernation is a new one, however it shows.
        WakeCase{"TheSequenceForgetsEarlierWakesByTheClocks",
                 {Look(false), Sleep(kTwoHours), kResume, kSequenceRequest, Look(false), Sleep(kTwoHours),
                  Look(true), kResume, Look(false)}},
        WakeCase{"AfterTheSequencesRequestAResumeAloneIsAWake",
                 {Look(false), kResume, Look(true), kSequenceRequest, Look(false), kResume, Look(true)}}),
    [](const ::testing::TestParamInfo<WakeCase>& p) { return std::string(p.param.name); });

}  // namespace
