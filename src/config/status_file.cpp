#include "config/status_file.h"

#include <mutex>

#include "common/atomic_file.h"
#include "common/decimal.h"
#include "common/exe_path.h"
#include "config/key_value_file.h"

namespace {

// The monitor thread and the UPS library's event thread both publish; one lock
// around the change and the file replacement keeps their writes from crossing.
// Neither is ever destroyed: the event thread may still publish while the process exits.
std::mutex& StatusLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

StatusFile& ProcessStatus() {
    static auto* status = new StatusFile;
    return *status;
}

// The model name comes from the UPS; a line break in it must not forge a line of its own.
std::string SingleLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

std::string StatusFileContent(const StatusFile& status) {
    return "ACFAIL=" + std::to_string(status.AcFail) + "\r\n" +
           "CONNECTION=" + std::to_string(status.Connection) + "\r\n" +
           "MODEL=" + SingleLine(status.Model) + "\r\n";
}

}  // namespace

// Both the service and the console use the executable's folder, so the console
// shows the service's status whatever its own current directory is.
std::string StatusFilePath() { return ExeRelativePath("Status.ini"); }

bool ReadStatusFile(StatusFile& status) {
    bool numbersConverted = true;
    bool read = ReadKeyValueFile(StatusFilePath(), [&](const std::string& key, const std::string& value) {
        int32_t* number = nullptr;
        if (key == "CONNECTION") {
            number = &status.Connection;
        } else if (key == "ACFAIL") {
            number = &status.AcFail;
        } else if (key == "MODEL") {
            status.Model = value;
            return true;
        } else {
            return true;
        }
        if (!ParseInt32(value, *number)) {
            numbersConverted = false;
            return false;
        }
        return true;
    });
    return read && numbersConverted;
}

bool PublishStatus(const std::function<void(StatusFile&)>& change) {
    std::lock_guard<std::mutex> guard(StatusLock());
    StatusFile& status = ProcessStatus();
    change(status);
    return WriteFileAtomically(StatusFilePath(), StatusFileContent(status));
}

StatusFile CurrentStatus() {
    std::lock_guard<std::mutex> guard(StatusLock());
    return ProcessStatus();
}

void ResetStatusForTest() {
    std::lock_guard<std::mutex> guard(StatusLock());
    ProcessStatus() = StatusFile();
}
