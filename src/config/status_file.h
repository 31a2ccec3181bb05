// Status.ini beside the executable: the service's view of the UPS for the console.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct StatusFile {
    int32_t AcFail = 0;      // ACFAIL: 1 while mains power has failed
    int32_t Connection = 0;  // CONNECTION: 1 while a UPS device is open
    std::string Model;       // MODEL: model name from the last successful connect
};

// ExeDirectory() + "Status.ini", for the service and the console alike.
std::string StatusFilePath();

// Fills `status` from the file. False when it cannot be opened or a numeric value
// does not convert (fields stored from earlier lines keep their new values).
bool ReadStatusFile(StatusFile& status);

// The service's process-wide record. Under one process-wide lock: applies `change`
// to the record and replaces Status.ini atomically with all three values. Returns
// whether the file was written; the record is changed either way.
bool PublishStatus(const std::function<void(StatusFile&)>& change);

// A copy of the process-wide record, taken under the same lock.
StatusFile CurrentStatus();

void ResetStatusForTest();
