// The UPS simulator, loaded through the real loader and steered by its control file.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>

#include "common/scoped_handle.h"
#include "ups/ups_loader.h"
#include "ups/ups_test_support.h"

namespace {

using ups_test::CallLogLine;
using ups_test::CallsOf;
using ups_test::CopyLibrary;
using ups_test::EventRecorder;
using ups_test::LibraryLoaded;
using ups_test::ReceivedEvent;
using ups_test::WaitFor;

constexpr const char* kFastUps = "MEASUREMENT_PERIOD_MS=20\r\n";

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        EventRecorder::Instance().Clear();
        ASSERT_TRUE(CopyLibrary(scratch_));
        Control("");
        uint32_t error = 0;
        ASSERT_EQ(LoadUpsLibrary(ups_, error), 1) << error;
    }

    void TearDown() override {
        if (LibraryLoaded()) ups_.FinishNervaUPSLib();
        UnloadUpsLibraryForTest();
        EXPECT_FALSE(LibraryLoaded());
    }

    // A fast UPS plus `lines`.
    void Control(const std::string& lines) { ups_test::WriteControl(scratch_, std::string(kFastUps) + lines); }

    // The same, taken in by the simulator before it returns: an entry point whose answer
    // depends on the file reads it at once (here one that fails on a handle never given).
    void Apply(const std::string& lines) {
        Control(lines);
        char* model = nullptr;
        ups_.GetModelName(0, &model);
    }

    int64_t ConnectUsb() {
        ups_.InitNervaUPSLib(&EventRecorder::Callback);
        int64_t* devices = nullptr;
        int32_t count = 0;
        EXPECT_EQ(ups_.GetUPSList(&devices, &count), 0);
        EXPECT_EQ(count, 1);
        if (count != 1 || devices == nullptr) return -1;
        int64_t handle = devices[0];
        std::free(devices);
        return handle;
    }

    size_t Count(int32_t code, int64_t device) { return EventRecorder::Instance().Count(code, device); }

    bool WaitForCount(int32_t code, int64_t device, size_t atLeast) {
        return WaitFor([&] { return Count(code, device) >= atLeast; });
    }

    // Waits for `records` more measurement records of `device` and returns the last.
    StatusRecord NextRecord(int64_t device, size_t records = 1) {
        size_t target = Count(kUpsEventMeasurement, device) + records;
        EXPECT_TRUE(WaitForCount(kUpsEventMeasurement, device, target));
        StatusRecord last = StatusRecord();
        for (const ReceivedEvent& event : EventRecorder::Instance().Events()) {
            if (event.Device == device && event.HasRecord) last = event.Record;
        }
        return last;
    }

    // True when nothing at all reaches the callback for `ms` milliseconds.
    bool QuietFor(int ms) {
        size_t before = EventRecorder::Instance().Size();
        Sleep(ms);
        return EventRecorder::Instance().Size() == before;
    }

    ScratchDirectory scratch_;
    UpsLibrary ups_;
};

// Every text field ends inside its width; returns the field's text.
std::string Field(const char* field, size_t width) {
    const void* end = std::memchr(field, '\0', width);
    EXPECT_NE(end, nullptr) << "field of width " << width << " is not terminated";
    return end ? std::string(field) : std::string();
}

