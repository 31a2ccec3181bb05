#include "monitor/ups_reading.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/clock.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/ups_data_freshness.h"
#include "monitor/ups_event_callback.h"

namespace {

// The time awake, on which the age of a record is measured.
int64_t awakeNow = 0;
int64_t FakeUnbiased() { return awakeNow; }

StatusRecord Record(int32_t mainsFailed) {
    StatusRecord record = {};
    std::memcpy(record.Field1, "100.8", 6);   // filled to the brim: no NUL inside the width
    std::strcpy(record.Field2, "--.-");
    std::strcpy(record.Field7, "13.6");
    record.MainsFailed = mainsFailed;
    return record;
}

class UpsReadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        awakeNow = 500 * kTicksPerSecond;
        SetUnbiasedClockForTest(&FakeUnbiased);
        ResetUpsReadingForTest();
        ResetMonitorStateForTest();
    }
    void TearDown() override {
        SetUnbiasedClockForTest(nullptr);
        ResetUpsReadingForTest();
        ResetMonitorStateForTest();
    }
};

TEST_F(UpsReadingTest, KeepsTheRecordsTextsAsTheUpsGaveThem) {
    StoreUpsRecord(7, Record(0), true, 87);
    const UpsReading r = LatestUpsReading();
    EXPECT_TRUE(r.HasRecord);
    EXPECT_EQ(7, r.Device);
    EXPECT_EQ(awakeNow, r.RecordedAt);
    EXPECT_EQ("100.8", r.Measurements[kInputVoltage]);
    EXPECT_EQ("--.-", r.Measurements[kInputFrequency]);
    EXPECT_EQ("", r.Measurements[kOutputFrequency]);
    EXPECT_EQ("13.6", r.Measurements[kBatteryVoltage]);
    EXPECT_TRUE(r.BatteryChargeKnown);
    EXPECT_EQ(87, r.BatteryCharge);
}

TEST_F(UpsReadingTest, BatteryLowLastsUntilMainsReturnsOrAnotherDeviceReports) {
    StoreUpsRecord(7, Record(1), true, 30);
    StoreUpsBatteryLow(7);
    StoreUpsRecord(7, Record(1), true, 29);
    EXPECT_TRUE(LatestUpsReading().BatteryLow);
    StoreUpsRecord(7, Record(0), true, 29);
    EXPECT_FALSE(LatestUpsReading().BatteryLow) << "mains is back: the battery charges";

    StoreUpsBatteryLow(7);
    StoreUpsRecord(8, Record(0), true, 90);
    EXPECT_FALSE(LatestUpsReading().BatteryLow) << "a new device starts afresh";
}

// A record is stored before its charge has been asked: the charge last answered for the
// same device stays until the answer, which then replaces it; an answer for a device that
// no longer reports changes nothing.
TEST_F(UpsReadingTest, TheChargeOfARecordComesWithItsAnswer) {
    const struct {
        const char* name;
        int64_t answerDevice;
        bool answered;
        int32_t charge;
        bool knownAfter;
        int32_t chargeAfter;
    } cases[] = {
        {"kept until the answer", 7, false, 0, true, 87},
        {"the answer replaces it", 7, true, 64, true, 64},
        {"a failed query", 7, true, -1, false, 0},
        {"another device's answer", 8, true, 12, true, 87},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetUpsReadingForTest();
        StoreUpsRecord(7, Record(1), true, 87);
        StoreUpsRecordKeepingCharge(7, Record(1));
        if (c.answered) StoreUpsCharge(c.answerDevice, c.charge != -1, c.charge == -1 ? 0 : c.charge);
        const UpsReading r = LatestUpsReading();
        EXPECT_EQ(c.knownAfter, r.BatteryChargeKnown);
        EXPECT_EQ(c.chargeAfter, r.BatteryCharge);
    }
    ResetUpsReadingForTest();
    StoreUpsRecord(7, Record(0), true, 87);
    StoreUpsRecordKeepingCharge(8, Record(0));
    EXPECT_FALSE(LatestUpsReading().BatteryChargeKnown) << "a new device's charge is not the old one's";
}

TEST_F(UpsReadingTest, DataIsStaleWithoutAConnectedUpsOrPastTheSilenceLimit) {
    MonitorState& state = TheMonitorState();
    struct Case {
        const char* name;
        int32_t disconnected;
        int64_t device;
        int64_t recordDevice;  // -1: no record
        uint8_t mainsStateKnown;
        int64_t ageTicks;  // of time awake
        bool stale;
    };
    const Case cases[] = {
        {"fresh", 0, 7, 7, 1, 0, false},
        {"at the limit", 0, 7, 7, 1, kUpsSilenceLimitTicks, false},
        {"past the limit", 0, 7, 7, 1, kUpsSilenceLimitTicks + 1, true},
        {"disconnected", 1, 7, 7, 1, 0, true},
        {"no device", 0, -1, 7, 1, 0, true},
        {"no record yet", 0, 7, -1, 1, 0, true},
        {"record of an earlier device", 0, 8, 7, 1, 0, true},
        // Reconnected (or woken) with the same handle: the record is from before.
        {"before the UPS said what holds now", 0, 7, 7, 0, 0, true},
    };
    for (const Case& c : cases) {
        ResetUpsReadingForTest();
        state.Disconnected = c.disconnected;
        state.DeviceHandle = c.device;
        state.MainsStateKnown = c.mainsStateKnown;
        if (c.recordDevice != -1) StoreUpsRecord(c.recordDevice, Record(0), true, 50);
        EXPECT_EQ(c.stale, UpsDataIsStale(state, LatestUpsReading(), awakeNow + c.ageTicks)) << c.name;
    }
}

}  // namespace

// --- What the event callback keeps for the network clients ---

namespace monitor_test {
namespace {

class CallbackReadingTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        ResetUpsReadingForTest();
    }
    void TearDown() override {
        ResetUpsReadingForTest();
        MonitorTest::TearDown();
    }
};

TEST_F(CallbackReadingTest, EachRecordOfTheCurrentDeviceAndItsBatteryLowAreKept) {
    Connect();
    Deliver(60, NewRecord(1, "--.-", ""));
    UpsReading r = LatestUpsReading();
    ASSERT_TRUE(r.HasRecord);
    EXPECT_EQ(7, r.Device);
    EXPECT_EQ("101.5", r.Measurements[kInputVoltage]);
    EXPECT_EQ("--.-", r.Measurements[kInputFrequency]);
    EXPECT_EQ("", r.Measurements[kOutputFrequency]) << "as the UPS gave it, not as the data log fills it";
    EXPECT_EQ("13.5", r.Measurements[kBatteryVoltage]);
    EXPECT_EQ("27", r.Measurements[kTemperature]);
    EXPECT_TRUE(r.BatteryChargeKnown);
    EXPECT_EQ(87, r.BatteryCharge);
    EXPECT_FALSE(r.BatteryLow);
    Deliver(kUpsEventBatteryLow);
    EXPECT_TRUE(LatestUpsReading().BatteryLow);

    UpsEventCallback(99, 60, NewRecord(0));  // another device's record is not ours
    EXPECT_EQ(7, LatestUpsReading().Device);
}

}  // namespace
}  // namespace monitor_test
