// The control file is looked at on every host call whose answer depends on it and on every
// wake of the event thread; reading it each time (twice, to catch a half-written file) was
// what made an idle host busy. A look now costs one attribute query.
#include "sim_control_watch.h"

#include "common/scoped_handle.h"
#include "common/win32.h"

namespace {

// File times come from a coarse clock: two writes of the same size a few milliseconds
// apart can leave the same stamp. A file younger than this is read again at every look.
constexpr uint64_t kSettleTime = 2ull * 10000000ull;  // 2 s in 100-ns units
constexpr size_t kMaxControlBytes = 1u << 20;

uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t SystemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}

// False when the file is there but could not be read whole now.
bool ReadWhole(const std::string& path, std::string& out) {
    out.clear();
    ScopedFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        // A missing file is a healthy default UPS.
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    char buffer[4096];
    while (out.size() < kMaxControlBytes) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr)) return false;
        if (got == 0) break;
        out.append(buffer, got);
    }
    return true;
}

}  // namespace

bool ControlFileWatch::ReadStamp(Stamp& stamp) const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)) {
        stamp.Exists = true;
        stamp.LastWrite = FileTimeValue(data.ftLastWriteTime);
        stamp.Size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        return true;
    }
    DWORD error = GetLastError();
    stamp = Stamp();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Read whole, twice in a row, and taken only when both reads agree: a file caught
// half-written by a test or an editor is never acted upon.
bool ControlFileWatch::ReadAgreedText(std::string& text) const {
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::string first;
        std::string second;
        if (!ReadWhole(path_, first)) return false;
        Sleep(5);
        if (!ReadWhole(path_, second)) return false;
        if (first == second) {
            text = first;
            return true;
        }
        Sleep(20);
    }
    return false;
}

ControlFileWatch::Look ControlFileWatch::LookAt(std::string& text) {
    // The stamp is taken before the read: a write that lands during the read changes the
    // stamp again, and the next look reads once more.
    Stamp stamp;
    bool stamped = ReadStamp(stamp);
    if (stamped && taken_ && settled_ && stamp == takenStamp_) return Look::Unchanged;
    if (!ReadAgreedText(text)) {
        settled_ = false;
        return Look::Unreadable;
    }
    taken_ = stamped;
    takenStamp_ = stamp;
    uint64_t now = SystemTimeNow();
    settled_ = stamped && (!stamp.Exists || (now >= stamp.LastWrite && now - stamp.LastWrite >= kSettleTime));
    return Look::Read;
}
