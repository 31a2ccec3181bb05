// The network UPS through its table of entry points, against a scripted server on
// 127.0.0.1: the codes the poller reports for the status words, the login and its
// refusal, a lost or misbehaving server, and the stops that never report a loss.
#include "network_ups/network_ups_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "testing/fake_nut_server.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"
#include "ups/network_ups_events.h"

namespace {

// Every wait for the poller: long enough for a machine that stalls Wine for seconds.
constexpr int kEventWaitMs = 30000;
// How long a test watches for reports that must not come.
constexpr DWORD kQuietWatchMs = 2500;

struct Heard {
    int64_t device;
    int32_t code;
    std::shared_ptr<NetworkUpsReadings> readings;  // with kUpsEventNetworkReadings
};

std::mutex heardLock;
std::condition_variable heardChanged;
std::vector<Heard> heard;

void RecordEvent(int64_t device, int32_t code, void* data) {
    Heard h{device, code, nullptr};
    if (code == kUpsEventNetworkReadings) h.readings.reset(static_cast<NetworkUpsReadings*>(data));
    std::lock_guard<std::mutex> guard(heardLock);
    heard.push_back(h);
    heardChanged.notify_all();
}

void ForgetHeard() {
    std::lock_guard<std::mutex> guard(heardLock);
    heard.clear();
}

std::vector<Heard> HeardSoFar() {
    std::lock_guard<std::mutex> guard(heardLock);
    return heard;
}

// Waits until an event with `code` has come after the first `from` events; its index, or -1.
int WaitForCode(int32_t code, size_t from = 0) {
    std::unique_lock<std::mutex> guard(heardLock);
    int found = -1;
    heardChanged.wait_for(guard, std::chrono::milliseconds(kEventWaitMs), [&] {
        for (size_t i = from; i < heard.size(); ++i) {
            if (heard[i].code == code) {
                found = static_cast<int>(i);
                return true;
            }
        }
        return false;
    });
    return found;
}

int CountOf(const std::vector<Heard>& events, int32_t code) {
    int count = 0;
    for (const Heard& h : events) count += h.code == code ? 1 : 0;
    return count;
}

std::vector<uint32_t> reportedEvents;
void RecordWindowsEvent(uint16_t, uint32_t identifier, const std::string&) { reportedEvents.push_back(identifier); }

class NetworkUpsLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartEventLogEmpty(scratch);
        ResetNetworkUpsLibraryForTest();
        SetWindowsEventSinkForTest(&RecordWindowsEvent);
        reportedEvents.clear();
        ForgetHeard();
        uint32_t error = 0;
        ASSERT_EQ(LoadNetworkUpsLibrary(table, error), 1);
        table.InitNervaUPSLib(&RecordEvent);
        ups.Set("ups.status", "OL");
        ups.Set("ups.model", "Smart 1500");
        ups.Set("battery.charge", "100");
        ups.Set("input.voltage", "230.5");
    }
    void TearDown() override {
        table.FinishNervaUPSLib();
        SetNetworkUpsCredentials("", "");
        SetNetworkUpsLimitsForTest(NetworkUpsLimits());
        SetWindowsEventSinkForTest(nullptr);
        CloseEventLogFileForTest();
    }
    std::string Device(const FakeNutServer& server) const { return "ups@127.0.0.1:" + std::to_string(server.Port()); }
    // Opens the UPS and starts its poller; the handle.
    int64_t OpenAndStart(const FakeNutServer& server) {
        int64_t handle = -1;
        EXPECT_EQ(table.OpenCOM(Device(server).c_str(), &handle), 0);
        EXPECT_NE(handle, -1);
        EXPECT_EQ(table.StartEventThreadForCOM(handle), 0);
        return handle;
    }
    std::string Model(int64_t handle) {
        char* model = nullptr;
        if (table.GetModelName(handle, &model) != 0 || model == nullptr) return "<none>";
        std::string text = model;
        std::free(model);
        return text;
    }

    ScratchDirectory scratch;
    UpsLibrary table;
    FakeUps ups;
};