TEST_F(SimulatorTest, SendsSignsOfLifeAndRecordsOnlyForHandedOutHandles) {
    ups_.InitNervaUPSLib(&EventRecorder::Callback);
    EXPECT_TRUE(QuietFor(300)) << "events before any handle was handed out";

    int64_t* devices = nullptr;
    int32_t count = 0;
    ASSERT_EQ(ups_.GetUPSList(&devices, &count), 0);
    ASSERT_EQ(count, 1);
    int64_t handle = devices[0];
    EXPECT_GE(_msize(devices), sizeof(int64_t));  // from the same CRT heap as this program's free
    std::free(devices);
    EXPECT_GT(handle, int64_t(1) << 32);  // the upper half matters

    ASSERT_TRUE(WaitForCount(kUpsEventMeasurement, handle, 3));
    EXPECT_GE(Count(kUpsEventAlive, handle), 2u);
    std::regex number(R"(\d{1,3}(\.\d)?)");
    for (const ReceivedEvent& event : EventRecorder::Instance().Events()) {
        EXPECT_EQ(event.Device, handle);
        EXPECT_TRUE(event.Code == kUpsEventAlive || event.Code == kUpsEventMeasurement) << event.Code;
        if (!event.HasRecord) continue;
        EXPECT_EQ(event.RecordBlockSize, sizeof(StatusRecord));
        const StatusRecord& r = event.Record;
        const struct {
            const char* field;
            size_t width;
        } fields[] = {{r.Field1, 6}, {r.Field2, 5}, {r.Field3, 6}, {r.Field4, 5},
                      {r.Field5, 5}, {r.Field6, 4}, {r.Field7, 5}};
        for (const auto& f : fields) {
            std::string text = Field(f.field, f.width);
            EXPECT_TRUE(std::regex_match(text, number)) << "'" << text << "'";
        }
        EXPECT_EQ(std::string(r.Field2), "60.0");
        EXPECT_EQ(std::string(r.Field4), "60.0");
        EXPECT_EQ(r.MainsFailed, 0);
    }

    int32_t level = -1;
    EXPECT_EQ(ups_.GetCurrentBatteryLevel(handle, &level), 0);
    EXPECT_EQ(level, 100);
    // The same device keeps its handle while it stays.
    int32_t again = 0;
    ASSERT_EQ(ups_.GetUPSList(&devices, &again), 0);
    ASSERT_EQ(again, 1);
    EXPECT_EQ(devices[0], handle);
    std::free(devices);
}

TEST_F(SimulatorTest, MainsFailureAndRecoverySendCodes3And4AndFlipTheIndicator) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);

    Apply("MAINS=OFF\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventMainsFailed, handle, 1));
    StatusRecord onBattery = NextRecord(handle);
    EXPECT_EQ(onBattery.MainsFailed, 1);
    EXPECT_EQ(std::string(onBattery.Field1), "0.0");
    EXPECT_EQ(std::string(onBattery.Field2), "--.-");
    EXPECT_EQ(std::string(onBattery.Field4), "");
    EXPECT_EQ(std::string(onBattery.Field3), "100.0");
    NextRecord(handle, 5);
    EXPECT_EQ(Count(kUpsEventMainsFailed, handle), 1u) << "code 3 only on the change";
    EXPECT_EQ(Count(kUpsEventMainsRestored, handle), 0u);

    // On battery the charge drains.
    EXPECT_TRUE(WaitFor([&] {
        int32_t level = 100;
        ups_.GetCurrentBatteryLevel(handle, &level);
        return level < 99;
    }));

    Apply("MAINS=ON\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventMainsRestored, handle, 1));
    EXPECT_EQ(NextRecord(handle).MainsFailed, 0);
    NextRecord(handle, 5);
    EXPECT_EQ(Count(kUpsEventMainsRestored, handle), 1u);
    EXPECT_EQ(Count(kUpsEventMainsFailed, handle), 1u);

    // Code 3 comes before the first record that shows the failure, code 4 likewise.
    bool failed = false;
    for (const ReceivedEvent& event : EventRecorder::Instance().Events()) {
        if (event.Code == kUpsEventMainsFailed) failed = true;
        if (event.Code == kUpsEventMainsRestored) failed = false;
        if (event.HasRecord) {
            EXPECT_EQ(event.Record.MainsFailed, failed ? 1 : 0);
        }
    }
}

TEST_F(SimulatorTest, BatteryLevelAndBatteryLowFollowTheControlFile) {
    Apply("BATTERY=37\r\n");
    int64_t handle = ConnectUsb();
    int32_t level = -1;
    EXPECT_EQ(ups_.GetCurrentBatteryLevel(handle, &level), 0);
    EXPECT_EQ(level, 37);
    EXPECT_EQ(std::string(NextRecord(handle).Field7), "12.5");

    Apply("BATTERY=37\r\nBATTERY_LOW=1\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventBatteryLow, handle, 1));
    NextRecord(handle, 5);
    EXPECT_EQ(Count(kUpsEventBatteryLow, handle), 1u) << "once per turn-on";

    Apply("BATTERY=37\r\nBATTERY_LOW=0\r\n");
    NextRecord(handle, 8);
    Apply("BATTERY=37\r\nBATTERY_LOW=1\r\n");
    EXPECT_TRUE(WaitForCount(kUpsEventBatteryLow, handle, 2));
}

TEST_F(SimulatorTest, OneShotEventIsSentOncePerSequenceNumber) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);
    const struct {
        const char* lines;
        int32_t code;
        size_t expected;
    } steps[] = {
        {"EVENT=7\r\nEVENT_SEQ=1\r\n", 7, 1},
        {"EVENT=7\r\nEVENT_SEQ=1\r\nBATTERY=90\r\n", 7, 1},  // other keys change: not again
        {"EVENT=7\r\nEVENT_SEQ=2\r\n", 7, 2},
        {"EVENT=61\r\nEVENT_SEQ=2\r\n", 61, 1},
        {"", 61, 1},
        {"EVENT=7\r\nEVENT_SEQ=2\r\n", 7, 3},  // after a gap, the same pair is new again
    };
    for (const auto& step : steps) {
        Apply(step.lines);
        if (Count(step.code, handle) < step.expected) {
            EXPECT_TRUE(WaitForCount(step.code, handle, step.expected)) << step.lines;
        }
        NextRecord(handle, 8);
        EXPECT_EQ(Count(step.code, handle), step.expected) << step.lines;
    }
    EXPECT_EQ(CallsOf(scratch_, "Event").size(), 4u);
}

