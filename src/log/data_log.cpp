// The daily measurement log: DataLog\YYYYMMDD.csv beside the executable, a heading
// line at the top of each new file, and files older than 29 days pruned on every open.
#include "log/data_log.h"

#include <cstdio>
#include <ctime>
#include <mutex>

#include "common/clock.h"
#include "common/decimal.h"
#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "messages/message_table.h"

namespace {

constexpr std::time_t kRetentionSeconds = 29 * 86400;
// The largest moment the date conversion accepts: 3000-12-31 23:59:59 UTC.
constexpr std::time_t kLatestConvertibleTime = 32535215999;

// One lock for the file and the date of the day it belongs to: the monitor thread
// opens the log while the UPS library's thread writes to it. Never destroyed: the
// library's thread may still hand over a line while the process exits.
struct DataLogState {
    std::mutex lock;
    ScopedFileHandle file;
    std::string currentDate;
};

DataLogState& State() {
    static DataLogState* state = new DataLogState();
    return *state;
}

std::string DateStampOf(std::time_t when) {
    std::tm local = LocalCalendarTime(when);
    return DateStampOfDay(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

// A line of the log never spans two lines of the file, whatever bytes it was given.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return line + "\r\n";
}

// Writes the whole text; a failed write (a full disk) is simply tried again with the
// next line, as the handle stays open.
void WriteLocked(const std::string& text) {
    DWORD written = 0;
    WriteFile(State().file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool OpenLocked(std::time_t now) {
    ScopedFileHandle& dataLogFile = State().file;
    std::string& currentDataLogDate = State().currentDate;
    std::string folder = DataLogFolder();
    if (!EnsureFolder(folder)) return false;
    PruneDataLogs(folder);

    std::string today = DateStampOf(now);
    if (dataLogFile && currentDataLogDate != today) dataLogFile.Close();
    currentDataLogDate = today;
    if (dataLogFile) return true;

    std::string path = JoinPath(folder, today + ".csv");
    // OPEN_ALWAYS says whether the file was there already, in the same step that opens it.
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    dataLogFile.Reset(file);
    if (!dataLogFile) return false;
    if (!existed) WriteLocked(OneLine(MessageText("Data_logHeader")));
    return true;
}

}  // namespace

std::string DataLogFolder() { return ExeRelativePath("DataLog"); }

std::string DateStampOfDay(int32_t year, int32_t month, int32_t day) {
    char stamp[32] = {};
    std::snprintf(stamp, sizeof(stamp), "%d%02d%02d", static_cast<int>(year), static_cast<int>(month),
                  static_cast<int>(day));
    return stamp;
}

std::string DateStamp() { return DateStampOf(UnixTimeNow()); }

bool DataLogNameExpired(const std::string& name, std::time_t now) {
    if (name.size() < 8) return false;
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    if (!ParseInt32(name.substr(0, 4), year) || !ParseInt32(name.substr(4, 2), month) ||
        !ParseInt32(name.substr(6, 2), day)) {
        return false;
    }
    std::tm midnight = {};
    midnight.tm_year = year - 1900;
    midnight.tm_mon = month - 1;
    midnight.tm_mday = day;
    midnight.tm_isdst = 0;
    std::time_t named = std::mktime(&midnight);
    // The conversion rejects moments before 1970 and after the year 3000 with -1; some
    // runtimes stretch either end, so the range is held here too: such a name counts as expired.
    if (named < 0 || named > kLatestConvertibleTime) return true;
    return now - named >= kRetentionSeconds;
}

bool DataLogEntryIsPrunable(uint32_t attributes) {
    // Folders, symbolic links and junctions are never deleted, nor anything behind them.
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

void PruneDataLogs(const std::string& folder) {
    const std::time_t now = UnixTimeNow();
    WIN32_FIND_DATAA entry;
    ScopedFindHandle find(FindFirstFileA(JoinPath(folder, "*").c_str(), &entry));
    if (!find) return;
    do {
        std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        if (!DataLogEntryIsPrunable(entry.dwFileAttributes)) continue;
        if (!DataLogNameExpired(name, now)) continue;
        // A file that cannot be deleted (read-only, in use) stays; the pass goes on.
        DeleteFileA(JoinPath(folder, name).c_str());
    } while (FindNextFileA(find.Get(), &entry));
}

bool OpenDataLogFile() {
    std::lock_guard<std::mutex> guard(State().lock);
    return OpenLocked(UnixTimeNow());
}

void WriteDataLog(const std::string& line) {
    DataLogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    // One clock reading for the day and the stamp, so a line written at midnight never
    // lands in the file of the day before with the date of the day after.
    const std::time_t now = UnixTimeNow();
    std::string today = DateStampOf(now);
    if (state.currentDate.empty() || state.currentDate != today) {
        state.file.Close();
        OpenLocked(now);
    }
    if (!state.file) return;
    WriteLocked(OneLine(LocalTimeStamp(now) + "," + line));
}

void CloseDataLogForTest() {
    DataLogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.file.Close();
    state.currentDate.clear();
}
