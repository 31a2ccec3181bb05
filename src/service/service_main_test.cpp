#include "service/service_main.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "config/settings.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"
#include "monitor/monitor_thread.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

using Lines = std::vector<std::string>;

// How the fake monitor thread behaves.
enum class ThreadMode {
    EndsOnStop,      // ends as soon as the run flag is 0
    EndsOnContinue,  // parked: ends only after the stop and a later continue
    NeverEnds,       // stuck inside a call that never returns
    RunsSequence,    // inside a shutdown sequence: ends once the sequence is over
};

// Everything the service host did, in order, as one journal shared by its threads.
struct HostRecorder {
    std::mutex lock;
    Lines journal;
    const ScratchDirectory* scratch = nullptr;
    int failStatusReport = 0;  // the n-th SetServiceStatus fails (1-based), 0 for none
    int statusReports = 0;
    bool failRegister = false;
    ThreadMode mode = ThreadMode::EndsOnStop;
    std::atomic<int> flagSeenByThread{-1};
    std::atomic<bool> threadRunning{false};
    std::atomic<DWORD> monitorThreadId{0};
    std::atomic<DWORD> waitedThreadId{0};
    std::atomic<bool> continued{false};
    HANDLE sleepGate = nullptr;  // when set, each 5 s wait blocks until it is signalled
    std::atomic<int> sequencePolls{0};  // a shutdown sequence runs for this many more polls
    std::atomic<bool> parks{true};      // the monitor parks when asked to
    std::atomic<bool> parked{false};
    bool finalPassThrows = false;

    void Add(const std::string& entry) {
        std::lock_guard<std::mutex> guard(lock);
        journal.push_back(entry);
    }
    // What the log already holds when something happens, so the order of log lines,
    // status reports and Windows events can be checked together.
    std::string LastLogText() const {
        Lines texts = EventLogTexts(*scratch);
        return texts.empty() ? "-" : texts.back();
    }
};

HostRecorder* recorder = nullptr;

SERVICE_STATUS_HANDLE WINAPI FakeRegister(LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID) {
    recorder->Add(std::string("register ") + name + (handler == ServiceControlHandlerEx ? " handler" : " ?"));
    if (recorder->failRegister) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5150));
}

BOOL WINAPI FakeSetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) {
    int n = ++recorder->statusReports;
    char text[160];
    std::snprintf(text, sizeof(text), "status %lu accept=%lu cp=%lu hint=%lu type=0x%lX exit=%lu/%lu%s",
                  s->dwCurrentState, s->dwControlsAccepted, s->dwCheckPoint, s->dwWaitHint, s->dwServiceType,
                  s->dwWin32ExitCode, s->dwServiceSpecificExitCode,
                  handle == reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<uintptr_t>(0x5150)) ? "" : " ?");
    if (n == recorder->failStatusReport) {
        recorder->Add(std::string(text) + " FAILED");
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    recorder->Add(text);
    return TRUE;
}

DWORD WINAPI FakeThreadMain(LPVOID parameter) {
    auto* flag = static_cast<std::atomic<int32_t>*>(parameter);
    recorder->flagSeenByThread = flag->load();
    recorder->monitorThreadId = GetCurrentThreadId();
    recorder->threadRunning = true;
    for (;;) {
        bool stop = *flag == 0;
        if (recorder->mode == ThreadMode::EndsOnContinue) stop = stop && recorder->continued;
        if (recorder->mode == ThreadMode::NeverEnds) stop = false;
        if (recorder->mode == ThreadMode::RunsSequence) stop = stop && recorder->sequencePolls.load() <= 0;
        if (stop) break;
        Sleep(5);
    }
    recorder->threadRunning = false;
    return 0;
}

