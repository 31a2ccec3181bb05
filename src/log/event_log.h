// EventLog\EventLog.csv beside the executable: the program's one running log.
#pragma once

#include <cstdint>
#include <string>

// Creates the EventLog folder when needed and opens the file for shared appending.
// True when the log is open afterwards.
bool OpenEventLogFile();

// Appends "<%Y/%m/%d,%H:%M:%S>,<text>" with CR LF and flushes it. Thread-safe; does
// nothing while the log is not open. A failed write does not silence later lines.
void TraceLog(const std::string& text);

// The failed-call line: `prefix` ("CreateService():ER=") and the code in unsigned decimal.
void TraceLogError(const std::string& prefix, uint32_t code);

// Tests close the log so that the next OpenEventLogFile starts afresh.
void CloseEventLogFileForTest();

// How one finished line reaches the open file (WriteFile by default). Tests install
// one that fails, as a full disk would; nullptr restores the default.
using EventLogWriteFunction = bool (*)(void* file, const std::string& line);
void SetEventLogWriteForTest(EventLogWriteFunction write);