TEST_F(SimulatorTest, OneShotWrittenBeforeTheConnectArrivesAfterIt) {
    Apply("EVENT=9\r\nEVENT_SEQ=1\r\n");
    ups_.InitNervaUPSLib(&EventRecorder::Callback);
    Sleep(300);
    int64_t handle = ConnectUsb();
    ASSERT_TRUE(WaitForCount(9, handle, 1));
    NextRecord(handle, 5);
    EXPECT_EQ(Count(9, handle), 1u);
}

TEST_F(SimulatorTest, LostUpsReportsCode2ThenVanishesAndComesBackWithANewHandle) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);

    Apply("LOST=1\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventDeviceLost, handle, 1));
    EXPECT_TRUE(QuietFor(300));
    EXPECT_EQ(Count(kUpsEventDeviceLost, handle), 1u);
    int64_t* devices = nullptr;
    int32_t count = 5;
    EXPECT_EQ(ups_.GetUPSList(&devices, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(devices, nullptr);
    int32_t level = 0;
    EXPECT_NE(ups_.GetCurrentBatteryLevel(handle, &level), 0);

    Apply("LOST=0\r\n");
    int64_t back = -1;
    ASSERT_TRUE(WaitFor([&] {
        int64_t* list = nullptr;
        int32_t n = 0;
        ups_.GetUPSList(&list, &n);
        if (n == 1) back = list[0];
        std::free(list);
        return n == 1;
    }));
    EXPECT_NE(back, handle);
    EXPECT_TRUE(WaitForCount(kUpsEventMeasurement, back, 2));
}

TEST_F(SimulatorTest, UnpluggedUpsIsReportedLost) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);
    Apply("PRESENT_ON=NONE\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventDeviceLost, handle, 1));
    EXPECT_TRUE(QuietFor(200));
}

TEST_F(SimulatorTest, SilentUpsSendsNothingAndCatchesUpOnMainsWhenItSpeaksAgain) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);

    Apply("SILENT=1\r\n");
    ASSERT_TRUE(WaitFor([&] { return QuietFor(200); }));
    Apply("SILENT=1\r\nMAINS=OFF\r\n");
    EXPECT_TRUE(QuietFor(400));
    EXPECT_EQ(Count(kUpsEventMainsFailed, handle), 0u);

    Apply("MAINS=OFF\r\n");
    EXPECT_TRUE(WaitForCount(kUpsEventMainsFailed, handle, 1));
    EXPECT_EQ(NextRecord(handle).MainsFailed, 1);
}

