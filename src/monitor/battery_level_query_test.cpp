// The event callback never calls into the library and never waits on it: the battery
// level of a record is asked on a thread of ours, with a time limit, one query at a time,
// and a query that hangs holds up neither the next report nor the data log.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/win32.h"
#include "log/data_log.h"
#include "monitor/battery_level_query.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "monitor/ups_link.h"
#include "monitor/ups_reading.h"
#include "ups/ups_library.h"

namespace monitor_test {
namespace {

using Lines = std::vector<std::string>;

class BatteryLevelQueryTest : public MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        Connect();
        ASSERT_TRUE(OpenDataLogFile());
    }
    // The calls the fake library saw on `thread`.
    std::vector<std::string> CallsOn(DWORD thread) const {
        std::lock_guard<std::mutex> hold(CallersLock());
        std::vector<std::string> names;
        for (const auto& call : fake.callers) {
            if (call.second == thread) names.push_back(call.first);
        }
        return names;
    }
    int QueriesAsked() const {
        std::lock_guard<std::mutex> hold(CallersLock());
        return static_cast<int>(std::count_if(fake.callers.begin(), fake.callers.end(), [](const auto& call) {
            return call.first == "GetCurrentBatteryLevel";
        }));
    }
    // Runs `deliveries` on a thread of its own, as the library's event thread would, and
    // gives that thread's id once every one has returned (false: one did not return in
    // time, and the thread is left behind). With `settle`, the library lets each record's
    // query answer before its next report.
    static bool DeliverOnLibraryThread(const std::vector<std::pair<int32_t, bool>>& deliveries, DWORD& thread,
                                       bool settle, DWORD limitMs = 20000) {
        HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::atomic<DWORD> id{0};
        std::thread library([&deliveries, &id, done, settle] {
            id = GetCurrentThreadId();
            for (const auto& delivery : deliveries) {
                // A record's flag is its mains indicator.
                void* data = delivery.first == kUpsEventMeasurement ? NewRecord(delivery.second ? 1 : 0) : nullptr;
                UpsEventCallback(7, delivery.first, data);
                if (settle) WaitForBatteryLane(20000);
            }
            SetEvent(done);
        });
        const bool returned = WaitForSingleObject(done, limitMs) == WAIT_OBJECT_0;
        if (returned) {
            library.join();
        } else {
            library.detach();
        }
        CloseHandle(done);
        thread = id.load();
        return returned;
    }
};

// A fake library whose every entry point notes the thread it runs on: none runs on the
// library's event thread, whatever it reports, and the battery level is still asked for
// each record, on a thread of ours.
TEST_F(BatteryLevelQueryTest, TheCallbackNeverCallsIntoTheLibrary) {
    const std::vector<std::pair<int32_t, bool>> everything = {
        {kUpsEventAlive, false},       {kUpsEventMeasurement, false}, {kUpsEventMainsFailed, false},
        {kUpsEventMeasurement, true},  {kUpsEventBatteryLow, false},  {kUpsEventMainsRestored, false},
        {kUpsEventMeasurement, false}, {7, false},                    {kUpsEventDeviceLost, false},
    };
    DWORD library = 0;
    ASSERT_TRUE(DeliverOnLibraryThread(everything, library, true));
    SettleBatteryQuery();

    EXPECT_EQ(Lines(), CallsOn(library)) << "no call into the library from its own event thread";
    EXPECT_EQ(3, QueriesAsked()) << "one query for each record";
    EXPECT_EQ(3, fake.batteryLevelCalls);
}

// The battery-level query hangs. Every later report is handled at once, the records ask
// nothing more of the library while it hangs, the line of the record that waits for it
// is written with a level of 0 once the time limit has passed, and the monitor decides
// at WAIT_TIME as usual.
TEST_F(BatteryLevelQueryTest, AQueryThatHangsHoldsUpNothing) {
    WriteSettingsFile(5);
    fake.blockingCalls.insert("GetCurrentBatteryLevel");
    const int queriesBefore = QueriesAsked();
    DWORD library = 0;
    // The first record's query hangs; the next record says mains has failed.
    ASSERT_TRUE(DeliverOnLibraryThread({{kUpsEventMeasurement, false}, {kUpsEventMeasurement, true}}, library, false))
        << "the callback waited on the hung query";
    EXPECT_EQ(1, TheMonitorState().AcFail.load()) << "the mains flag was handled";
    ASSERT_TRUE(DeliverOnLibraryThread({{kUpsEventMeasurement, true}, {kUpsEventMeasurement, true}}, library, false));
    EXPECT_EQ(queriesBefore + 1, QueriesAsked()) << "at most one query in the library";
    EXPECT_TRUE(BatteryLaneBusy());
    EXPECT_EQ(Lines(), DataLines()) << "the first line waits for its level";

    fakeNow += kBatteryQueryLimitSeconds * kTicksPerSecond;
    GiveUpOverdueBatteryQuery(fakeNow.load());
    EXPECT_EQ(Lines(), DataLines()) << "not before the limit has passed";
    fakeNow += 1;
    GiveUpOverdueBatteryQuery(fakeNow.load());
    EXPECT_EQ(Lines({"101.5,60.0,100.0,60.0,35.0,27,13.5,0"}), DataLines());

    // The countdown runs from the failure; the records keep the UPS alive.
    fake.sendsRecords = true;
    RunThreadUntil(fakeNow.load() + 30 * kTicksPerSecond);
    ASSERT_EQ(1u, fake.osShutdownAt.size());
    EXPECT_EQ(queriesBefore + 1, QueriesAsked()) << "still the one hung query";

    ReleaseBlockedCalls();
    EXPECT_EQ(1u, DataLines().size()) << "the late answer writes no second line";
}

// A query that answers in time gives the line its level, and the next record asks again.
TEST_F(BatteryLevelQueryTest, EachRecordAsksOnceTheLastQueryHasAnswered) {
    fake.batteryLevel = 64;
    Deliver(kUpsEventMeasurement, NewRecord(0));
    fake.batteryLevel = 63;
    Deliver(kUpsEventMeasurement, NewRecord(0));
    EXPECT_EQ(2, fake.batteryLevelCalls);
    EXPECT_EQ(Lines({"101.5,60.0,100.0,60.0,35.0,27,13.5,64"}), DataLines());
    EXPECT_EQ(63, LatestUpsReading().BatteryCharge);
}

}  // namespace
}  // namespace monitor_test