int32_t FakeFinalPass() {
    recorder->Add("final pass");
    if (recorder->finalPassThrows) throw std::bad_alloc();
    return 0;
}
void FakePrepareRun() { recorder->Add("prepare run"); }
void FakeNoteSystemShutdown() { recorder->Add("note system shutdown"); }
bool FakeSetPreshutdownTimeout() {
    recorder->Add("set preshutdown time");
    return true;
}
void FakeRequestRearm() { recorder->Add("request rearm"); }
void FakeNoteSuspend() { recorder->Add("note suspend"); }
void FakeRequestStop() {
    recorder->Add("request stop");
    MonitorRunFlag = 0;
}
void FakeRequestPause() {
    recorder->Add("request pause");
    if (recorder->parks) recorder->parked = true;
}
void FakeRequestContinue() {
    recorder->Add("request continue");
    recorder->continued = true;
    recorder->parked = false;
}
bool FakeSequenceRunning() {
    if (recorder->sequencePolls.load() <= 0) return false;
    --recorder->sequencePolls;
    return true;
}
bool FakeWaitUntilParked(uint32_t milliseconds) {
    for (uint32_t waited = 0; !recorder->parked && waited < milliseconds; waited += 5) Sleep(5);
    return recorder->parked.load();
}
void WINAPI FakeSleep(DWORD milliseconds) {
    recorder->Add("wait " + std::to_string(milliseconds));
    if (recorder->sleepGate != nullptr) WaitForSingleObject(recorder->sleepGate, INFINITE);
    Sleep(100);  // long enough for a cooperative fake thread to see the flag
}

// Records the wait and on which thread; the wait itself is bounded short so a stuck
// fake thread does not cost the test its real 5 s.
DWORD WINAPI FakeWaitForThread(HANDLE thread, DWORD milliseconds) {
    recorder->Add("wait " + std::to_string(milliseconds));
    recorder->waitedThreadId = GetThreadId(thread);
    if (recorder->sleepGate != nullptr) WaitForSingleObject(recorder->sleepGate, INFINITE);
    return WaitForSingleObject(thread, 100);
}

void RecordEvent(uint16_t type, uint32_t identifier, const std::string&) {
    std::string last = recorder->LastLogText();
    if (last != "Service_start" && last != "Service_stop") last = "other";
    recorder->Add("event " + std::to_string(type) + "/" + std::to_string(identifier) + " after " + last);
}

const ServiceHostApi kFakeApi = {
    FakeRegister,    FakeSetStatus,    FakeThreadMain,      FakeFinalPass, FakePrepareRun,
    FakeRequestStop, FakeRequestPause, FakeRequestContinue, FakeNoteSystemShutdown, FakeSetPreshutdownTimeout,
    FakeSleep,       FakeSequenceRunning,
    FakeWaitUntilParked,
    nullptr,         nullptr,  // no network UPS server
    FakeWaitForThread, FakeRequestRearm, FakeNoteSuspend,
};

const char kStartPending[] = "status 2 accept=1 cp=1 hint=1000 type=0x10 exit=0/0";
// Stop, pause and continue, shutdown, power events, preshutdown: 0x1 | 0x2 | 0x4 | 0x40 | 0x100.
const char kRunningAll[] = "status 4 accept=327 cp=0 hint=0 type=0x10 exit=0/0";
const char kStopPending[] = "status 3 accept=1 cp=1 hint=3000 type=0x10 exit=0/0";
const char kStopped[] = "status 1 accept=1 cp=0 hint=0 type=0x10 exit=0/0";
const char kPausePending[] = "status 6 accept=1 cp=1 hint=3000 type=0x10 exit=0/0";
const char kPaused[] = "status 7 accept=327 cp=0 hint=0 type=0x10 exit=0/0";
const char kContinuePending[] = "status 5 accept=1 cp=1 hint=3000 type=0x10 exit=0/0";
// The start is logged before its event; the stop's event comes before its line, and both
// before the stopped report, after which the process may be ended.
const char kStartEvent[] = "event 4/1003 after Service_start";
const char kStopEvent[] = "event 4/1004 after Service_start";

class ServiceMainTest : public ::testing::Test {
protected:
    ServiceMainTest() {
        LoadMessageTable("no-such-table.json");  // every text is its key
        OpenEventLogFile();
        rec.scratch = &scratch;
        recorder = &rec;
        SetWindowsEventSinkForTest(RecordEvent);
        SetServiceHostApiForTest(&kFakeApi);
        MonitorRunFlag = 0;
    }
    ~ServiceMainTest() override {
        if (rec.sleepGate != nullptr) SetEvent(rec.sleepGate);
        WaitForServiceStopWork(INFINITE);
        SetServiceHostApiForTest(nullptr);
        SetWindowsEventSinkForTest(nullptr);
        CloseEventLogFileForTest();
        if (rec.sleepGate != nullptr) CloseHandle(rec.sleepGate);
        recorder = nullptr;
    }

