// Appends the call log, one short-lived open per line: the file is shared by every
// process that loads the simulator (the service and the console) and stays deletable.
#include "sim_call_log.h"

#include <cstdio>

#include "common/scoped_handle.h"
#include "common/win32.h"

namespace {

std::string simFolder;
SRWLOCK logLock = SRWLOCK_INIT;
std::string lastCall;  // entry and details of the line this process logged last

}  // namespace

void SetSimFolder(const std::string& folder) { simFolder = folder; }

const std::string& SimFolder() { return simFolder; }

std::string LogText(const std::string& text) {
    std::string safe = text;
    for (char& c : safe) {
        if (c == ',' || c == '\r' || c == '\n') c = '_';
    }
    return safe;
}

void WriteCallLog(const char* entry, const std::string& details, CallLogRepeats repeats) {
    std::string call = details.empty() ? std::string(entry) : std::string(entry) + "," + details;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "%04u/%02u/%02u %02u:%02u:%02u.%03u,%lu,", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    std::string line = std::string(stamp) + call + "\r\n";

    // One lock per process keeps the lines in call order; FILE_APPEND_DATA makes each
    // line land whole at the end even when another process appends at the same time.
    AcquireSRWLockExclusive(&logLock);
    if (repeats == CallLogRepeats::Written || call != lastCall) {
        lastCall = call;
        ScopedFileHandle file(CreateFileA((simFolder + "NervaUPSSim.log").c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            DWORD written = 0;
            WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
    ReleaseSRWLockExclusive(&logLock);
}
