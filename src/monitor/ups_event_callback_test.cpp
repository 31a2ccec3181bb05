// The UPS event callback: what each event and each measurement record changes,
// reports and writes.
#include <gtest/gtest.h>

#include <cstring>

#include "config/status_file.h"
#include "log/data_log.h"
#include "log/windows_event.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/ups_event_callback.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;
using EventSeq = std::vector<WindowsEvent>;

class UpsEventCallbackTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        // Connected to device 7, first record already seen, data log open.
        TheMonitorState().DeviceHandle = 7;
        TheMonitorState().Disconnected = 0;
        TheMonitorState().InitialStatusPending = 0;
        ASSERT_TRUE(OpenDataLogFile());
    }
};

struct CodeCase {
    const char* name;
    int32_t code;
    uint8_t initialStatusPending;
    int32_t acFailBefore;
    int32_t acFailAfter;
    int32_t disconnectedAfter;
    EventSeq events;
    Lines lines;
    bool acFailStartMoved;
};
void PrintTo(const CodeCase& c, std::ostream* out) { *out << c.name; }

class CallbackCodes : public UpsEventCallbackTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(CallbackCodes, ChangeStateReportAndWriteAsTheCodeSays) {
    const CodeCase& c = GetParam();
    MonitorState& state = TheMonitorState();
    state.InitialStatusPending = c.initialStatusPending;
    state.AcFail = c.acFailBefore;
    state.AcFailStart = kStartTicks - 100 * kTicksPerSecond;
    PublishStatus([&c](StatusFile& status) {
        status.AcFail = c.acFailBefore;
        status.Connection = 1;
    });
    fakeNow = kStartTicks + 5 * kTicksPerSecond;

    Deliver(c.code);

    EXPECT_EQ(fakeNow.load(), state.LastHeard.load());
    EXPECT_EQ(c.acFailAfter, state.AcFail.load());
    EXPECT_EQ(c.disconnectedAfter, state.Disconnected.load());
    EXPECT_EQ(c.acFailStartMoved ? fakeNow.load() : kStartTicks - 100 * kTicksPerSecond, state.AcFailStart.load());
    EXPECT_EQ(c.initialStatusPending, state.InitialStatusPending.load()) << "only a record clears it";
    EXPECT_EQ(c.events, Events());
    EXPECT_EQ(c.lines, TraceLines());
    StatusFile written;
    ASSERT_TRUE(ReadStatusFile(written));
    EXPECT_EQ(c.acFailAfter, written.AcFail);
    EXPECT_EQ(c.disconnectedAfter == 1 ? 0 : 1, written.Connection);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackCodes,
    ::testing::Values(
        CodeCase{"AliveOnlyRefreshesLastHeard", 1, 0, 0, 0, 0, {}, {}, false},
        CodeCase{"DeviceLost", 2, 0, 0, 0, 1, {kLostEvent}, {"UPS lost"}, false},
        CodeCase{"MainsFailed", 3, 0, 0, 1, 0, {kAcFailEvent}, {"Mains failed"}, true},
        CodeCase{"MainsFailedAgainKeepsTheCountdown", 3, 0, 1, 1, 0, {kAcFailEvent}, {"Mains failed"}, false},
        CodeCase{"MainsFailedBeforeFirstRecordIsSilent", 3, 1, 0, 1, 0, {}, {}, true},
        CodeCase{"MainsRestored", 4, 0, 1, 0, 0, {kRecoveryEvent}, {"Mains restored"}, false},
        CodeCase{"MainsRestoredWhileNormalReportsAgain", 4, 0, 0, 0, 0, {kRecoveryEvent}, {"Mains restored"}, false},
        CodeCase{"MainsRestoredBeforeFirstRecordIsSilent", 4, 1, 1, 0, 0, {}, {}, false},
        CodeCase{"BatteryLowIsOnlyReported", 5, 0, 0, 0, 0, {kBatteryLowEvent}, {"Battery low"}, false},
        CodeCase{"DeviceLostBeforeFirstRecordStillReported", 2, 1, 0, 0, 1, {kLostEvent}, {"UPS lost"}, false},
        CodeCase{"OtherCodeWritesItsText", 7, 0, 0, 0, 0, {}, {"Self test done"}, false},
        CodeCase{"CodeWithEmptyTextWritesNothing", 9, 0, 0, 0, 0, {}, {}, false},
        CodeCase{"CodeNotInListWritesNothing", 8, 0, 1, 1, 0, {}, {}, false}),
    [](const ::testing::TestParamInfo<CodeCase>& p) { return std::string(p.param.name); });