// Replaces the control file with one whose time stamp lies an hour back, so the simulator
// trusts the stamp at once instead of looking again while the file is new.
void WriteSettledControl(const ScratchDirectory& scratch, const std::string& text) {
    scratch.WriteFile("NervaUPSSim.ini.new", text);
    {
        ScopedFileHandle file(CreateFileA(scratch.File("NervaUPSSim.ini.new").c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.IsValid());
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER past;
        past.LowPart = now.dwLowDateTime;
        past.HighPart = now.dwHighDateTime;
        past.QuadPart -= 3600ull * 10000000ull;
        FILETIME then{past.LowPart, past.HighPart};
        ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &then));
    }
    ASSERT_TRUE(MoveFileExA(scratch.File("NervaUPSSim.ini.new").c_str(), scratch.File("NervaUPSSim.ini").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
}

TEST_F(SimulatorTest, AControlChangeReachesTheCallbackWithoutAnyCallBetweenRecords) {
    // One record a minute and a control file with an old stamp: only the watch on the
    // simulator's folder can make the changes arrive now.
    WriteSettledControl(scratch_, "MEASUREMENT_PERIOD_MS=60000\r\n");
    int64_t handle = ConnectUsb();
    Sleep(200);
    WriteSettledControl(scratch_, "MEASUREMENT_PERIOD_MS=60000\r\nMAINS=OFF\r\n");
    EXPECT_TRUE(WaitForCount(kUpsEventMainsFailed, handle, 1));
    WriteSettledControl(scratch_, "MEASUREMENT_PERIOD_MS=60000\r\nEVENT=7\r\nEVENT_SEQ=1\r\nMAINS=OFF\r\n");
    EXPECT_TRUE(WaitForCount(7, handle, 1));
    // At most the first record of the period, which may have caught the new handle.
    EXPECT_LE(Count(kUpsEventMeasurement, handle), 1u);
}

TEST_F(SimulatorTest, RewritesOfTheSameSizeInQuickSuccessionAreEachTaken) {
    // Same length, written a few milliseconds apart: the file's time stamp and size may
    // well not change, yet every content counts.
    int64_t handle = ConnectUsb();
    for (const char* model : {"AAAA", "BBBB", "CCCC", "AAAA", "DDDD"}) {
        Control(std::string("MODEL=") + model + "\r\n");
        char* name = nullptr;
        ASSERT_EQ(ups_.GetModelName(handle, &name), 0) << model;
        EXPECT_EQ(std::string(name), model);
        std::free(name);
    }
}

TEST_F(SimulatorTest, BatteryLevelQueriesAreLoggedWhenTheyTellSomethingNew) {
    int64_t handle = ConnectUsb();
    auto logged = [&] { return CallsOf(scratch_, "GetCurrentBatteryLevel"); };
    auto ask = [&](int times, int64_t device) {
        int32_t level = -1;
        for (int i = 0; i < times; ++i) ups_.GetCurrentBatteryLevel(device, &level);
        return level;
    };

    ask(5, handle);
    EXPECT_EQ(logged().size(), 1u) << "the first query only, not its repeats";

    char* model = nullptr;
    ups_.GetModelName(handle, &model);
    std::free(model);
    ask(3, handle);
    EXPECT_EQ(logged().size(), 2u) << "the first query after another call";

    // On battery the charge drains 1 % every 10 records: each new level is logged once,
    // with nothing else logged in between.
    Apply("MAINS=OFF\r\n");
    ASSERT_TRUE(WaitForCount(kUpsEventMainsFailed, handle, 1));
    int32_t start = ask(1, handle);
    size_t before = logged().size();
    ASSERT_TRUE(WaitFor([&] { return ask(1, handle) <= start - 2; }));
    auto lines = logged();
    ASSERT_EQ(lines.size(), before + 2);
    EXPECT_EQ(lines[before].Values.at("level"), std::to_string(start - 1));
    EXPECT_EQ(lines[before + 1].Values.at("level"), std::to_string(start - 2));

    ask(2, handle + 1);
    lines = logged();
    ASSERT_EQ(lines.size(), before + 3) << "a refused query is news";
    EXPECT_EQ(lines.back().Values.at("result"), "6");
}

TEST_F(SimulatorTest, OpenCOMSucceedsOnlyWhereTheUpsAnswers) {
    Apply("PRESENT_ON=COM3\r\nPORTS=COM1,COM3,COM4\r\nOPENCOM_FAIL=COM4\r\n");
    const struct {
        const char* port;
        int32_t result;
    } cases[] = {
        {"COM1", 1460},  // port there, no UPS answering
        {"COM9", 2},     // no such port
        {"COM4", 5},     // refused
        {"USB", 2},
        {"COM3", 0},
        {"com3", 5},  // already open
    };
    int64_t opened = 0;
    for (const auto& c : cases) {
        int64_t handle = -7;
        EXPECT_EQ(ups_.OpenCOM(c.port, &handle), c.result) << c.port;
        if (c.result == 0) {
            EXPECT_GT(handle, int64_t(1) << 32) << c.port;
            opened = handle;
        } else {
            EXPECT_EQ(handle, -7) << c.port;
        }
    }
    EXPECT_EQ(ups_.CloseCOM(opened), 0);
    EXPECT_NE(ups_.CloseCOM(opened), 0);
    int64_t reopened = 0;
    EXPECT_EQ(ups_.OpenCOM("COM3", &reopened), 0);
    EXPECT_NE(reopened, opened);

    auto calls = CallsOf(scratch_, "OpenCOM");
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[4].Values.at("port"), "COM3");
    EXPECT_EQ(calls[4].Values.at("device"), std::to_string(opened));
    EXPECT_EQ(calls[4].Values.at("result"), "0");
    EXPECT_EQ(calls[0].Values.at("result"), "1460");
}