    Lines Journal() {
        std::lock_guard<std::mutex> guard(rec.lock);
        return rec.journal;
    }
    void ClearJournal() {
        std::lock_guard<std::mutex> guard(rec.lock);
        rec.journal.clear();
    }
    void StopAndWait() {
        ServiceControlHandler(SERVICE_CONTROL_STOP);
        WaitForServiceStopWork(INFINITE);
    }
    Lines LogTexts() const { return EventLogTexts(scratch); }

    ScratchDirectory scratch;
    HostRecorder rec;
};

TEST_F(ServiceMainTest, StartReportsPendingThenRunningAndLogsTheStartBeforeItsEvent) {
    ServiceMain(0, nullptr);
    EXPECT_EQ(Journal(), (Lines{"register VoltwardenBasicEdition handler", kStartPending, "prepare run",
                                kRunningAll, kStartEvent, "set preshutdown time"}));
    EXPECT_EQ(LogTexts(), (Lines{"Service_start"}));
    // The flag is 1 before the thread first reads it.
    for (int i = 0; i < 200 && rec.flagSeenByThread == -1; ++i) Sleep(5);
    EXPECT_EQ(rec.flagSeenByThread, 1);
    EXPECT_EQ(MonitorRunFlag.load(), 1);
    StopAndWait();
}

struct StartFailureCase {
    const char* name;
    bool failRegister;
    int failStatusReport;
    Lines expectedJournal;
    Lines expectedLog;
    bool threadStarts;
};

TEST_F(ServiceMainTest, StartFailuresEndServiceMainAfterTheirLine) {
    const StartFailureCase cases[] = {
        {"handler not registered", true, 0, {"register VoltwardenBasicEdition handler"},
         {"RegisterServiceCtrlHandler():ER=123"}, false},
        // A start that cannot go on reports stopped with its error, so the recovery restarts it.
        {"start pending refused", false, 1,
         {"register VoltwardenBasicEdition handler", std::string(kStartPending) + " FAILED",
          "status 1 accept=0 cp=0 hint=0 type=0x10 exit=13/0"},
         {"SetServiceStatus():ER=13"}, false},
        // The monitor runs and guards the computer; the service stays start pending.
        {"running refused", false, 2,
         {"register VoltwardenBasicEdition handler", kStartPending, "prepare run",
          std::string(kRunningAll) + " FAILED"},
         {"SetServiceStatus():ER=13"}, true},
    };
    for (const StartFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        SetServiceHostApiForTest(&kFakeApi);
        ClearJournal();
        rec.statusReports = 0;
        rec.failRegister = c.failRegister;
        rec.failStatusReport = c.failStatusReport;
        rec.flagSeenByThread = -1;

        ServiceMain(0, nullptr);
        EXPECT_EQ(Journal(), c.expectedJournal);
        EXPECT_EQ(LogTexts(), c.expectedLog);
        for (int i = 0; i < 200 && c.threadStarts && rec.flagSeenByThread == -1; ++i) Sleep(5);
        EXPECT_EQ(rec.flagSeenByThread != -1, c.threadStarts);
        if (c.threadStarts) {
            rec.failStatusReport = 0;
            StopAndWait();
            EXPECT_FALSE(rec.threadRunning);
        }
    }
}

TEST_F(ServiceMainTest, StopReportsPendingBeforeSignallingAndStoppedAfterTheFinalPass) {
    ServiceMain(0, nullptr);
    ProcessSettings() = Settings();
    ProcessSettings().ExCmd = "C:\\tools\\save.cmd";
    ProcessSettings().DataLogPath = "C:\\data";
    ProcessSettings().EventLogPath = "C:\\events";
    ClearJournal();

    StopAndWait();
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, kStopped}));
    EXPECT_EQ(LogTexts(), (Lines{"Service_start", "Service_stop"}));
    EXPECT_FALSE(rec.threadRunning);
    const Settings& s = ProcessSettings();
    EXPECT_EQ(s.Lang + s.ExCmd + s.DataLogPath + s.EventLogPath + s.Device, "");
}

TEST_F(ServiceMainTest, TheHandlerReturnsBeforeTheStopWaitsAreOver) {
    rec.sleepGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ServiceMain(0, nullptr);
    ClearJournal();
    ServiceControlHandler(SERVICE_CONTROL_STOP);
    // Back from the handler while the first 5 s wait is still blocked.
    Lines atReturn = Journal();
    ASSERT_GE(atReturn.size(), 2u);
    EXPECT_EQ(atReturn[0], kStopPending);
    EXPECT_EQ(atReturn[1], "request stop");
    for (const std::string& entry : atReturn) EXPECT_NE(entry, kStopped);

    // A second stop while stopping changes nothing; neither do pause and continue.
    ServiceControlHandler(SERVICE_CONTROL_STOP);
    ServiceControlHandler(SERVICE_CONTROL_PAUSE);
    ServiceControlHandler(SERVICE_CONTROL_CONTINUE);
    SetEvent(rec.sleepGate);
    WaitForServiceStopWork(INFINITE);
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, kStopped}));
}

