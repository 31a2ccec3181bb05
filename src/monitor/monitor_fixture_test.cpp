// The fake UPS world behind the monitor tests.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>

#include "config/settings.h"
#include "config/status_file.h"
#include "log/data_log.h"
#include "log/event_list.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_test_fixture.h"
#include "notify/notifier.h"
#include "monitor/ups_link.h"
#include "monitor/monitor_signals.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "testing/log_lines.h"

namespace monitor_test {

FakeWorld* world = nullptr;
std::atomic<int64_t> fakeNow{kStartTicks};
std::atomic<int64_t> wallClockStep{0};
std::atomic<int64_t> unbiasedStep{0};

namespace {

std::mutex eventsLock;
std::vector<WindowsEvent> reportedEvents;

void RecordEvent(uint16_t type, uint32_t identifier, const std::string&) {
    std::lock_guard<std::mutex> hold(eventsLock);
    reportedEvents.push_back({type, identifier});
}

int64_t FakeClock() { return fakeNow.load(); }
int64_t FakeWallClock() { return fakeNow.load() + wallClockStep.load(); }
int64_t FakeUnbiasedClock() { return fakeNow.load() + unbiasedStep.load(); }

bool MainsChangeSignalled() { return WaitForSingleObject(MonitorMainsChangeEvent(), 0) == WAIT_OBJECT_0; }

bool AdvanceWatching(int64_t ticks, bool stopOnMainsChange);

char* Duplicate(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void StartDeviceReports(int64_t device) {
    world->openDevice = device;
    world->nextRecordAt = fakeNow.load() + world->recordPeriodMs * kMs;
}

// Set by ReleaseBlockedCalls until the next test begins.
HANDLE BlockedCallsReleased() {
    static HANDLE released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return released;
}

void BlockWhenAsked(const char* call) {
    if (world->blockingCalls.count(call) != 0) WaitForSingleObject(BlockedCallsReleased(), INFINITE);
}

void NoteCaller(const char* entry) {
    std::lock_guard<std::mutex> hold(CallersLock());
    world->callers.emplace_back(entry, GetCurrentThreadId());
}

int32_t FakeInit(NervaEventCallback callback) {
    NoteCaller("InitNervaUPSLib");
    BlockWhenAsked("InitNervaUPSLib");
    world->calls.push_back("InitNervaUPSLib");
    world->callback = callback;
    return 0;
}

int32_t FakeFinish() {
    NoteCaller("FinishNervaUPSLib");
    world->calls.push_back("FinishNervaUPSLib");
    world->openDevice = -1;
    return 0;
}

int32_t FakeGetUpsList(int64_t** devices, int32_t* count) {
    NoteCaller("GetUPSList");
    BlockWhenAsked("GetUPSList");
    world->calls.push_back("GetUPSList");
    world->connectionWhenListed.push_back(CurrentStatus().Connection);
    if (world->usbDevices.empty()) return 0;
    auto* list = static_cast<int64_t*>(std::malloc(world->usbDevices.size() * sizeof(int64_t)));
    for (size_t i = 0; i < world->usbDevices.size(); ++i) list[i] = world->usbDevices[i];
    world->outstanding.insert(list);
    *devices = list;
    *count = static_cast<int32_t>(world->usbDevices.size());
    StartDeviceReports(world->usbDevices[0]);
    return 0;
}

int32_t FakeGetComList(char*** names, int32_t* count) {
    NoteCaller("GetCOMList");
    world->calls.push_back("GetCOMList");
    world->connectionWhenListed.push_back(CurrentStatus().Connection);
    if (world->comPorts.empty()) return 0;
    auto** list = static_cast<char**>(std::malloc(world->comPorts.size() * sizeof(char*)));
    for (size_t i = 0; i < world->comPorts.size(); ++i) list[i] = Duplicate(world->comPorts[i]);
    *names = list;
    *count = static_cast<int32_t>(world->comPorts.size());
    return 0;
}

int32_t FakeFreeComList(char** names) {
    NoteCaller("FreeCOMList");
    world->calls.push_back("FreeCOMList");
    for (size_t i = 0; i < world->comPorts.size(); ++i) std::free(names[i]);
    std::free(names);
    return 0;
}

int32_t FakeOpenCom(const char* port, int64_t* device) {
    NoteCaller("OpenCOM");
    world->calls.push_back(std::string("OpenCOM(") + port + ")");
    if (world->openComFails.count(port) != 0) return 5;
    auto known = world->comHandles.find(port);
    int64_t handle = 100;
    if (known != world->comHandles.end()) {
        handle = known->second;
    } else {
        for (size_t i = 0; i < world->comPorts.size(); ++i) {
            if (world->comPorts[i] == port) handle = 100 + static_cast<int64_t>(i);
        }
    }
    *device = handle;
    return 0;
}

int32_t FakeStartEventThread(int64_t device) {
    NoteCaller("StartEventThreadForCOM");
    world->calls.push_back("StartEventThreadForCOM(" + std::to_string(device) + ")");
    if (world->startEventFails.count(device) != 0) return 6;
    StartDeviceReports(device);
    return 0;
}

int32_t FakeCloseCom(int64_t device) {
    NoteCaller("CloseCOM");
    world->calls.push_back("CloseCOM(" + std::to_string(device) + ")");
    if (world->openDevice == device) world->openDevice = -1;
    return 0;
}

int32_t FakeGetModelName(int64_t device, char** model) {
    NoteCaller("GetModelName");
    BlockWhenAsked("GetModelName");
    world->calls.push_back("GetModelName(" + std::to_string(device) + ")");
    if (world->modelResult != 0) return world->modelResult;
    *model = Duplicate(world->model);
    world->outstanding.insert(*model);
    return 0;
}

int32_t FakeBatteryLevel(int64_t, int32_t* level) {
    NoteCaller("GetCurrentBatteryLevel");
    BlockWhenAsked("GetCurrentBatteryLevel");
    ++world->batteryLevelCalls;
    if (world->batteryLevelThrows) throw std::bad_alloc();
    *level = world->batteryLevel;
    return 0;
}

int32_t FakeUpsShutdown(int64_t device, int32_t backupTime) {
    NoteCaller("Shutdown");
    BlockWhenAsked("Shutdown");
    world->calls.push_back("Shutdown(" + std::to_string(device) + "," + std::to_string(backupTime) + ")");
    world->upsShutdownAt.push_back(MonotonicNow());
    return world->upsShutdownResult;
}

int32_t FakeLoadUpsLibrary(UpsLibrary& table, uint32_t& error) {
    if (world->loadError != 0) {
        error = world->loadError;
        return 0;
    }
    table = FakeUpsTable();
    return 1;
}

// The network source's table is the same fake library; the call is noted.
int32_t FakeLoadNetworkUps(UpsLibrary& table, uint32_t&) {
    world->calls.push_back("LoadNetworkUps");
    table = FakeUpsTable();
    return 1;
}

bool FakeEnterFolder() { return world->enterFolderOk; }

int32_t FakeRunCommand(const std::string& commandLine, std::string& output, int32_t limitSeconds, HANDLE wake) {
    world->commands.push_back(commandLine);
    world->commandLimits.push_back(limitSeconds);
    world->commandWakeEvents.push_back(wake);
    world->commandStartedAt.push_back(MonotonicNow());
    if (world->commandThrows > 0) {
        --world->commandThrows;
        throw std::bad_alloc();
    }
    int64_t limitMs = static_cast<int64_t>(limitSeconds) * 1000;
    if (world->commandRunsMs <= limitMs) {
        Advance(world->commandRunsMs * kMs);
        return 1;
    }
    Advance(limitMs * kMs);
    output = "WaitForSingleObject,TimeOut";
    return 0;
}

int32_t FakeOsShutdown() {
    world->osShutdownAt.push_back(MonotonicNow());
    if (world->osShutdownResults.empty()) return 1;
    int32_t result = world->osShutdownResults.front();
    world->osShutdownResults.erase(world->osShutdownResults.begin());
    return result;
}

int32_t FakeHibernate(void (*beforeRequest)()) {
    world->hibernateAt.push_back(MonotonicNow());
    int32_t result = 1;
    if (!world->hibernateResults.empty()) {
        result = world->hibernateResults.front();
        world->hibernateResults.erase(world->hibernateResults.begin());
    }
    if (result < 0) return 0;
    if (beforeRequest != nullptr) beforeRequest();
    return result;
}

void FakeKeepSystemAwake(bool awake) { world->keptAwake.push_back(awake); }

// The waits that a stop ends; the wait between passes also ends on a mains change.
bool FakeStoppableWait(uint32_t milliseconds, bool endsOnMainsChange) {
    world->calls.push_back("Wait(" + std::to_string(milliseconds) + ")");
    world->waits.push_back(milliseconds);
    if (MonitorStopRequested()) return false;
    if (endsOnMainsChange && MainsChangeSignalled()) return true;
    const int64_t target = fakeNow.load() + static_cast<int64_t>(milliseconds) * kMs;
    const int64_t until = std::min(target, world->stopAt);
    if (AdvanceWatching(until - fakeNow.load(), endsOnMainsChange)) return true;
    if (target >= world->stopAt) {
        MonitorRequestStop();
        return false;
    }
    return true;
}

bool FakeWait(uint32_t milliseconds) { return FakeStoppableWait(milliseconds, false); }

bool FakeWaitBetweenPasses(uint32_t milliseconds) {
    world->passWaitsEndedAt.push_back(0);
    bool ran = FakeStoppableWait(milliseconds, true);
    world->passWaitsEndedAt.back() = fakeNow.load();
    return ran;
}

// Inside the shutdown sequence nothing ends a wait early.
void FakeSequenceWait(uint32_t milliseconds) {
    world->calls.push_back("Wait(" + std::to_string(milliseconds) + ")");
    world->waits.push_back(milliseconds);
    Advance(static_cast<int64_t>(milliseconds) * kMs);
}

void FakeRelease(void* memory) {
    if (world->outstanding.erase(memory) != 0) {
        ++world->released;
    } else {
        ++world->releasedUnknown;
    }
    std::free(memory);
    if (world->releaseThrows) throw std::bad_alloc();
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const WindowsEvent& event) {
    return out << "{" << event.type << ", 0x" << std::hex << event.identifier << std::dec << "}";
}

void Advance(int64_t ticks) { AdvanceWatching(ticks, false); }

bool AdvanceUntilMainsChange(int64_t ticks) { return AdvanceWatching(ticks, true); }

void StepWallClock(int64_t ticks) { wallClockStep += ticks; }

namespace {

bool AdvanceWatching(int64_t ticks, bool stopOnMainsChange) {
    const int64_t target = fakeNow.load() + ticks;
    for (;;) {
        if (stopOnMainsChange && MainsChangeSignalled()) return true;
        int64_t next = target;
        int which = 0;
        bool reporting = (world->sendsRecords || world->sendsAliveOnly) && world->openDevice != -1 &&
                         world->callback != nullptr;
        if (reporting && world->nextRecordAt <= next) {
            next = world->nextRecordAt;
            which = 1;
        }
        if (!world->script.empty() && world->script.front().at <= next) {
            next = world->script.front().at;
            which = 2;
        }
        if (next > fakeNow.load()) fakeNow = next;
        if (which == 0) return false;
        if (which == 2) {
            std::function<void()> action = world->script.front().action;
            world->script.erase(world->script.begin());
            action();
        } else {
            world->nextRecordAt += world->recordPeriodMs * kMs;
            if (world->sendsRecords) {
                world->callback(world->openDevice, kUpsEventMeasurement, NewRecord(world->mainsIndicator));
                SettleBatteryQuery();
            } else {
                world->callback(world->openDevice, kUpsEventAlive, nullptr);
            }
        }
    }
}

}  // namespace

void FailMains() {
    world->mainsIndicator = 1;
    UpsEventCallback(world->openDevice, kUpsEventMainsFailed, nullptr);
}

void RestoreMains() {
    world->mainsIndicator = 0;
    UpsEventCallback(world->openDevice, kUpsEventMainsRestored, nullptr);
}

void SetField(char* field, size_t width, const char* text) {
    std::memset(field, 0, width);
    std::memcpy(field, text, strnlen(text, width - 1));
}

StatusRecord* NewRecord(int32_t mainsFailed, const char* field2, const char* field4) {
    auto* record = static_cast<StatusRecord*>(std::malloc(sizeof(StatusRecord)));
    std::memset(record, 0, sizeof(*record));
    SetField(record->Field1, sizeof(record->Field1), "101.5");
    SetField(record->Field2, sizeof(record->Field2), field2);
    SetField(record->Field3, sizeof(record->Field3), "100.0");
    SetField(record->Field4, sizeof(record->Field4), field4);
    SetField(record->Field5, sizeof(record->Field5), "35.0");
    SetField(record->Field6, sizeof(record->Field6), "27");
    SetField(record->Field7, sizeof(record->Field7), "13.5");
    record->MainsFailed = mainsFailed;
    if (world != nullptr) world->outstanding.insert(record);
    return record;
}

UpsLibrary FakeUpsTable() {
    UpsLibrary table;
    table.InitNervaUPSLib = &FakeInit;
    table.FinishNervaUPSLib = &FakeFinish;
    table.GetUPSList = &FakeGetUpsList;
    table.GetCOMList = &FakeGetComList;
    table.FreeCOMList = &FakeFreeComList;
    table.OpenCOM = &FakeOpenCom;
    table.StartEventThreadForCOM = &FakeStartEventThread;
    table.CloseCOM = &FakeCloseCom;
    table.GetModelName = &FakeGetModelName;
    table.GetCurrentBatteryLevel = &FakeBatteryLevel;
    table.Shutdown = &FakeUpsShutdown;
    return table;
}

MonitorSeams FakeSeams() {
    MonitorSeams seams{};
    seams.LoadUpsLibrary = &FakeLoadUpsLibrary;
    seams.EnterUpsLibraryFolder = &FakeEnterFolder;
    seams.LoadNetworkUps = &FakeLoadNetworkUps;
    seams.RunExternalCommand = &FakeRunCommand;
    seams.ShutdownOperatingSystem = &FakeOsShutdown;
    seams.HibernateOperatingSystem = &FakeHibernate;
    seams.KeepSystemAwake = &FakeKeepSystemAwake;
    seams.Wait = &FakeWait;
    seams.WaitBetweenPasses = &FakeWaitBetweenPasses;
    seams.SequenceWait = &FakeSequenceWait;
    seams.HoldWhilePaused = &MonitorHoldWhilePaused;
    seams.ReleaseUpsMemory = &FakeRelease;
    return seams;
}

void MonitorTest::SetUp() {
    world = &fake;
    fakeNow = kStartTicks;
    wallClockStep = 0;
    SetMonotonicClockForTest(&FakeClock);
    SetWallClockForTest(&FakeWallClock);
    unbiasedStep = 0;
    SetUnbiasedClockForTest(&FakeUnbiasedClock);
    scratch = std::make_unique<ScratchDirectory>();
    LoadMessageTable("no-such-message-table.json");  // every text is its own key
    scratch->WriteFile("EventList_test.csv",
                       "1,Alive\n2,UPS lost\n3,Mains failed\n4,Mains restored\n5,Battery low\n"
                       "7,Self test done\n9,,\n60,Measured\n");
    ASSERT_TRUE(LoadEventListFile(scratch->File("EventList_test.csv")));
    ASSERT_TRUE(OpenEventLogFile());
    ResetStatusForTest();
    ResetMonitorStateForTest();
    ResetMonitorPassForTest();
    ResetNotifierForTest();
    ProcessSettings() = Settings();
    MonitorUpsLibrary() = FakeUpsTable();
    {
        std::lock_guard<std::mutex> hold(eventsLock);
        reportedEvents.clear();
    }
    SetWindowsEventSinkForTest(&RecordEvent);
    ResetEvent(BlockedCallsReleased());
    MonitorSeams seams = FakeSeams();
    SetMonitorSeamsForTest(&seams);
    MonitorPrepareRun();
    MonitorRunFlag = 0;
    WriteSettingsFile(60);
}

std::mutex& CallersLock() {
    static std::mutex lock;
    return lock;
}

void ReleaseBlockedCalls() {
    SetEvent(BlockedCallsReleased());
    ASSERT_TRUE(WaitForUpsLink(60000)) << "a released call did not return";
    ASSERT_TRUE(WaitForBatteryLane(60000)) << "a released battery query did not return";
    ResetEvent(BlockedCallsReleased());
}

void SettleBatteryQuery() {
    if (world->blockingCalls.count("GetCurrentBatteryLevel") != 0) return;
    ASSERT_TRUE(WaitForBatteryLane(60000)) << "a battery query did not return";
}

void MonitorTest::TearDown() {
    // No call on the UPS link may outlive the fake world it uses, nor a notification its folder.
    ReleaseBlockedCalls();
    EXPECT_TRUE(WaitUntilNotificationsIdleForTest(60000)) << "a notification did not end";
    ResetNotifierForTest();
    SetNotificationRunnerForTest(nullptr);
    SetMonitorSeamsForTest(nullptr);
    SetWindowsEventSinkForTest(nullptr);
    MonitorPrepareRun();
    CloseEventLogFileForTest();
    CloseDataLogForTest();
    ResetStatusForTest();
    ResetMonitorStateForTest();
    ResetMonitorPassForTest();
    MonitorUpsLibrary() = UpsLibrary();
    ProcessSettings() = Settings();
    scratch.reset();
    SetWallClockForTest(nullptr);
    SetMonotonicClockForTest(nullptr);
    SetUnbiasedClockForTest(nullptr);
    wallClockStep = 0;
    unbiasedStep = 0;
    for (void* memory : fake.outstanding) std::free(memory);
    fake.outstanding.clear();
    world = nullptr;
}

void MonitorTest::WriteSettingsFile(int32_t waitTime, const std::string& exCmd, int32_t exCmdTime,
                                    const std::string& device, int32_t backupTime) {
    Settings settings;
    settings.WaitTime = waitTime;
    settings.ExCmd = exCmd;
    settings.ExCmdTime = exCmdTime;
    settings.Device = device;
    settings.BackupTime = backupTime;
    ASSERT_TRUE(WriteSettings(settings));
}

std::vector<std::string> MonitorTest::TraceLines() const {
    return EventLogTexts(*scratch);
}

std::vector<std::string> MonitorTest::DataLines() const {
    std::vector<std::string> lines = SplitCrLfLines(scratch->ReadFile("DataLog\\" + DateStamp() + ".csv"));
    std::vector<std::string> texts;
    for (size_t i = 1; i < lines.size(); ++i) texts.push_back(WithoutStamp(lines[i]));
    return texts;
}

std::vector<WindowsEvent> MonitorTest::Events() const {
    std::lock_guard<std::mutex> hold(eventsLock);
    return reportedEvents;
}

void MonitorTest::Connect() {
    ASSERT_EQ(0, MonitorPass());
    ASSERT_NE(-1, TheMonitorState().DeviceHandle.load());
    ASSERT_EQ(0, TheMonitorState().Disconnected.load());
}

void Hibernation(int64_t ticks) {
    fakeNow += ticks;
    unbiasedStep -= ticks;
    if (world != nullptr && world->openDevice != -1) world->nextRecordAt = fakeNow.load() + world->recordPeriodMs * kMs;
}

void MonitorTest::RunThreadUntil(int64_t until) {
    fake.stopAt = until;
    MonitorRunFlag = 1;
    MonitorThreadMain(&MonitorRunFlag);
}

void MonitorTest::Deliver(int32_t code, void* data) {
    UpsEventCallback(TheMonitorState().DeviceHandle.load(), code, data);
    SettleBatteryQuery();
}

void MonitorTest::ReadyForTheSequence() {
    MonitorState& state = TheMonitorState();
    state.DeviceHandle = 7;
    state.Disconnected = 0;
    state.AcFail = 1;
    state.MainsStateKnown = 1;
    state.ShutdownStarted = 0;
    state.ShutdownSequenceStarted = 0;
    state.OutputOffDone = 0;
    state.AcFailStart = kStartTicks - 1;
    state.LastHeard = kStartTicks;
}

}  // namespace monitor_test