TEST_F(NetworkUpsLibraryTest, TheTableHoldsTheCalledEntryPointsAndNoOthers) {
    EXPECT_NE(table.InitNervaUPSLib, nullptr);
    EXPECT_NE(table.FinishNervaUPSLib, nullptr);
    EXPECT_NE(table.OpenCOM, nullptr);
    EXPECT_NE(table.StartEventThreadForCOM, nullptr);
    EXPECT_NE(table.CloseCOM, nullptr);
    EXPECT_NE(table.GetModelName, nullptr);
    EXPECT_NE(table.GetCurrentBatteryLevel, nullptr);
    EXPECT_NE(table.Shutdown, nullptr);
    EXPECT_EQ(table.GetSerialNumber, nullptr);
    EXPECT_EQ(table.SendCommand, nullptr);

    int64_t* devices = reinterpret_cast<int64_t*>(1);
    int32_t count = 5;
    EXPECT_EQ(table.GetUPSList(&devices, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(devices, nullptr);
    char** names = reinterpret_cast<char**>(1);
    count = 5;
    EXPECT_EQ(table.GetCOMList(&names, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(table.FreeCOMList(nullptr), 0);
}

TEST_F(NetworkUpsLibraryTest, UnknownHandlesAreRefused) {
    FakeNutServer server(ups.Script());
    const int64_t handle = OpenAndStart(server);
    const int64_t unknown = handle + 1;
    char* model = nullptr;
    int32_t level = -7;
    EXPECT_NE(table.StartEventThreadForCOM(unknown), 0);
    EXPECT_NE(table.GetModelName(unknown, &model), 0);
    EXPECT_EQ(model, nullptr);
    EXPECT_NE(table.GetCurrentBatteryLevel(unknown, &level), 0);
    EXPECT_EQ(level, -7);
    EXPECT_NE(table.Shutdown(unknown, 3), 0);
    EXPECT_NE(table.CloseCOM(unknown), 0);
    EXPECT_EQ(Model(handle), "Smart 1500") << "the open connection is left alone";
}

// The first record whose measurements have been read, from the `from`th event on; its index, or -1.
// A GET VAR of one measurement: neither the status nor the model.
bool IsMeasurementRequest(const std::string& line) {
    return line.rfind("GET VAR ups ", 0) == 0 && line != "GET VAR ups ups.status" && line != "GET VAR ups ups.model";
}

int WaitForMeasuredRecord(size_t from = 0) {
    for (;;) {
        const int at = WaitForCode(kUpsEventNetworkReadings, from);
        if (at < 0) return -1;
        if (HeardSoFar()[static_cast<size_t>(at)].readings->MeasurementsRead) return at;
        from = static_cast<size_t>(at) + 1;
    }
}

TEST_F(NetworkUpsLibraryTest, ThePollerReportsEachStatusChangeOnce) {
    FakeNutServer server(ups.Script());
    const int64_t handle = OpenAndStart(server);
    EXPECT_EQ(Model(handle), "Smart 1500");

    // The first poll says what holds now, at once; the measurements follow in a record of
    // their own, and every poll after it sends a record again, with the measurements last read.
    ASSERT_EQ(WaitForCode(kUpsEventNetworkReadings), 0);
    EXPECT_FALSE(HeardSoFar()[0].readings->MainsFailed);
    EXPECT_FALSE(HeardSoFar()[0].readings->MeasurementsRead) << "the status before the measurements";
    EXPECT_FALSE(HeardSoFar()[0].readings->ChargeKnown);
    const int measured = WaitForMeasuredRecord();
    ASSERT_EQ(measured, 1);
    std::vector<Heard> events = HeardSoFar();
    EXPECT_FALSE(events[1].readings->MainsFailed);
    EXPECT_EQ(events[1].readings->Measurements[kInputVoltage], "230.5");
    EXPECT_EQ(events[1].readings->Measurements[kOutputVoltage], "") << "a variable the UPS lacks";
    EXPECT_TRUE(events[1].readings->ChargeKnown);
    EXPECT_EQ(events[1].readings->Charge, 100);
    const int next = WaitForCode(kUpsEventNetworkReadings, 2);
    ASSERT_GT(next, 0);
    EXPECT_EQ(HeardSoFar()[static_cast<size_t>(next)].readings->Measurements[kInputVoltage], "230.5");
    EXPECT_TRUE(HeardSoFar()[static_cast<size_t>(next)].readings->MeasurementsRead);
    EXPECT_EQ(CountOf(HeardSoFar(), kUpsEventAlive), 0) << "a record says it is alive";
    int32_t level = -1;
    EXPECT_EQ(table.GetCurrentBatteryLevel(handle, &level), 0);
    EXPECT_EQ(level, 100);
    const std::vector<std::string> requests = server.Requests();
    EXPECT_NE(std::find(requests.begin(), requests.end(), "LIST VAR ups"), requests.end())
        << "the measurements in one round trip";
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(), IsMeasurementRequest), 0);

    // Each step: the status set, the code it must bring, whether the mains state changes
    // (a record follows the code at once, and the measurements are read anew after it).
    const struct {
        const char* status;
        const char* charge;
        int32_t code;
        bool mainsChange;
        bool mainsFailed;
    } steps[] = {
        {"OB DISCHRG", "80", kUpsEventMainsFailed, true, true},
        {"OB LB", "15", kUpsEventBatteryLow, false, true},
        {"FSD OB LB", "14", kUpsEventForcedShutdown, false, true},
        {"OL CHRG", "16", kUpsEventMainsRestored, true, false},
    };
    for (const auto& step : steps) {
        const size_t before = HeardSoFar().size();
        ups.Set("battery.charge", step.charge);
        ups.Set("ups.status", step.status);
        const int at = WaitForCode(step.code, before);
        ASSERT_GE(at, 0) << step.status;
        if (step.mainsChange) {
            const int record = WaitForCode(kUpsEventNetworkReadings, static_cast<size_t>(at));
            ASSERT_EQ(record, at + 1) << step.status << ": the record comes right after the code";
            EXPECT_EQ(HeardSoFar()[static_cast<size_t>(record)].readings->MainsFailed, step.mainsFailed);
            const int fresh = WaitForCode(kUpsEventNetworkReadings, static_cast<size_t>(record) + 1);
            ASSERT_EQ(fresh, record + 1) << step.status << ": then the measurements, read at once";
            EXPECT_EQ(HeardSoFar()[static_cast<size_t>(fresh)].readings->Charge, std::atoi(step.charge));
            EXPECT_EQ(table.GetCurrentBatteryLevel(handle, &level), 0);
            EXPECT_EQ(level, std::atoi(step.charge)) << step.status;
        }
    }
    ASSERT_GT(WaitForCode(kUpsEventNetworkReadings, HeardSoFar().size()), 0);
    events = HeardSoFar();
    EXPECT_EQ(CountOf(events, kUpsEventMainsFailed), 1);
    EXPECT_EQ(CountOf(events, kUpsEventBatteryLow), 1);
    EXPECT_EQ(CountOf(events, kUpsEventForcedShutdown), 1);
    EXPECT_EQ(CountOf(events, kUpsEventMainsRestored), 1);
    EXPECT_EQ(CountOf(events, kUpsEventDeviceLost), 0);
    for (const Heard& h : events) EXPECT_EQ(h.device, handle);
}

TEST_F(NetworkUpsLibraryTest, TheFirstPollReportsALowBatteryAndAForcedShutdownAlreadyThere) {
    ups.Set("ups.status", "FSD OB LB");
    FakeNutServer server(ups.Script());
    OpenAndStart(server);
    const int forced = WaitForCode(kUpsEventForcedShutdown);
    ASSERT_GE(forced, 0);
    const std::vector<Heard> events = HeardSoFar();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].code, kUpsEventNetworkReadings) << "what holds now comes first";
    EXPECT_TRUE(events[0].readings->MainsFailed);
    EXPECT_EQ(events[1].code, kUpsEventBatteryLow);
    EXPECT_EQ(forced, 2);
    EXPECT_EQ(CountOf(events, kUpsEventMainsFailed), 0) << "the record says it";
}