TEST_F(UpsEventCallbackTest, StaleHandleChangesNothingNotEvenLastHeard) {
    MonitorState& state = TheMonitorState();
    state.LastHeard = kStartTicks - kTicksPerSecond;
    for (int32_t code : {1, 2, 3, 4, 5, 7, 60}) {
        SCOPED_TRACE(code);
        void* record = code == 60 ? NewRecord(1) : nullptr;
        UpsEventCallback(8, code, record);
        EXPECT_EQ(kStartTicks - kTicksPerSecond, state.LastHeard.load());
        EXPECT_EQ(0, state.AcFail.load());
        EXPECT_EQ(0, state.Disconnected.load());
        EXPECT_EQ(0, state.LastDataLogTime.load());
    }
    EXPECT_EQ(EventSeq(), Events());
    EXPECT_EQ(Lines(), TraceLines());
    EXPECT_EQ(Lines(), DataLines());
    EXPECT_EQ(0, CurrentStatus().AcFail);
    // The record of a stale device is still ours to release.
    EXPECT_EQ(1, fake.released);
    EXPECT_TRUE(fake.outstanding.empty());
}

TEST_F(UpsEventCallbackTest, NoDeviceHearsNothingEvenForHandleMinusOne) {
    MonitorState& state = TheMonitorState();
    state.DeviceHandle = -1;
    state.Disconnected = 1;
    for (int32_t code : {1, 2, 3, 4, 5, 7, 60}) {
        SCOPED_TRACE(code);
        UpsEventCallback(-1, code, code == 60 ? NewRecord(1) : nullptr);
    }
    EXPECT_EQ(0, state.LastHeard.load());
    EXPECT_EQ(0, state.AcFail.load());
    EXPECT_EQ(0, state.AcFailStart.load());
    EXPECT_EQ(EventSeq(), Events());
    EXPECT_EQ(Lines(), TraceLines());
    EXPECT_EQ(1, fake.released);
}

TEST_F(UpsEventCallbackTest, RecordBecomesDataLogLineWithBatteryLevelAndIsReleased) {
    fake.batteryLevel = -3;
    Deliver(60, NewRecord(0));
    // Field 6, the temperature (27), in column 8; field 7, the battery voltage (13.5), in column 9.
    EXPECT_EQ(Lines({"101.5,60.0,100.0,60.0,35.0,27,13.5,-3"}), DataLines());
    EXPECT_EQ(1, fake.released);
    EXPECT_EQ(0, fake.releasedUnknown);
    EXPECT_EQ(fakeNow.load(), TheMonitorState().LastDataLogTime.load());
    EXPECT_EQ(Lines(), TraceLines()) << "a record writes no event-list line";
}

TEST_F(UpsEventCallbackTest, DataLogLineAtMostEverySixtySeconds) {
    struct Case {
        int64_t gapTicks;
        size_t lines;
    };
    const Case cases[] = {
        {599 * kTicksPerSecond / 10, 1},   // 59.9 s
        {60 * kTicksPerSecond - 1, 1},     // just short of 60 s
        {60 * kTicksPerSecond, 2},         // 60 s exactly
        {61 * kTicksPerSecond, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gapTicks);
        CloseDataLogForTest();
        scratch->WriteFile("DataLog\\" + DateStamp() + ".csv", "heading\r\n");
        ASSERT_TRUE(OpenDataLogFile());
        TheMonitorState().LastDataLogTime = 0;
        fakeNow = kStartTicks;
        Deliver(60, NewRecord(0));
        fakeNow = kStartTicks + c.gapTicks;
        Deliver(60, NewRecord(0));
        EXPECT_EQ(c.lines, DataLines().size());
    }
}