TEST_F(SimulatorTest, SerialUpsSpeaksOnlyBetweenStartEventThreadAndCloseCOM) {
    Apply("PRESENT_ON=COM2\r\n");
    ups_.InitNervaUPSLib(&EventRecorder::Callback);
    int64_t handle = 0;
    ASSERT_EQ(ups_.OpenCOM("COM2", &handle), 0);
    EXPECT_TRUE(QuietFor(200));
    char* model = nullptr;
    ASSERT_EQ(ups_.GetModelName(handle, &model), 0);  // an open port answers calls already
    std::free(model);

    ASSERT_EQ(ups_.StartEventThreadForCOM(handle), 0);
    NextRecord(handle, 2);
    EXPECT_GE(Count(kUpsEventAlive, handle), 1u);

    ASSERT_EQ(ups_.CloseCOM(handle), 0);
    EXPECT_TRUE(WaitFor([&] { return QuietFor(150); }));
    EXPECT_NE(ups_.StartEventThreadForCOM(handle), 0);
}

TEST_F(SimulatorTest, StartEventThreadForCOMResultComesFromTheControlFile) {
    Apply("PRESENT_ON=COM2\r\nSTARTEVENTTHREAD_RESULT=31\r\n");
    ups_.InitNervaUPSLib(&EventRecorder::Callback);
    int64_t handle = 0;
    ASSERT_EQ(ups_.OpenCOM("COM2", &handle), 0);
    EXPECT_EQ(ups_.StartEventThreadForCOM(handle), 31);
    EXPECT_TRUE(QuietFor(200));
    EXPECT_NE(ups_.StartEventThreadForCOM(12345), 0) << "a handle never handed out";
}

