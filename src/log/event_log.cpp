#include "log/event_log.h"

#include <atomic>
#include <mutex>

#include "common/clock.h"
#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/win32.h"

namespace {

// One lock for the open and every line, so lines of the service's threads never
// interleave. The handle has no error state: a write that failed (a full disk)
// leaves the next line free to try again.
struct EventLogState {
    std::mutex lock;
    ScopedFileHandle file;
};

// Never destroyed: the UPS library's thread may still log while the process exits,
// and the system closes the handle at the end of the process.
EventLogState& State() {
    static EventLogState* state = new EventLogState;
    return *state;
}

bool WriteWholeLine(void* file, const std::string& line) {
    DWORD written = 0;
    return WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size();
}

std::atomic<EventLogWriteFunction> activeWrite{&WriteWholeLine};

// A line break inside a text would start a line without date and time.
std::string SingleLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

}  // namespace

bool OpenEventLogFile() {
    const std::string folder = ExeRelativePath("EventLog");
    EventLogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.file) return true;
    if (!EnsureFolder(folder)) return false;
    // Append-only access makes every WriteFile land at the current end of the file,
    // so the service and a console command can both append to it.
    state.file.Reset(CreateFileA(JoinPath(folder, "EventLog.csv").c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    return state.file.IsValid();
}

void TraceLog(const std::string& text) {
    // Callers may log a failure before they read its error code.
    DWORD savedError = GetLastError();
    const std::string line = LocalTimeStamp(UnixTimeNow()) + "," + SingleLine(text) + "\r\n";
    EventLogState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        // The result is not kept: nothing marks the log as failed, so the next line tries again.
        if (state.file) activeWrite.load()(state.file.Get(), line);
    }
    SetLastError(savedError);
}

void TraceLogError(const std::string& prefix, uint32_t code) { TraceLog(prefix + std::to_string(code)); }

void SetEventLogWriteForTest(EventLogWriteFunction write) {
    activeWrite.store(write != nullptr ? write : &WriteWholeLine);
}

void CloseEventLogFileForTest() {
    EventLogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.file.Close();
}
