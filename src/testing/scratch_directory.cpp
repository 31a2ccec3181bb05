#include "testing/scratch_directory.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/exe_path.h"
#include "common/win32.h"

namespace {

void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = entry.cFileName;
            if (name == "." || name == "..") continue;
            std::string full = folder + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full + "\\");
            } else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryA(folder.c_str());
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH] = {};
    GetTempPathA(sizeof(temp), temp);
    path_ = std::string(temp) + "vw-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++) + "\\";
    RemoveTree(path_);
    if (!CreateDirectoryA(path_.c_str(), nullptr)) throw std::runtime_error("cannot create " + path_);
    SetExeDirectoryForTest(path_);
}

ScratchDirectory::~ScratchDirectory() {
    SetExeDirectoryForTest(std::string());
    RemoveTree(path_);
}

void ScratchDirectory::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ScratchDirectory::ReadFile(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ScratchDirectory::Exists(const std::string& name) const {
    return GetFileAttributesA(File(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void ScratchDirectory::CopyShippedDataFiles() const {
    for (const char* name : {"msgtbl_jp.json", "msgtbl_en.json", "EventList_jp.csv", "EventList_en.csv"}) {
        std::ifstream in(std::string(VW_SOURCE_DIR "/data/") + name, std::ios::binary);
        if (!in) throw std::runtime_error(std::string("shipped file missing: ") + name);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        WriteFile(name, bytes.str());
    }
}