TEST_F(SimulatorTest, GetModelNameFollowsTheControlFile) {
    const struct {
        const char* lines;
        int32_t result;
        const char* model;  // null: left as it was
    } cases[] = {
        {"", 0, "Nerva UPS Simulator"},
        {"MODEL=BX-1500 Pro\r\n", 0, "BX-1500 Pro"},
        {"MODEL=\r\n", 0, ""},
        {"GETMODELNAME_RESULT=5\r\n", 5, nullptr},
    };
    int64_t handle = ConnectUsb();
    for (const auto& c : cases) {
        Apply(c.lines);
        char* model = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(ups_.GetModelName(handle, &model), c.result) << c.lines;
        if (c.model) {
            ASSERT_NE(model, reinterpret_cast<char*>(0x1));
            EXPECT_EQ(std::string(model), c.model);
            EXPECT_GE(_msize(model), std::strlen(c.model) + 1);
            std::free(model);
        } else {
            EXPECT_EQ(model, reinterpret_cast<char*>(0x1));
        }
    }
    char* model = nullptr;
    EXPECT_EQ(ups_.GetModelName(handle + 1, &model), 6) << "a handle never handed out";
    EXPECT_EQ(model, nullptr);
}

TEST_F(SimulatorTest, ShutdownIsLoggedWithItsBackupTime) {
    const struct {
        const char* lines;
        int32_t backupTime;
        int32_t result;
    } cases[] = {
        {"", 3, 0},
        {"SHUTDOWN_RESULT=1234\r\n", 180, 1234},
        {"SHUTDOWN_RESULT=0\r\n", -1, 0},
    };
    int64_t handle = ConnectUsb();
    std::regex stamp(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3})");
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        Apply(cases[i].lines);
        EXPECT_EQ(ups_.Shutdown(handle, cases[i].backupTime), cases[i].result) << cases[i].lines;
        auto calls = CallsOf(scratch_, "Shutdown");
        ASSERT_EQ(calls.size(), i + 1);
        const CallLogLine& line = calls.back();
        EXPECT_TRUE(std::regex_match(line.Stamp, stamp)) << line.Stamp;
        EXPECT_EQ(line.Pid, std::to_string(GetCurrentProcessId()));
        EXPECT_EQ(line.Values.at("device"), std::to_string(handle));
        EXPECT_EQ(line.Values.at("backupTime"), std::to_string(cases[i].backupTime));
        EXPECT_EQ(line.Values.at("result"), std::to_string(cases[i].result));
    }
}

// BLOCK makes a named entry point hang until the key no longer names it; the others
// answer as usual meanwhile.
TEST_F(SimulatorTest, BlockedEntryPointsHangUntilReleased) {
    int64_t handle = ConnectUsb();
    Apply("BLOCK=Init,Shut\r\n");  // neither names an entry point whole
    EXPECT_EQ(ups_.Shutdown(handle, 3), 0);
    Apply("BLOCK=GetUPSList, SHUTDOWN\r\n");
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        ups_.Shutdown(handle, 3);
        returned = true;
    });
    EXPECT_TRUE(WaitFor([&] {
        const auto calls = CallsOf(scratch_, "Shutdown");
        return calls.size() == 2 && calls.back().Values.count("state") == 1;
    }));
    Sleep(300);
    EXPECT_FALSE(returned.load());
    int32_t level = 0;
    EXPECT_EQ(ups_.GetCurrentBatteryLevel(handle, &level), 0) << "an entry point not named answers";

    Apply("");
    caller.join();
    EXPECT_TRUE(returned.load());
    const auto calls = CallsOf(scratch_, "Shutdown");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].Values.at("state"), "blocked");
    EXPECT_EQ(calls[2].Values.at("result"), "0");
}

