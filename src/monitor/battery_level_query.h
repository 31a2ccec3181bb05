// The battery-level query of each UPS record, made on the battery lane (monitor/ups_link.h)
// and never on the library's event thread: the event callback asks and returns at once.
// The answer goes to the record's data-log line, the latest reading and the battery rules.
#pragma once

#include <cstdint>
#include <string>

// How long a query may take before the monitor gives up waiting for it.
constexpr int64_t kBatteryQueryLimitSeconds = 5;

// Asks for the battery level of `device` after one of its records. `dataLine` is the
// record's data-log line without its level when a line is due (empty when not): it is
// written with the level once answered, or with a level of 0 when the query cannot be
// made (one still runs) or is given up. At most one query is in the library at a time.
void AskBatteryLevel(int64_t device, const std::string& dataLine);

// Once a pass: a query that has run for more than kBatteryQueryLimitSeconds is given
// up; its line is written at once. `now` is an UnbiasedNow() reading.
void GiveUpOverdueBatteryQuery(int64_t now);

// Forgets a query that a test left running.
void ResetBatteryLevelQueryForTest();
