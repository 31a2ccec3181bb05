// The battery-level query and its answer. A query that hangs keeps the lane; the records
// that come meanwhile get their lines with a level of 0, and ask nothing more of it.
#include "monitor/battery_level_query.h"

#include <mutex>

#include "common/clock.h"
#include "log/data_log.h"
#include "monitor/battery_reports.h"
#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_link.h"
#include "monitor/ups_reading.h"

namespace {

struct Query {
    std::mutex lock;
    bool running = false;    // a query is in the library, or about to be
    int64_t startedAt = 0;   // UnbiasedNow() when it was asked
    bool lineWaits = false;  // its record's line waits for its answer
    std::string line;
};

// Never destroyed: a query may still hang, and answer, while the process exits.
Query& TheQuery() {
    static auto* query = new Query;
    return *query;
}

void WriteLine(const std::string& line, int32_t level) { WriteDataLog(line + "," + std::to_string(level)); }

// Under the lock: the line that waits, taken so that exactly one writer writes it.
bool TakeLine(Query& query, std::string& line) {
    if (!query.lineWaits) return false;
    query.lineWaits = false;
    line = std::move(query.line);
    query.line.clear();
    return true;
}

void Answer(int64_t device, bool read, int32_t level) {
    Query& query = TheQuery();
    std::string line;
    bool lineTaken = false;
    {
        std::lock_guard<std::mutex> guard(query.lock);
        query.running = false;
        lineTaken = TakeLine(query, line);
    }
    if (lineTaken) WriteLine(line, level);
    MonitorState& state = TheMonitorState();
    // A device dropped while its query ran: the answer is nobody's.
    if (device != state.DeviceHandle.load()) return;
    StoreUpsCharge(device, read, level);
    NoteCharge(state, read, level);
}

void Ask(int64_t device) {
    int32_t level = 0;  // the library's result is not a promise that it wrote the level
    bool read = false;
    try {
        read = MonitorUpsLibrary().GetCurrentBatteryLevel(device, &level) == 0;
    } catch (...) {
        // Answered as unread, or no query would ever be asked again; the lane writes the line.
        Answer(device, false, 0);
        throw;
    }
    Answer(device, read, level);
}

}  // namespace

void AskBatteryLevel(int64_t device, const std::string& dataLine) {
    Query& query = TheQuery();
    bool ask = false;
    {
        std::lock_guard<std::mutex> guard(query.lock);
        if (!query.running) {
            query.running = true;
            query.startedAt = UnbiasedNow();
            query.lineWaits = !dataLine.empty();
            query.line = dataLine;
            ask = true;
        }
    }
    if (ask && StartOnBatteryLane([device] { Ask(device); })) return;
    if (ask) {
        std::lock_guard<std::mutex> guard(query.lock);
        query.running = false;
        query.lineWaits = false;
        query.line.clear();
    }
    // A query still runs (or hangs): this record goes without a level, and nothing more
    // is asked of the library meanwhile.
    if (!dataLine.empty()) WriteLine(dataLine, 0);
}

void GiveUpOverdueBatteryQuery(int64_t now) {
    Query& query = TheQuery();
    std::string line;
    bool lineTaken = false;
    {
        std::lock_guard<std::mutex> guard(query.lock);
        if (query.running && now - query.startedAt > kBatteryQueryLimitSeconds * kTicksPerSecond) {
            lineTaken = TakeLine(query, line);
        }
    }
    if (lineTaken) WriteLine(line, 0);
}

void ResetBatteryLevelQueryForTest() {
    Query& query = TheQuery();
    std::lock_guard<std::mutex> guard(query.lock);
    query.running = false;
    query.lineWaits = false;
    query.line.clear();
}