// HOLD_FIRST_RECORD_MS holds a new handle's first record back, while its signs of life
// go on; a low battery reaches it halfway through the hold, before any record.
TEST_F(SimulatorTest, ANewHandlesFirstRecordWaitsForItsHoldAndALowBatteryComesFirst) {
    const struct {
        const char* lines;
        ULONGLONG earliestRecordMs;  // after GetUPSList; generous for a loaded machine
        ULONGLONG latestRecordMs;
    } cases[] = {
        {"BATTERY_LOW=1\r\n", 0, 800},
        {"BATTERY_LOW=1\r\nHOLD_FIRST_RECORD_MS=1500\r\n", 1400, 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        EventRecorder::Instance().Clear();
        Apply(std::string("LOST=1\r\n") + c.lines);  // the next connection is a new handle
        Apply(c.lines);
        const ULONGLONG listedAt = GetTickCount64();
        const int64_t handle = ConnectUsb();
        ASSERT_NE(handle, -1);
        ASSERT_TRUE(WaitForCount(kUpsEventMeasurement, handle, 1));
        const ULONGLONG recordAfter = GetTickCount64() - listedAt;
        EXPECT_GE(recordAfter, c.earliestRecordMs);
        EXPECT_LE(recordAfter, c.latestRecordMs);
        size_t lowAt = SIZE_MAX;
        size_t recordAt = SIZE_MAX;
        const std::vector<ReceivedEvent> events = EventRecorder::Instance().Events();
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i].Device != handle) continue;
            if (events[i].Code == kUpsEventBatteryLow && lowAt == SIZE_MAX) lowAt = i;
            if (events[i].Code == kUpsEventMeasurement && recordAt == SIZE_MAX) recordAt = i;
        }
        ASSERT_NE(lowAt, SIZE_MAX) << "code 5 to the new handle";
        EXPECT_LT(lowAt, recordAt) << "before any record";
        EXPECT_EQ(Count(kUpsEventBatteryLow, handle), 1u) << "once";
        if (c.earliestRecordMs > 0) {
            EXPECT_GE(Count(kUpsEventAlive, handle), 2u) << "signs of life meanwhile";
        }
        ups_.FinishNervaUPSLib();
    }
}

TEST_F(SimulatorTest, TheOtherEntryPointsRefuseWithAnError) {
    const char* const called[] = {"InitNervaUPSLib", "FinishNervaUPSLib", "GetUPSList", "GetCOMList",
                                  "FreeCOMList", "OpenCOM", "StartEventThreadForCOM", "CloseCOM",
                                  "GetModelName", "GetCurrentBatteryLevel", "Shutdown"};
    const void* slots[kUpsEntryPointCount];
    std::memcpy(slots, &ups_, sizeof(ups_));
    size_t refused = 0;
    for (size_t i = 0; i < kUpsEntryPointCount; ++i) {
        bool isCalled = false;
        for (const char* c : called) isCalled = isCalled || std::strcmp(c, kUpsEntryPointNames[i]) == 0;
        if (isCalled) continue;
        auto entry = reinterpret_cast<int32_t (*)()>(slots[i]);
        ASSERT_NE(slots[i], nullptr) << kUpsEntryPointNames[i];
        EXPECT_NE(entry(), 0) << kUpsEntryPointNames[i];
        auto calls = CallsOf(scratch_, kUpsEntryPointNames[i]);
        ASSERT_EQ(calls.size(), 1u) << kUpsEntryPointNames[i];
        EXPECT_NE(calls[0].Values.at("result"), "0");
        ++refused;
    }
    EXPECT_EQ(refused, kUpsEntryPointCount - 11);
}

