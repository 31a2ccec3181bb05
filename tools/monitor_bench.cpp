// Measures the monitor: how soon after WAIT_TIME (+ EXCMDTIME) the UPS gets its
// output-off command, and what one pass and one measurement record cost. Runs the
// real monitor thread, real waits and the real clock against an in-process stand-in
// for the UPS library. Not a test: its figures go into docs/benchmark-monitor.md.
//
//   monitor_bench [--trials N] [--wait-time S] [--excmd-time S] [--soak-seconds S]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "config/settings.h"
#include "log/data_log.h"
#include "log/event_log.h"
#include "log/windows_event.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"
#include "monitor/monitor_thread.h"
#include "monitor/ups_event_callback.h"
#include "process_usage.h"

namespace {

using namespace process_usage;

constexpr int64_t kDevice = 1;

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::atomic<double> decidedAt{0};
std::atomic<double> outputOffAt{0};
std::atomic<int> commandMs{0};

int32_t BenchInit(NervaEventCallback) { return 0; }
int32_t BenchFinish() { return 0; }
int32_t BenchBatteryLevel(int64_t, int32_t* level) {
    *level = 90;
    return 0;
}
int32_t BenchShutdown(int64_t, int32_t) {
    outputOffAt = Seconds();
    return 0;
}
int32_t BenchLoad(UpsLibrary&, uint32_t&) { return 1; }
bool BenchEnterFolder() { return true; }
int32_t BenchCommand(const std::string&, std::string&, int32_t, HANDLE) {
    decidedAt = Seconds();
    Sleep(static_cast<DWORD>(commandMs.load()));
    return 1;
}
int32_t BenchOsShutdown() { return 1; }
void BenchRelease(void* memory) { std::free(memory); }
void QuietSink(uint16_t, uint32_t, const std::string&) {}

void* NewRecord() {
    auto* record = static_cast<StatusRecord*>(std::malloc(sizeof(StatusRecord)));
    std::memset(record, 0, sizeof(*record));
    std::strcpy(record->Field1, "101.5");
    std::strcpy(record->Field2, "60.0");
    std::strcpy(record->Field3, "100.0");
    std::strcpy(record->Field4, "60.0");
    std::strcpy(record->Field5, "35.0");
    std::strcpy(record->Field6, "27");
    std::strcpy(record->Field7, "13.5");
    return record;
}

void Connected() {
    ResetMonitorStateForTest();
    MonitorState& state = TheMonitorState();
    state.DeviceHandle = kDevice;
    state.Disconnected = 0;
    state.LastHeard = UnbiasedNow();
}

struct Summary {
    double min, median, p95, max;
};

Summary Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5)]; };
    return {values.front(), at(0.5), at(0.95), values.back()};
}

void Latency(int trials, int32_t waitTime, int32_t exCmdTime) {
    Settings settings;
    settings.WaitTime = waitTime;
    settings.ExCmd = "bench-command";
    settings.ExCmdTime = exCmdTime;
    WriteSettings(settings);
    std::mt19937 random(12345);
    std::vector<double> fromFailure, fromDecision;
    for (int trial = 0; trial < trials; ++trial) {
        Connected();
        commandMs = static_cast<int>(random() % 900);
        decidedAt = 0;
        outputOffAt = 0;
        MonitorPrepareRun();
        ScopedKernelHandle thread(
            CreateThread(nullptr, 0, &MonitorThreadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr));
        MonitorRunFlag = 1;
        ResumeThread(thread.Get());
        Sleep(static_cast<DWORD>(random() % 1000));  // the failure falls anywhere between two passes
        const double failedAt = Seconds();
        UpsEventCallback(kDevice, kUpsEventMainsFailed, nullptr);
        // A live UPS keeps talking while the countdown runs.
        while (WaitForSingleObject(thread.Get(), 500) == WAIT_TIMEOUT) UpsEventCallback(kDevice, kUpsEventAlive, nullptr);
        fromFailure.push_back(outputOffAt - failedAt - waitTime - exCmdTime);
        fromDecision.push_back(outputOffAt - decidedAt - exCmdTime);
        std::printf("trial %d: command %d ms, output-off %.3f s after WAIT_TIME + EXCMDTIME, %.3f s after "
                    "EXCMDTIME from the decision\n",
                    trial + 1, commandMs.load(), fromFailure.back(), fromDecision.back());
    }
    Summary failure = Summarise(fromFailure);
    Summary decision = Summarise(fromDecision);
    std::printf("latency beyond WAIT_TIME + EXCMDTIME from the failure (s): min %.3f median %.3f p95 %.3f max %.3f\n",
                failure.min, failure.median, failure.p95, failure.max);
    std::printf("latency beyond EXCMDTIME from the deciding pass (s): min %.3f median %.3f p95 %.3f max %.3f\n",
                decision.min, decision.median, decision.p95, decision.max);
}

template <typename Body>
double MicrosecondsPer(int iterations, Body body) {
    const double started = Seconds();
    for (int i = 0; i < iterations; ++i) body();
    return (Seconds() - started) * 1e6 / iterations;
}