// Marks the moment the server was asked for the measurements among the events heard.
constexpr int32_t kMeasurementsAsked = -1;
void NoteMeasurementsAsked() { RecordEvent(0, kMeasurementsAsked, nullptr); }

// A server that takes its time over the measurements, within the answer limit: the status,
// a low battery and a forced shutdown are reported before the first measurement is asked,
// and the UPS is heard all along.
TEST_F(NetworkUpsLibraryTest, TheStatusIsReportedBeforeAnyMeasurementIsAsked) {
    ScopedKernelHandle released(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ups.Set("ups.status", "FSD OB LB");
    ups.Override([&released](const std::string& line, FakeNutReply&) {
        if (line == "LIST VAR ups") {
            NoteMeasurementsAsked();
            WaitForSingleObject(released.Get(), 9000);  // then answered as usual
        }
        return false;
    });
    FakeNutServer server(ups.Script());
    OpenAndStart(server);
    const int asked = WaitForCode(kMeasurementsAsked);
    ASSERT_GE(asked, 0);
    const std::vector<Heard> events = HeardSoFar();
    ASSERT_EQ(asked, 3);
    EXPECT_EQ(events[0].code, kUpsEventNetworkReadings);
    EXPECT_TRUE(events[0].readings->MainsFailed);
    EXPECT_EQ(events[1].code, kUpsEventBatteryLow);
    EXPECT_EQ(events[2].code, kUpsEventForcedShutdown);
    SetEvent(released.Get());
    EXPECT_GE(WaitForMeasuredRecord(), 4) << "the measurements once answered";
    ups.Override(nullptr);
}

// A server that refuses LIST VAR: one variable at a time, the charge first, each answer
// heard, and the status asked again between two slow answers.
TEST_F(NetworkUpsLibraryTest, WithoutAListTheVariablesAreReadOneAtATimeBetweenTheStatuses) {
    std::atomic<int> slowAnswers{3};
    ups.Set("ups.load", "12");
    ups.Override([&slowAnswers](const std::string& line, FakeNutReply& reply) {
        if (line == "LIST VAR ups") {
            reply = FakeNutReply{"ERR UNKNOWN-COMMAND\n"};
            return true;
        }
        // Each of the first three measurements takes longer than a poll allows for them.
        if (IsMeasurementRequest(line) && slowAnswers.fetch_sub(1) > 0) {
            Sleep(600);
        }
        return false;
    });
    FakeNutServer server(ups.Script());
    const int64_t handle = OpenAndStart(server);
    const int measured = WaitForMeasuredRecord();
    ASSERT_GE(measured, 0);
    const Heard record = HeardSoFar()[static_cast<size_t>(measured)];
    EXPECT_EQ(record.readings->Measurements[kInputVoltage], "230.5");
    EXPECT_EQ(record.readings->Measurements[kLoadPercent], "12");
    EXPECT_EQ(record.readings->Charge, 100);
    EXPECT_GE(CountOf(HeardSoFar(), kUpsEventAlive), 8) << "every answer is heard";

    std::vector<std::string> polled = server.Requests();
    polled.erase(polled.begin(), std::find(polled.begin(), polled.end(), "LIST VAR ups") - 1);
    ASSERT_GE(polled.size(), 8u);
    const std::vector<std::string> first = {"GET VAR ups ups.status", "LIST VAR ups", "GET VAR ups battery.charge",
                                            "GET VAR ups ups.status"};
    EXPECT_EQ(std::vector<std::string>(polled.begin(), polled.begin() + 4), first) << "the charge first";
    EXPECT_EQ(polled[5], "GET VAR ups ups.status") << "one slow answer a poll";
    EXPECT_EQ(polled[7], "GET VAR ups ups.status") << "one slow answer a poll";
    EXPECT_EQ(std::count(polled.begin(), polled.end(), "LIST VAR ups"), 1) << "a refused list is not asked again";
    EXPECT_EQ(table.CloseCOM(handle), 0);
    ups.Override(nullptr);
}

TEST_F(NetworkUpsLibraryTest, TheModelIsTheUpsModelElseTheDeviceModelElseTheName) {
    const struct {
        const char* upsModel;    // nullptr: the UPS lacks the variable
        const char* deviceModel;
        const char* model;
    } cases[] = {
        {"Smart 1500", "Other", "Smart 1500"},
        {nullptr, "NAS UPS 2", "NAS UPS 2"},
        {"", "NAS UPS 2", "NAS UPS 2"},
        {nullptr, nullptr, "ups"},
        // The server's words are data: cut to the safe set, and a model with nothing left is none.
        {"x\" & echo PWNED>C:\\pwned.txt & rem \"", "Other", "x  echo PWNEDCpwned.txt  rem"},
        {"\"%PATH%\"", "Other", "PATH"},
        {"\"&|<>\"", "NAS UPS 2, rack", "NAS UPS 2 rack"},
        {"!&!", "%%", "ups"},
    };
    for (const auto& c : cases) {
        FakeUps named;
        named.Set("ups.status", "OL");
        if (c.upsModel != nullptr) named.Set("ups.model", c.upsModel);
        if (c.deviceModel != nullptr) named.Set("device.model", c.deviceModel);
        FakeNutServer server(named.Script());
        int64_t handle = -1;
        ASSERT_EQ(table.OpenCOM(Device(server).c_str(), &handle), 0);
        EXPECT_EQ(Model(handle), c.model);
        EXPECT_EQ(table.CloseCOM(handle), 0);
    }
}

TEST_F(NetworkUpsLibraryTest, EachConnectionHasAHandleOfItsOwn) {
    FakeNutServer server(ups.Script());
    int64_t first = -1;
    int64_t second = -1;
    ASSERT_EQ(table.OpenCOM(Device(server).c_str(), &first), 0);
    ASSERT_EQ(table.CloseCOM(first), 0);
    ASSERT_EQ(table.OpenCOM(Device(server).c_str(), &second), 0);
    EXPECT_NE(first, second);
    EXPECT_NE(second, -1);
    EXPECT_NE(table.GetModelName(first, nullptr), 0) << "the closed handle is gone";
}

TEST_F(NetworkUpsLibraryTest, TheLoginIsMadeRefusedOrNotOfferedAndTheUpsIsWatchedEitherWay) {
    const struct {
        const char* name;
        const char* user;
        const char* refusingCommand;  // answers "refusal" to the request starting with it
        const char* refusal;
        bool writtenAndReported;
        std::vector<std::string> loginRequests;
    } cases[] = {
        {"accepted", "mon", nullptr, nullptr, false, {"USERNAME mon", "PASSWORD pw", "LOGIN ups"}},
        {"wrong password", "mon", "PASSWORD", "ERR ACCESS-DENIED\n", true, {"USERNAME mon", "PASSWORD pw"}},
        {"login refused", "mon", "LOGIN", "ERR ACCESS-DENIED\n", true, {"USERNAME mon", "PASSWORD pw", "LOGIN ups"}},
        {"no login on the server", "mon", "USERNAME", "ERR UNKNOWN-COMMAND\n", false, {"USERNAME mon"}},
        {"no user set", "", nullptr, nullptr, false, {}},
    };
    for (const auto& c : cases) {
        RestartEventLogEmpty(scratch);
        ResetNetworkUpsLibraryForTest();
        reportedEvents.clear();
        FakeUps served;
        served.Set("ups.status", "OL");
        served.Override([&c](const std::string& line, FakeNutReply& reply) {
            if (c.refusingCommand == nullptr || line.rfind(std::string(c.refusingCommand) + " ", 0) != 0) return false;
            reply.Bytes = c.refusal;
            return true;
        });
        FakeNutServer server(served.Script());
        SetNetworkUpsCredentials(c.user, "pw");
        ForgetHeard();
        const int64_t handle = OpenAndStart(server);
        ASSERT_GE(WaitForCode(kUpsEventNetworkReadings), 0) << c.name << ": watched all the same";

        std::vector<std::string> logins;
        for (const std::string& request : server.Requests()) {
            if (request.rfind("GET ", 0) != 0 && request.rfind("LIST ", 0) != 0) logins.push_back(request);
        }
        EXPECT_EQ(logins, c.loginRequests) << c.name;
        const std::vector<std::string> lines = EventLogTexts(scratch);
        if (c.writtenAndReported) {
            EXPECT_EQ(lines, std::vector<std::string>{"Remote_login_refused:mon"}) << c.name;
            EXPECT_EQ(reportedEvents, std::vector<uint32_t>{kEventRemoteLoginRefused}) << c.name;
        } else {
            EXPECT_TRUE(lines.empty()) << c.name << ": " << lines.size() << " lines";
            EXPECT_TRUE(reportedEvents.empty()) << c.name;
        }
        EXPECT_EQ(table.CloseCOM(handle), 0);
    }
}

TEST_F(NetworkUpsLibraryTest, ARefusalThatRepeatsIsWrittenAndReportedOnce) {
    ups.Override([](const std::string& line, FakeNutReply& reply) {
        if (line.rfind("PASSWORD ", 0) != 0) return false;
        reply.Bytes = "ERR ACCESS-DENIED\n";
        return true;
    });
    FakeNutServer server(ups.Script());
    SetNetworkUpsCredentials("mon", "wrong");
    for (int attempt = 0; attempt < 3; ++attempt) {
        int64_t handle = -1;
        ASSERT_EQ(table.OpenCOM(Device(server).c_str(), &handle), 0);
        EXPECT_EQ(table.CloseCOM(handle), 0);
    }
    EXPECT_EQ(EventLogTexts(scratch), std::vector<std::string>{"Remote_login_refused:mon"});
    EXPECT_EQ(reportedEvents, std::vector<uint32_t>{kEventRemoteLoginRefused});
}

TEST_F(NetworkUpsLibraryTest, AConnectionThatFailsIsWrittenOnceWithItsError) {
    uint16_t closedPort = 0;
    {
        FakeNutServer gone(ups.Script());
        closedPort = gone.Port();
    }
    FakeUps stale;
    stale.Override([](const std::string&, FakeNutReply& reply) {
        reply.Bytes = "ERR DATA-STALE\n";
        return true;
    });
    FakeNutServer staleServer(stale.Script());
    FakeUps nameless;  // serves "ups"; asked for another name
    nameless.Set("ups.status", "OL");
    FakeNutServer namelessServer(nameless.Script());
    const struct {
        const char* name;
        std::string device;
        std::string line;  // the start of the one line written
    } cases[] = {
        {"a malformed device", "ups@", "NetworkUps:ER=87"},
        {"nobody listening", "ups@127.0.0.1:" + std::to_string(closedPort), "NetworkUps:ER="},
        {"stale data", "ups@127.0.0.1:" + std::to_string(staleServer.Port()), "NetworkUps:ER="},
        {"no such UPS", "other@127.0.0.1:" + std::to_string(namelessServer.Port()), "NetworkUps:ER="},
    };
    for (const auto& c : cases) {
        RestartEventLogEmpty(scratch);
        ResetNetworkUpsLibraryForTest();
        for (int attempt = 0; attempt < 3; ++attempt) {
            int64_t handle = -1;
            EXPECT_NE(table.OpenCOM(c.device.c_str(), &handle), 0) << c.name;
            EXPECT_EQ(handle, -1) << c.name;
        }
        const std::vector<std::string> lines = EventLogTexts(scratch);
        ASSERT_EQ(lines.size(), 1u) << c.name << ": the same failure is written once an hour";
        EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << c.name << ": " << lines[0];
        EXPECT_NE(lines[0], "NetworkUps:ER=0") << c.name;
    }
}

// The answer a misbehaving server gives to the status request once the UPS is followed.
struct HostileCase {
    const char* name;
    FakeNutReply reply;
};

TEST_F(NetworkUpsLibraryTest, AMisbehavingServerIsALostUpsReportedOnce) {
    const HostileCase cases[] = {
        {"silence", {""}},
        {"half a line", {"VAR ups ups.status \"O"}},
        {"1 MB without a line break", {std::string(1 << 20, 'x')}},
        {"binary", {std::string("\x00\x01\xfe\xff\n", 5)}},
        {"closed after OK", {"OK\n", true}},
        {"closed without a word", {"", true}},
        {"stale data", {"ERR DATA-STALE\n"}},
        {"no driver", {"ERR DRIVER-NOT-CONNECTED\n"}},
        {"no such UPS", {"ERR UNKNOWN-UPS\n"}},
    };
    NetworkUpsLimits limits;
    limits.AnswerMs = 1000;
    SetNetworkUpsLimitsForTest(limits);
    for (const HostileCase& c : cases) {
        ForgetHeard();
        FakeUps served;
        served.Set("ups.status", "OB");
        std::atomic<bool> hostile{false};
        served.Override([&c, &hostile](const std::string& line, FakeNutReply& reply) {
            if (!hostile.load() || line != "GET VAR ups ups.status") return false;
            reply = c.reply;
            return true;
        });
        FakeNutServer server(served.Script());
        const int64_t handle = OpenAndStart(server);
        ASSERT_GE(WaitForCode(kUpsEventNetworkReadings), 0) << c.name;
        hostile = true;
        ASSERT_GE(WaitForCode(kUpsEventDeviceLost), 0) << c.name;
        Sleep(kQuietWatchMs);
        const std::vector<Heard> events = HeardSoFar();
        EXPECT_EQ(CountOf(events, kUpsEventDeviceLost), 1) << c.name;
        EXPECT_EQ(events.back().code, kUpsEventDeviceLost) << c.name << ": nothing after the loss";
        EXPECT_EQ(CountOf(events, kUpsEventMainsRestored), 0) << c.name << ": a loss is no change of mains";
        const int64_t start = MonotonicNow();
        EXPECT_EQ(table.CloseCOM(handle), 0) << c.name;
        EXPECT_LT(MonotonicNow() - start, 10 * kTicksPerSecond) << c.name;
    }
}

// A stop while the server holds the poller in an exchange: the call ends long before
// the answer limit and no loss is reported.
TEST_F(NetworkUpsLibraryTest, CloseAndFinishEndAStalledExchangeWithoutReportingALoss) {
    const std::function<void(UpsLibrary&, int64_t)> stops[] = {
        [](UpsLibrary& t, int64_t handle) { EXPECT_EQ(t.CloseCOM(handle), 0); },
        [](UpsLibrary& t, int64_t) { t.FinishNervaUPSLib(); },
    };
    NetworkUpsLimits limits;
    limits.AnswerMs = 120000;
    SetNetworkUpsLimitsForTest(limits);
    for (size_t i = 0; i < std::size(stops); ++i) {
        table.InitNervaUPSLib(&RecordEvent);
        ForgetHeard();
        FakeUps served;
        served.Set("ups.status", "OL");
        std::atomic<bool> stall{false};
        std::atomic<int> stalled{0};
        served.Override([&stall, &stalled](const std::string& line, FakeNutReply&) {
            if (!stall.load() || line != "GET VAR ups ups.status") return false;
            ++stalled;
            return true;  // no bytes at all
        });
        FakeNutServer server(served.Script());
        const int64_t handle = OpenAndStart(server);
        ASSERT_GE(WaitForCode(kUpsEventNetworkReadings), 0);
        stall = true;
        for (int wait = 0; wait < 600 && stalled.load() == 0; ++wait) Sleep(50);
        ASSERT_EQ(stalled.load(), 1) << "stop " << i;
        const int64_t start = MonotonicNow();
        stops[i](table, handle);
        EXPECT_LT(MonotonicNow() - start, 30 * kTicksPerSecond) << "stop " << i << ": the stop, not the limit";
        Sleep(kQuietWatchMs);
        EXPECT_EQ(CountOf(HeardSoFar(), kUpsEventDeviceLost), 0) << "stop " << i;
    }
}

TEST_F(NetworkUpsLibraryTest, ShutdownEndsTheLoginAndNeverReportsALoss) {
    const struct {
        const char* name;
        FakeNutReply logoutReply;
        bool answered;
    } cases[] = {
        {"goodbye", {"OK Goodbye\n", true}, true},
        {"closed without a word", {"", true}, false},
        {"silence", {""}, false},
    };
    NetworkUpsLimits limits;
    limits.AnswerMs = 1000;
    SetNetworkUpsLimitsForTest(limits);
    SetNetworkUpsCredentials("mon", "pw");
    for (const auto& c : cases) {
        ForgetHeard();
        FakeUps served;
        served.Set("ups.status", "OB");
        served.Override([&c](const std::string& line, FakeNutReply& reply) {
            if (line != "LOGOUT") return false;
            reply = c.logoutReply;
            return true;
        });
        FakeNutServer server(served.Script());
        const int64_t handle = OpenAndStart(server);
        ASSERT_GE(WaitForCode(kUpsEventNetworkReadings), 0) << c.name;
        const int32_t result = table.Shutdown(handle, 3);
        EXPECT_EQ(result == 0, c.answered) << c.name << ": " << result;
        const std::vector<std::string> requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back(), "LOGOUT") << c.name;
        EXPECT_EQ(requests[2], "LOGIN ups") << c.name;
        Sleep(kQuietWatchMs);
        EXPECT_EQ(CountOf(HeardSoFar(), kUpsEventDeviceLost), 0) << c.name;
        EXPECT_NE(table.CloseCOM(handle), 0) << c.name << ": the connection is closed";
    }
}