TEST_F(UpsEventCallbackTest, DashedFieldTwoWithEmptyFieldFourFillsFieldFour) {
    struct Case {
        const char* field2;
        const char* field4;
        const char* line;
    };
    const Case cases[] = {
        {"--.-", "", "101.5,--.-,100.0,--.-,35.0,27,13.5,87"},
        {"--.-", "59.9", "101.5,--.-,100.0,59.9,35.0,27,13.5,87"},
        {"50.0", "", "101.5,50.0,100.0,,35.0,27,13.5,87"},
        {"--.", "", "101.5,--.,100.0,,35.0,27,13.5,87"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TheMonitorState().LastDataLogTime = 0;
        size_t before = DataLines().size();
        Deliver(60, NewRecord(0, c.field2, c.field4));
        Lines lines = DataLines();
        ASSERT_EQ(before + 1, lines.size());
        EXPECT_EQ(c.line, lines.back());
    }
}

TEST_F(UpsEventCallbackTest, FieldsFilledToTheBrimAreReadWithinTheirWidth) {
    auto* record = static_cast<StatusRecord*>(NewRecord(0));
    std::memset(record, 'x', 36);  // no NUL in any text field
    Deliver(60, record);
    EXPECT_EQ(Lines({"xxxxxx,xxxxx,xxxxxx,xxxxx,xxxxx,xxxx,xxxxx,87"}), DataLines());
}

TEST_F(UpsEventCallbackTest, EmptyFieldsKeepTheirColumns) {
    StatusRecord* record = NewRecord(0);
    record->Field1[0] = '\0';
    record->Field6[0] = '\0';
    Deliver(60, record);
    EXPECT_EQ(Lines({",60.0,100.0,60.0,35.0,,13.5,87"}), DataLines());
}

TEST_F(UpsEventCallbackTest, MeasurementWithoutRecordDoesNotCrash) {
    TheMonitorState().InitialStatusPending = 1;
    Deliver(60, nullptr);
    EXPECT_EQ(fakeNow.load(), TheMonitorState().LastHeard.load());
    EXPECT_EQ(1, TheMonitorState().InitialStatusPending.load());
    EXPECT_EQ(Lines(), DataLines());
}

struct IndicatorCase {
    const char* name;
    uint8_t initialStatusPending;
    int32_t acFailBefore;
    int32_t indicator;
    int32_t acFailAfter;
    bool acFailStartMoved;
    EventSeq events;
};
void PrintTo(const IndicatorCase& c, std::ostream* out) { *out << c.name; }

class RecordIndicator : public UpsEventCallbackTest, public ::testing::WithParamInterface<IndicatorCase> {};

TEST_P(RecordIndicator, BringsMainsStateInLine) {
    const IndicatorCase& c = GetParam();
    MonitorState& state = TheMonitorState();
    state.InitialStatusPending = c.initialStatusPending;
    state.AcFail = c.acFailBefore;
    state.AcFailStart = kStartTicks - 30 * kTicksPerSecond;
    fakeNow = kStartTicks + kTicksPerSecond;

    Deliver(60, NewRecord(c.indicator));

    EXPECT_EQ(c.acFailAfter, state.AcFail.load());
    EXPECT_EQ(c.acFailStartMoved ? fakeNow.load() : kStartTicks - 30 * kTicksPerSecond, state.AcFailStart.load());
    EXPECT_EQ(0, state.InitialStatusPending.load());
    EXPECT_EQ(c.events, Events());
    EXPECT_EQ(Lines(), TraceLines()) << "records never write event-list lines";
    if (c.acFailBefore != c.acFailAfter) {
        StatusFile written;
        ASSERT_TRUE(ReadStatusFile(written));
        EXPECT_EQ(c.acFailAfter, written.AcFail);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordIndicator,
    ::testing::Values(IndicatorCase{"FailureStartsCountdown", 0, 0, 1, 1, true, {kAcFailEvent}},
                      IndicatorCase{"FailureWhileFailedKeepsCountdown", 0, 1, 1, 1, false, {}},
                      IndicatorCase{"Recovery", 0, 1, 0, 0, false, {kRecoveryEvent}},
                      IndicatorCase{"NormalWhileNormal", 0, 0, 0, 0, false, {}},
                      IndicatorCase{"FirstRecordFailureIsSilent", 1, 0, 1, 1, true, {}},
                      IndicatorCase{"FirstRecordRecoveryIsSilent", 1, 1, 0, 0, false, {}},
                      IndicatorCase{"UnknownIndicatorChangesNothing", 0, 0, 2, 0, false, {}}),
    [](const ::testing::TestParamInfo<IndicatorCase>& p) { return std::string(p.param.name); });

TEST_F(UpsEventCallbackTest, BatteryLevelIsAskedOfTheCurrentDeviceForEveryRecord) {
    int queries = 0;
    static int* counter;
    counter = &queries;
    MonitorUpsLibrary().GetCurrentBatteryLevel = [](int64_t device, int32_t* level) -> int32_t {
        EXPECT_EQ(7, device);
        EXPECT_EQ(0, *level) << "the level starts at 0";
        ++*counter;
        *level = 55;
        return 1;  // the result is not examined
    };
    Deliver(60, NewRecord(0));
    Deliver(60, NewRecord(0));  // within 60 s: no line, but asked all the same
    EXPECT_EQ(2, queries);
    EXPECT_EQ(Lines({"101.5,60.0,100.0,60.0,35.0,27,13.5,55"}), DataLines());
}

}  // namespace
}  // namespace monitor_test