struct StopCase {
    const char* name;
    ThreadMode mode;
    Lines expectedJournal;
};

TEST_F(ServiceMainTest, AThreadThatDoesNotEndWithinTwoWaitsIsEndedWithoutTheFinalPass) {
    const StopCase cases[] = {
        {"ends when stopped", ThreadMode::EndsOnStop,
         {kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, kStopped}},
        {"parked until continued", ThreadMode::EndsOnContinue,
         {kStopPending, "request stop", "wait 5000", "request continue", "wait 5000", "final pass", kStopEvent,
          kStopped}},
        // The terminated thread may have held a lock that the pass needs.
        {"stuck", ThreadMode::NeverEnds,
         {kStopPending, "request stop", "wait 5000", "request continue", "wait 5000", kStopEvent, kStopped}},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetServiceHostApiForTest(&kFakeApi);
        rec.mode = c.mode;
        rec.continued = false;
        ServiceMain(0, nullptr);
        for (int i = 0; i < 200 && !rec.threadRunning; ++i) Sleep(5);
        ClearJournal();
        StopAndWait();
        EXPECT_EQ(Journal(), c.expectedJournal);
        EXPECT_EQ(LogTexts().back(), "Service_stop");
        if (c.mode == ThreadMode::NeverEnds) rec.threadRunning = false;  // ended by force
    }
}

struct StatusFailureCase {
    const char* name;
    int failReport;  // counted from the first report after the start
    Lines expectedJournal;
    Lines expectedLogTail;
};

TEST_F(ServiceMainTest, AFailedStatusReportCancelsItsControlOrEndsTheStop) {
    const StatusFailureCase cases[] = {
        {"stop pending refused: thread untouched", 1, {std::string(kStopPending) + " FAILED"},
         {"Service_start", "SetServiceStatus():ER=13"}},
        // The event and the line came before it.
        {"stopped refused", 2,
         {kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, std::string(kStopped) + " FAILED"},
         {"Service_start", "Service_stop", "SetServiceStatus():ER=13"}},
        {"pause pending refused", 101, {std::string(kPausePending) + " FAILED"},
         {"Service_start", "SetServiceStatus():ER=13"}},
        {"paused refused", 102, {kPausePending, "request pause", std::string(kPaused) + " FAILED"},
         {"Service_start", "SetServiceStatus():ER=13"}},
        {"continue pending refused", 201, {std::string(kContinuePending) + " FAILED"},
         {"Service_start", "SetServiceStatus():ER=13"}},
    };
    for (const StatusFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        RestartEventLogEmpty(scratch);
        SetServiceHostApiForTest(&kFakeApi);
        rec.statusReports = 0;
        rec.failStatusReport = 0;
        ServiceMain(0, nullptr);
        ClearJournal();
        rec.statusReports = 0;
        DWORD control = SERVICE_CONTROL_STOP;
        rec.failStatusReport = c.failReport;
        if (c.failReport > 200) {
            ServiceControlHandler(SERVICE_CONTROL_PAUSE);
            WaitForServiceStopWork(INFINITE);
            ClearJournal();
            rec.statusReports = 0;
            rec.failStatusReport = c.failReport - 200;
            control = SERVICE_CONTROL_CONTINUE;
        } else if (c.failReport > 100) {
            rec.failStatusReport = c.failReport - 100;
            control = SERVICE_CONTROL_PAUSE;
        }
        ServiceControlHandler(control);
        WaitForServiceStopWork(INFINITE);
        EXPECT_EQ(Journal(), c.expectedJournal);
        if (c.failReport > 100) {
            rec.failStatusReport = 0;
            ServiceControlHandler(SERVICE_CONTROL_CONTINUE);  // out of any pause before the stop
        }
        EXPECT_EQ(LogTexts(), c.expectedLogTail);

        // A cancelled stop can be given again; the thread was left running.
        rec.failStatusReport = 0;
        if (c.failReport == 1) {
            EXPECT_EQ(MonitorRunFlag.load(), 1);
            ClearJournal();
            StopAndWait();
            EXPECT_EQ(Journal(),
                      (Lines{kStopPending, "request stop", "wait 5000", "final pass", "event 4/1004 after other", kStopped}));
        } else if (c.failReport != 2) {
            StopAndWait();
        }
        EXPECT_FALSE(rec.threadRunning);
    }
}