TEST_F(SimulatorTest, ControlFileGrammar) {
    const struct {
        const char* text;
        const char* model;
        std::vector<std::string> ports;
    } cases[] = {
        {"", "Nerva UPS Simulator", {"COM1"}},
        {"\xEF\xBB\xBFMODEL=Alpha\r\n", "Alpha", {"COM1"}},
        {"  model =  Beta 2  \nports= com2 , COM5,,COM6 \n", "Beta 2", {"com2", "COM5", "COM6"}},
        {"# MODEL=Hidden\n; PORTS=COM9\nMODEL=Shown", "Shown", {"COM1"}},
        {"MODEL=First\r\nMODEL=Second\r\n", "Second", {"COM1"}},
        {"garbage line\r\nMODEL=A=B\r\nUNKNOWN=1\r\n", "A=B", {"COM1"}},
        {"PORTS=\r\n", "Nerva UPS Simulator", {}},
    };
    int64_t handle = ConnectUsb();
    for (const auto& c : cases) {
        ups_test::WriteControl(scratch_, c.text);
        char* model = nullptr;
        ASSERT_EQ(ups_.GetModelName(handle, &model), 0) << c.text;
        EXPECT_EQ(std::string(model), c.model) << c.text;
        std::free(model);

        char** names = nullptr;
        int32_t count = -1;
        ASSERT_EQ(ups_.GetCOMList(&names, &count), 0) << c.text;
        std::vector<std::string> ports;
        for (int32_t i = 0; i < count; ++i) ports.emplace_back(names[i]);
        EXPECT_EQ(ports, c.ports) << c.text;
        if (count != 0) {
            EXPECT_EQ(ups_.FreeCOMList(names), 0);
        }
    }
    // A list the library never handed out is refused, not freed.
    char* fake[] = {nullptr};
    EXPECT_NE(ups_.FreeCOMList(fake), 0);
}

TEST_F(SimulatorTest, BadValuesKeepTheirDefaults) {
    const struct {
        const char* lines;
        int32_t level;
    } cases[] = {
        {"BATTERY=50\r\n", 50},
        {"BATTERY=150\r\n", 100},
        {"BATTERY=-1\r\n", 100},
        {"BATTERY=4x\r\n", 100},
        {"BATTERY=\r\n", 100},
        {"BATTERY=0\r\n", 0},
        {"BATTERY= 7 \r\n", 7},
    };
    int64_t handle = ConnectUsb();
    for (const auto& c : cases) {
        Apply("BATTERY=50\r\n");  // from a known level
        Apply(c.lines);
        int32_t level = -1;
        ASSERT_EQ(ups_.GetCurrentBatteryLevel(handle, &level), 0);
        EXPECT_EQ(level, c.level) << c.lines;
    }
}

TEST_F(SimulatorTest, FinishStopsTheEventsAndForgetsTheHandles) {
    int64_t handle = ConnectUsb();
    NextRecord(handle, 2);
    ups_.FinishNervaUPSLib();
    EXPECT_TRUE(QuietFor(200));
    int32_t level = 0;
    EXPECT_NE(ups_.GetCurrentBatteryLevel(handle, &level), 0);

    // The next connect attempt starts it all again.
    int64_t again = ConnectUsb();
    EXPECT_TRUE(WaitForCount(kUpsEventMeasurement, again, 2));
}

TEST_F(SimulatorTest, UnloadWithoutFinishKeepsTheCodeUntilTheThreadHasStopped) {
    int64_t handle = ConnectUsb();
    NextRecord(handle);
    UnloadUpsLibraryForTest();
    // The event thread holds the library: still mapped, still talking.
    EXPECT_TRUE(LibraryLoaded());
    NextRecord(handle, 2);

    // Whoever calls it again takes a reference of its own first.
    HMODULE again = LoadLibraryA(scratch_.File("NervaUPSLib.dll").c_str());
    ASSERT_NE(again, nullptr);
    auto finish = reinterpret_cast<FinishNervaUPSLibProc>(
        reinterpret_cast<void*>(GetProcAddress(again, "FinishNervaUPSLib")));
    ASSERT_NE(finish, nullptr);
    EXPECT_EQ(finish(), 0);
    EXPECT_TRUE(QuietFor(100));
    FreeLibrary(again);
    EXPECT_FALSE(LibraryLoaded());
}

}  // namespace
