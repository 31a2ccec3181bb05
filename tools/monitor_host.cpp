// Runs the monitor thread in a process of its own, the way the service does, but
// from a command prompt: for end-to-end tests, rehearsals and measurements.
//
//   monitor_host [--seconds N] [--usage]
//
// Starts like the service (event list, settings, message table, event log), then
// runs MonitorThreadMain until Windows has accepted the sequence's power-off or
// hibernation (the thread is then stopped: on a real computer the process would end
// there), until the file "monitor_host.stop" appears beside the exe, or until N
// seconds have passed. A stop is handled like the service's: the stop is requested,
// the thread is waited for (to the end of a shutdown sequence under way), and one
// final pass runs. Prints one line
// "monitor thread ended: shutdown" or "... stopped"; with --usage also the
// process's CPU time (from 10 s after the start on) and its private memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "config/settings.h"
#include "log/event_list.h"
#include "log/event_log.h"
#include "messages/message_table.h"
#include "monitor/monitor_thread.h"
#include "process_usage.h"

#include <psapi.h>

namespace {

using namespace process_usage;

// The start-up (Wine's own included) is left out: CPU is counted from `baselineCpuMs`,
// taken once the monitor has settled.
void PrintUsage(double seconds, double baselineSeconds, double baselineCpuMs, HANDLE monitorThread) {
    double cpuMs = ProcessCpuMilliseconds();
    double steadySeconds = seconds - baselineSeconds;
    double steadyCpuMs = cpuMs - baselineCpuMs;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("usage: seconds=%.1f cpu_ms_total=%.1f steady_seconds=%.1f steady_cpu_ms=%.1f "
                "steady_cpu_percent=%.4f monitor_thread_cpu_ms=%.1f main_thread_cpu_ms=%.1f private_kb=%llu heap_in_use_kb=%llu "
                "peak_working_set_kb=%llu\n",
                seconds, cpuMs, steadySeconds, steadyCpuMs,
                steadySeconds > 0 ? steadyCpuMs / (steadySeconds * 10.0) : 0.0, ThreadCpuMilliseconds(monitorThread),
                ThreadCpuMilliseconds(GetCurrentThread()),
                static_cast<unsigned long long>(PrivateBytes() / 1024),
                static_cast<unsigned long long>(HeapBytesInUse() / 1024),
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024));
}

}  // namespace

int main(int argc, char** argv) {
    long limitSeconds = -1;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            limitSeconds = std::strtol(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--usage") == 0) {
            usage = true;
        } else {
            std::fprintf(stderr, "usage: monitor_host [--seconds N] [--usage]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    LoadEventList();
    ReadSettings(ProcessSettings());
    LoadMessageTable(MessageFileForLang(ProcessSettings().Lang));
    OpenEventLogFile();

    MonitorPrepareRun();
    ScopedKernelHandle thread(CreateThread(nullptr, 0, &MonitorThreadMain, &MonitorRunFlag, CREATE_SUSPENDED, nullptr));
    if (!thread) {
        std::printf("CreateThread():ER=%lu\n", GetLastError());
        return 1;
    }
    MonitorRunFlag = 1;
    ResumeThread(thread.Get());
    std::printf("monitor thread started\n");

    const std::string stopFile = ExeRelativePath("monitor_host.stop");
    const ULONGLONG started = GetTickCount64();
    constexpr ULONGLONG kSettleMs = 10000;
    double baselineSeconds = 0;
    double baselineCpuMs = ProcessCpuMilliseconds();
    bool settled = false;
    bool shutdownAccepted = false;
    for (;;) {
        if (!settled && GetTickCount64() - started >= kSettleMs) {
            settled = true;
            baselineSeconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
            baselineCpuMs = ProcessCpuMilliseconds();
        }
        if (WaitForSingleObject(thread.Get(), 250) == WAIT_OBJECT_0 || MonitorOsRequestAccepted()) {
            shutdownAccepted = true;
            break;
        }
        if (GetFileAttributesA(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) break;
        if (limitSeconds >= 0 && GetTickCount64() - started >= static_cast<ULONGLONG>(limitSeconds) * 1000) break;
    }
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;
    if (usage) PrintUsage(seconds, baselineSeconds, baselineCpuMs, thread.Get());

    MonitorRequestStop();
    // As the service's stop: a shutdown sequence under way is waited for to its end.
    while (WaitForSingleObject(thread.Get(), 10000) != WAIT_OBJECT_0) {
        if (!MonitorShutdownSequenceRunning()) {
            std::printf("monitor thread did not end\n");
            return 1;
        }
    }
    thread.Close();
    MonitorPass();
    std::printf(shutdownAccepted ? "monitor thread ended: shutdown\n" : "monitor thread ended: stopped\n");
    return 0;
}