// Shutdown while the poller waits for a slow answer: the exchange is let finish and the
// LOGOUT follows; only a server that answers nothing at all makes it fail, in its time.
TEST_F(NetworkUpsLibraryTest, ShutdownLetsAnExchangeInFlightFinishThenLogsOut) {
    const struct {
        const char* name;
        DWORD answerMs;  // INFINITE: the exchange in flight is never answered
        bool answered;
    } cases[] = {
        {"answers of 1.2 s", 1200, true},
        {"no answer", INFINITE, false},
    };
    SetNetworkUpsCredentials("mon", "pw");
    for (const auto& c : cases) {
        ForgetHeard();
        FakeUps served;
        served.Set("ups.status", "FSD OB");
        ScopedKernelHandle finished(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::atomic<bool> slow{false};
        std::atomic<int> inFlight{0};
        served.Override([&](const std::string& line, FakeNutReply&) {
            if (!slow.load() || line != "GET VAR ups ups.status") return false;
            ++inFlight;
            WaitForSingleObject(finished.Get(), c.answerMs);
            return false;
        });
        FakeNutServer server(served.Script());
        const int64_t handle = OpenAndStart(server);
        ASSERT_GE(WaitForCode(kUpsEventForcedShutdown), 0) << c.name;
        slow = true;
        for (int wait = 0; wait < 600 && inFlight.load() == 0; ++wait) Sleep(10);
        ASSERT_GE(inFlight.load(), 1) << c.name;
        const int64_t start = MonotonicNow();
        const int32_t result = table.Shutdown(handle, 3);
        const int64_t took = MonotonicNow() - start;
        SetEvent(finished.Get());
        const std::vector<std::string> requests = server.Requests();
        if (c.answered) {
            EXPECT_EQ(result, 0) << c.name;
            ASSERT_FALSE(requests.empty());
            EXPECT_EQ(requests.back(), "LOGOUT") << c.name;
        } else {
            EXPECT_EQ(result, static_cast<int32_t>(10060)) << c.name;
            EXPECT_EQ(std::count(requests.begin(), requests.end(), "LOGOUT"), 0) << c.name;
        }
        EXPECT_LT(took, static_cast<int64_t>(kNetworkUpsLogoutLimitMs + kNetworkUpsStopWaitMs) * (kTicksPerSecond / 1000) +
                            5 * kTicksPerSecond)
            << c.name << ": within the monitor's bound for the call, with room for a loaded machine";
        EXPECT_EQ(CountOf(HeardSoFar(), kUpsEventDeviceLost), 0) << c.name;
    }
}

TEST_F(NetworkUpsLibraryTest, NoChargeReadMeansNoBatteryLevel) {
    ups.Unset("battery.charge");
    FakeNutServer server(ups.Script());
    const int64_t handle = OpenAndStart(server);
    const int at = WaitForCode(kUpsEventNetworkReadings);
    ASSERT_GE(at, 0);
    EXPECT_FALSE(HeardSoFar()[static_cast<size_t>(at)].readings->ChargeKnown);
    int32_t level = -7;
    EXPECT_NE(table.GetCurrentBatteryLevel(handle, &level), 0);
    EXPECT_EQ(level, -7);
}

}  // namespace