void Costs() {
    Settings settings;
    settings.WaitTime = 3600;
    WriteSettings(settings);
    MonitorPrepareRun();

    Connected();
    double idlePass = MicrosecondsPer(100000, [] {
        TheMonitorState().LastHeard = UnbiasedNow();
        MonitorPass();
    });
    Connected();
    TheMonitorState().AcFail = 1;
    TheMonitorState().AcFailStart = UnbiasedNow();
    double countdownPass = MicrosecondsPer(2000, [] {
        TheMonitorState().LastHeard = UnbiasedNow();
        MonitorPass();
    });
    Connected();
    double record = MicrosecondsPer(100000, [] { UpsEventCallback(kDevice, kUpsEventMeasurement, NewRecord()); });
    double alive = MicrosecondsPer(100000, [] { UpsEventCallback(kDevice, kUpsEventAlive, nullptr); });
    std::printf("one MonitorPass, connected, mains present: %.2f us\n", idlePass);
    std::printf("one MonitorPass during a countdown (Setting.ini read again): %.2f us\n", countdownPass);
    std::printf("one code-60 callback (record copied and released, battery level, no data-log line): %.2f us\n",
                record);
    std::printf("one code-1 callback: %.3f us\n", alive);
}

// The monitor thread connected to a UPS that speaks once a second (a sign of life and
// a record, from a thread of its own as the library does), for `seconds`.
void Soak(int seconds) {
    Settings settings;
    settings.WaitTime = 60;
    WriteSettings(settings);
    Connected();
    MonitorPrepareRun();
    ScopedKernelHandle thread(CreateThread(nullptr, 0, &MonitorThreadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr));
    MonitorRunFlag = 1;
    ResumeThread(thread.Get());
    ScopedKernelHandle ups(CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            while (MonitorRunFlag.load() != 0) {
                UpsEventCallback(kDevice, kUpsEventAlive, nullptr);
                UpsEventCallback(kDevice, kUpsEventMeasurement, NewRecord());
                Sleep(1000);
            }
            return 0;
        },
        nullptr, 0, nullptr));
    Sleep(2000);
    const double cpuBefore = ProcessCpuMilliseconds();
    const uint64_t privateBefore = PrivateBytes();
    const uint64_t heapBefore = HeapBytesInUse();
    const double started = Seconds();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double cpuMs = ProcessCpuMilliseconds() - cpuBefore;
    const double elapsed = Seconds() - started;
    const uint64_t privateAfter = PrivateBytes();
    const uint64_t heapAfter = HeapBytesInUse();
    MonitorRequestStop();
    WaitForSingleObject(thread.Get(), 10000);
    WaitForSingleObject(ups.Get(), 10000);
    std::printf("soak: %.0f s connected, one record a second: cpu %.1f ms = %.4f %% of one core; private memory "
                "%llu KB at the start, %llu KB at the end; heap in use %llu KB at the start, %llu KB at the end\n",
                elapsed, cpuMs, cpuMs / (elapsed * 10.0), static_cast<unsigned long long>(privateBefore / 1024),
                static_cast<unsigned long long>(privateAfter / 1024), static_cast<unsigned long long>(heapBefore / 1024),
                static_cast<unsigned long long>(heapAfter / 1024));
}

}  // namespace

int main(int argc, char** argv) {
    int trials = 20;
    int32_t waitTime = 2;
    int32_t exCmdTime = 1;
    int soakSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--wait-time") == 0) waitTime = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--excmd-time") == 0) exCmdTime = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--soak-seconds") == 0) soakSeconds = std::atoi(argv[i + 1]);
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    // A folder of its own, so the bench never touches a real installation's files.
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof(temp), temp);
    std::string folder = std::string(temp) + "vw-monitor-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    SetExeDirectoryForTest(folder);
    OpenEventLogFile();
    OpenDataLogFile();
    SetWindowsEventSinkForTest(&QuietSink);

    UpsLibrary& ups = MonitorUpsLibrary();
    ups.InitNervaUPSLib = &BenchInit;
    ups.FinishNervaUPSLib = &BenchFinish;
    ups.GetCurrentBatteryLevel = &BenchBatteryLevel;
    ups.Shutdown = &BenchShutdown;
    MonitorSeams seams = DefaultMonitorSeams();  // real waits
    seams.LoadUpsLibrary = &BenchLoad;
    seams.EnterUpsLibraryFolder = &BenchEnterFolder;
    seams.RunExternalCommand = &BenchCommand;
    seams.ShutdownOperatingSystem = &BenchOsShutdown;
    seams.ReleaseUpsMemory = &BenchRelease;
    SetMonitorSeamsForTest(&seams);

    std::printf("WAIT_TIME %d s, EXCMDTIME %d s, %d trials; the files are in %s\n", waitTime, exCmdTime, trials,
                folder.c_str());
    Costs();
    if (trials > 0) Latency(trials, waitTime, exCmdTime);
    if (soakSeconds > 0) Soak(soakSeconds);
    return 0;
}
