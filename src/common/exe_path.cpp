#include "common/exe_path.h"

#include <mutex>

#include "common/win32.h"

namespace {

// A test's folder in place of the executable's. Never destroyed: the UPS library's
// thread may still build a path (Status.ini, the data log) while exit() runs.
struct DirectoryOverride {
    std::mutex lock;
    std::string directory;
};

DirectoryOverride& Override() {
    static auto* instance = new DirectoryOverride;
    return *instance;
}

std::string ModuleDirectory() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path)) return std::string();
    std::string full(path, length);
    size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
}

}  // namespace

std::string ExeDirectory() {
    {
        std::lock_guard<std::mutex> guard(Override().lock);
        if (!Override().directory.empty()) return Override().directory;
    }
    return ModuleDirectory();
}

std::string ExeRelativePath(const std::string& name) { return ExeDirectory() + name; }

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    if (last == '\\' || last == '/') return folder + name;
    return folder + "\\" + name;
}

void SetExeDirectoryForTest(const std::string& directoryWithTrailingBackslash) {
    std::lock_guard<std::mutex> guard(Override().lock);
    Override().directory = directoryWithTrailingBackslash;
}

bool EnsureFolder(const std::string& folder) {
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
        if (CreateDirectoryA(folder.c_str(), nullptr)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
        // Another process (the service, a console command) may have just created it.
        attributes = GetFileAttributesA(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    SetLastError(ERROR_DIRECTORY);
    return false;
}