TEST_F(ServiceMainTest, PauseAndContinueUseTheMonitorsCooperativeRequests) {
    ServiceMain(0, nullptr);
    ClearJournal();
    ServiceControlHandler(SERVICE_CONTROL_PAUSE);
    WaitForServiceStopWork(INFINITE);  // the pause is reported once the monitor has parked
    ServiceControlHandler(SERVICE_CONTROL_CONTINUE);
    // Continue goes through continue pending.
    EXPECT_EQ(Journal(), (Lines{kPausePending, "request pause", kPaused, kContinuePending, "request continue",
                                kRunningAll}));
    EXPECT_EQ(LogTexts(), (Lines{"Service_start"}));
    StopAndWait();
}

// Later pending reports of a long pause or stop, by check point.
std::string PausePendingAt(int checkPoint) {
    return "status 6 accept=1 cp=" + std::to_string(checkPoint) + " hint=3000 type=0x10 exit=0/0";
}
std::string StopPendingAt(int checkPoint) {
    return "status 3 accept=1 cp=" + std::to_string(checkPoint) + " hint=5000 type=0x10 exit=0/0";
}

TEST_F(ServiceMainTest, PausedIsReportedOnlyOnceTheMonitorHasParked) {
    ServiceMain(0, nullptr);
    for (int i = 0; i < 200 && !rec.threadRunning; ++i) Sleep(5);
    ClearJournal();
    rec.parks = false;  // busy in a shutdown sequence, say
    ServiceControlHandler(SERVICE_CONTROL_PAUSE);
    // Pending, with a new check point each second, until the monitor parks.
    for (int i = 0; i < 1000 && Journal().size() < 4; ++i) Sleep(10);
    rec.parked = true;
    WaitForServiceStopWork(INFINITE);
    Lines journal = Journal();
    ASSERT_GE(journal.size(), 4u);
    EXPECT_EQ(journal[0], kPausePending);
    EXPECT_EQ(journal[1], "request pause");
    for (size_t i = 2; i + 1 < journal.size(); ++i) {
        EXPECT_EQ(journal[i], PausePendingAt(static_cast<int>(i)));
    }
    EXPECT_EQ(journal.back(), kPaused);

    // A continue while still pending ends the wait for the park: nothing reports paused.
    ClearJournal();
    rec.parked = false;
    ServiceControlHandler(SERVICE_CONTROL_PAUSE);
    ServiceControlHandler(SERVICE_CONTROL_CONTINUE);
    WaitForServiceStopWork(INFINITE);
    journal = Journal();
    EXPECT_EQ(journal.back(), kRunningAll);
    for (const std::string& entry : journal) EXPECT_NE(entry, kPaused);
    rec.parks = true;
    StopAndWait();
}

TEST_F(ServiceMainTest, AStopDuringAShutdownSequenceWaitsForItWithoutEndingTheThread) {
    rec.mode = ThreadMode::RunsSequence;
    rec.sequencePolls = 3;  // the sequence outlasts the first wait by three polls
    ServiceMain(0, nullptr);
    for (int i = 0; i < 200 && !rec.threadRunning; ++i) Sleep(5);
    ClearJournal();

    StopAndWait();

    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", StopPendingAt(2), "wait 1000",
                                StopPendingAt(3), "wait 1000", StopPendingAt(4),
                                "wait 1000", "final pass", kStopEvent, kStopped}));
    EXPECT_FALSE(rec.threadRunning) << "the thread ended by itself, it was not terminated";
}

// The stop waits on the monitor thread itself, so the wait ends when the thread does
// instead of sleeping out its whole bound.
TEST_F(ServiceMainTest, TheStopWaitsOnTheMonitorThreadItself) {
    ServiceMain(0, nullptr);
    for (int i = 0; i < 200 && !rec.threadRunning; ++i) Sleep(5);
    ClearJournal();
    StopAndWait();
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, kStopped}));
    EXPECT_NE(rec.monitorThreadId.load(), 0u);
    EXPECT_EQ(rec.waitedThreadId.load(), rec.monitorThreadId.load());
}

