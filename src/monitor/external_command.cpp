// Runs the administrator's external command: its output comes through a pipe that is
// read while the command runs, and the wait never outlasts the time limit.
#include "monitor/external_command.h"

#include <algorithm>
#include <vector>

#include "common/scoped_handle.h"
#include "log/event_log.h"

namespace {

// While the command is quiet the pipe is looked at this often; while it talks, at once.
constexpr DWORD kIdleSliceMs = 20;
constexpr DWORD kReadChunkBytes = 64 * 1024;

// A process-thread attribute list that lets the child inherit one handle only. Without
// it the child would inherit every inheritable handle of the service (the UPS
// library's among them), not just the pipe's write end.
class SingleInheritList {
public:
    SingleInheritList() = default;
    SingleInheritList(const SingleInheritList&) = delete;
    SingleInheritList& operator=(const SingleInheritList&) = delete;
    ~SingleInheritList() {
        if (ready_) DeleteProcThreadAttributeList(List());
    }

    // False when the system cannot build the list; the caller then goes without.
    bool Build(HANDLE handle) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        if (size == 0) return false;
        storage_.assign(size, 0);
        if (!InitializeProcThreadAttributeList(List(), 1, 0, &size)) return false;
        ready_ = true;
        handles_[0] = handle;  // the list keeps a pointer to this array
        return UpdateProcThreadAttribute(List(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_, sizeof(handles_),
                                         nullptr, nullptr) != FALSE;
    }

    LPPROC_THREAD_ATTRIBUTE_LIST List() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()); }

private:
    std::vector<char> storage_;
    HANDLE handles_[1] = {nullptr};
    bool ready_ = false;
};

struct PipeReader {
    explicit PipeReader(HANDLE readEnd) : pipe(readEnd) {}
    HANDLE pipe;
    std::string captured;
    std::vector<char> buffer = std::vector<char>(kReadChunkBytes);
    bool closed = false;  // every writer has gone (or the pipe failed): nothing more will come

    // Reads what the pipe holds right now and never blocks: a grandchild that keeps
    // the write end open must not hold the runner. True when anything was read.
    bool ReadAvailable() {
        if (closed) return false;
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            closed = true;
            return false;
        }
        bool gotData = false;
        while (available > 0) {
            DWORD got = 0;
            DWORD want = std::min<DWORD>(available, kReadChunkBytes);
            if (!ReadFile(pipe, buffer.data(), want, &got, nullptr)) {
                closed = true;
                break;
            }
            if (got == 0) break;
            Keep(got);
            gotData = true;
            available -= std::min(available, got);
        }
        return gotData;
    }

    void Keep(DWORD count) {
        if (captured.size() >= kExternalCommandOutputLimit) return;
        size_t room = kExternalCommandOutputLimit - captured.size();
        captured.append(buffer.data(), std::min<size_t>(count, room));
    }
};

}  // namespace

std::string NormalizeLineEnds(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        result.push_back(text[i]);
    }
    return result;
}

int32_t RunExternalCommand(const std::string& commandLine, std::string& output, int32_t timeLimitSeconds,
                           HANDLE wakeEvent) {
    // Neither end is inheritable at first; only the write end is handed to the child.
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    ScopedKernelHandle readEnd;
    ScopedKernelHandle writeEnd;
    if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), &security, 0)) return 0;
    if (!SetHandleInformation(writeEnd.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return 0;

    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof(STARTUPINFOA);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = writeEnd.Get();
    startup.StartupInfo.hStdError = writeEnd.Get();
    DWORD creationFlags = CREATE_NO_WINDOW;
    SingleInheritList inheritList;
    if (inheritList.Build(writeEnd.Get())) {
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = inheritList.List();
        creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    // CreateProcessA may write into the command line, so it gets a private copy.
    std::vector<char> writableCommand(commandLine.c_str(), commandLine.c_str() + commandLine.size() + 1);
    PROCESS_INFORMATION created = {};
    BOOL started = CreateProcessA(nullptr, writableCommand.data(), nullptr, nullptr, TRUE, creationFlags, nullptr,
                                  nullptr, &startup.StartupInfo, &created);
    DWORD createError = GetLastError();
    // The child holds its own copy now; ours must go or the pipe never reports its end.
    writeEnd.Close();
    if (!started) {
        TraceLogError("CreateProcess():ER=", createError);
        return 0;
    }
    ScopedKernelHandle process(created.hProcess);
    ScopedKernelHandle thread(created.hThread);

    const ULONGLONG begin = GetTickCount64();
    const ULONGLONG limitMs = timeLimitSeconds > 0 ? static_cast<ULONGLONG>(timeLimitSeconds) * 1000 : 0;
    HANDLE waitables[2] = {process.Get(), wakeEvent};
    const DWORD waitableCount = wakeEvent != nullptr ? 2 : 1;

    PipeReader reader(readEnd.Get());
    bool ended = false;
    for (;;) {
        bool talking = reader.ReadAvailable();
        ULONGLONG elapsed = GetTickCount64() - begin;
        ULONGLONG remaining = elapsed < limitMs ? limitMs - elapsed : 0;
        // Once the pipe is closed there is nothing to poll for: wait for the end itself.
        ULONGLONG slice = reader.closed ? remaining : (talking ? 0 : std::min<ULONGLONG>(remaining, kIdleSliceMs));
        DWORD waited = WaitForMultipleObjects(waitableCount, waitables, FALSE,
                                              static_cast<DWORD>(std::min<ULONGLONG>(slice, INFINITE - 1)));
        if (waited == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
        // A stop request, or a wait that failed: give up as on a time-out.
        if (waited != WAIT_TIMEOUT) break;
        if (GetTickCount64() - begin >= limitMs) break;
    }

    if (!ended) {
        output = kExternalCommandTimeOutText;
        return 0;
    }

    // The command has ended, so everything it wrote is in the pipe already. Take what
    // is there; whatever a grandchild still writes is not waited for beyond the limit.
    while (reader.ReadAvailable() && GetTickCount64() - begin < limitMs) {
    }
    output = NormalizeLineEnds(output + reader.captured);
    return started;
}
