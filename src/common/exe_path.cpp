#include "common/exe_path.h"

#include <mutex>

#include "common/win32.h"

namespace {

std::mutex overrideLock;
std::string directoryOverride;

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
        std::lock_guard<std::mutex> guard(overrideLock);
        if (!directoryOverride.empty()) return directoryOverride;
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
    std::lock_guard<std::mutex> guard(overrideLock);
    directoryOverride = directoryWithTrailingBackslash;
}