TEST_F(ServiceMainTest, AnExceptionInTheStopIsWrittenAndTheStopStillEnds) {
    ServiceMain(0, nullptr);
    ClearJournal();
    rec.finalPassThrows = true;
    StopAndWait();
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "final pass", kStopped}));
    EXPECT_EQ(LogTexts(), (Lines{"Service_start", "ServiceStop:Exception", "Service_stop"}));
}

TEST_F(ServiceMainTest, OtherControlsChangeNothingAndReportNothing) {
    ServiceMain(0, nullptr);
    ClearJournal();
    const DWORD others[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PARAMCHANGE, SERVICE_CONTROL_NETBINDADD, 0,
                            128, 255, 0xFFFFFFFF};
    for (DWORD control : others) ServiceControlHandler(control);
    EXPECT_EQ(Journal(), Lines{});
    EXPECT_EQ(LogTexts(), (Lines{"Service_start"}));
    EXPECT_EQ(MonitorRunFlag.load(), 1);
    StopAndWait();
}

// Windows' shutdown, ours or an administrator's: the monitor hears of it before the stop
// wakes it, then the service stops as for a stop; after PRESHUTDOWN, Windows waits for the
// stopped report up to the preshutdown time, which the first pending report gives.
TEST_F(ServiceMainTest, WindowsShutdownIsToldToTheMonitorThenStopsTheService) {
    const struct {
        const char* name;
        DWORD control;
        const char* stopPending;
    } cases[] = {
        {"preshutdown", SERVICE_CONTROL_PRESHUTDOWN, "status 3 accept=1 cp=1 hint=180000 type=0x10 exit=0/0"},
        {"shutdown", SERVICE_CONTROL_SHUTDOWN, kStopPending},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetServiceHostApiForTest(&kFakeApi);
        ServiceMain(0, nullptr);
        ClearJournal();
        EXPECT_EQ(ServiceControlHandlerEx(c.control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        WaitForServiceStopWork(INFINITE);
        EXPECT_EQ(Journal(), (Lines{"note system shutdown", c.stopPending, "request stop", "wait 5000", "final pass",
                                    kStopEvent, kStopped}));
        EXPECT_EQ(LogTexts().back(), "Service_stop");
        EXPECT_FALSE(rec.threadRunning);
    }
    // While a stop is under way a shutdown is still told to the monitor, and changes nothing else.
    rec.sleepGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetServiceHostApiForTest(&kFakeApi);
    ServiceMain(0, nullptr);
    ClearJournal();
    ServiceControlHandler(SERVICE_CONTROL_STOP);
    for (int i = 0; i < 1000 && Journal().size() < 3; ++i) Sleep(5);  // the stop's first wait has begun
    ServiceControlHandler(SERVICE_CONTROL_PRESHUTDOWN);
    SetEvent(rec.sleepGate);
    WaitForServiceStopWork(INFINITE);
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "note system shutdown", "final pass",
                                kStopEvent, kStopped}));
}

// A resume from sleep or hibernation only asks the monitor to watch again, and a suspend
// is only noted; the handler does nothing else and answers at once.
TEST_F(ServiceMainTest, AResumeAsksTheMonitorToWatchAgainASuspendIsNotedAndNoOtherPowerEventCounts) {
    struct Case {
        DWORD control;
        DWORD eventType;
        DWORD answer;
        Lines journal;
    };
    const Case cases[] = {
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, NO_ERROR, {"request rearm"}},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, NO_ERROR, {"request rearm"}},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, NO_ERROR, {"note suspend"}},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, NO_ERROR, {}},
        {SERVICE_CONTROL_INTERROGATE, 0, NO_ERROR, {}},
        {SERVICE_CONTROL_SESSIONCHANGE, 0, ERROR_CALL_NOT_IMPLEMENTED, {}},
    };
    ServiceMain(0, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.control) + "/" + std::to_string(c.eventType));
        ClearJournal();
        EXPECT_EQ(ServiceControlHandlerEx(c.control, c.eventType, nullptr, nullptr), c.answer);
        EXPECT_EQ(Journal(), c.journal);
    }
    // The stop comes through the same handler.
    ClearJournal();
    EXPECT_EQ(ServiceControlHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
    WaitForServiceStopWork(INFINITE);
    EXPECT_EQ(Journal(), (Lines{kStopPending, "request stop", "wait 5000", "final pass", kStopEvent, kStopped}));
}

}  // namespace
