#include "common/atomic_file.h"

#include "common/scoped_handle.h"
#include "common/win32.h"

namespace {

// A reader such as the running service may hold the file open for a moment;
// this gives it well over the time it needs to read a few hundred bytes.
constexpr int kReplaceAttempts = 50;
constexpr DWORD kReplaceRetryMs = 20;

std::string TemporaryPathFor(const std::string& path) {
    return path + ".~" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetCurrentThreadId()) + ".tmp";
}

bool WriteAndFlush(const std::string& tempPath, const std::string& content, SECURITY_ATTRIBUTES* security) {
    ScopedFileHandle file(CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, security, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    if (!content.empty() &&
        (!WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
         written != content.size())) {
        return false;
    }
    return FlushFileBuffers(file.Get()) != FALSE;
}

bool IsTransientReplaceError(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& content, SECURITY_ATTRIBUTES* security) {
    const std::string tempPath = TemporaryPathFor(path);
    if (!WriteAndFlush(tempPath, content, security)) {
        DWORD error = GetLastError();
        DeleteFileA(tempPath.c_str());
        SetLastError(error);
        return false;
    }
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(tempPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        DWORD error = GetLastError();
        // A folder standing where the file should be is never going to be replaced.
        DWORD attributes = GetFileAttributesA(path.c_str());
        bool isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder || !IsTransientReplaceError(error) || attempt == kReplaceAttempts) {
            DeleteFileA(tempPath.c_str());
            SetLastError(error);
            return false;
        }
        Sleep(kReplaceRetryMs);
    }
}
