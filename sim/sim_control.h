// The simulator's control file NervaUPSSim.ini: what the simulated UPS is doing now.
// KEY=VALUE lines; every key is optional and a missing file means a healthy UPS on USB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimControl {
    std::string PresentOn = "USB";              // PRESENT_ON: "USB", "NONE" or a port name
    std::vector<std::string> Ports = {"COM1"};  // PORTS: what GetCOMList reports
    std::string Model = "Nerva UPS Simulator";  // MODEL
    bool MainsOn = true;                        // MAINS=ON/OFF
    int32_t Battery = 100;                      // BATTERY: charge in percent, 0..100
    bool BatteryLow = false;                    // BATTERY_LOW
    bool Silent = false;                        // SILENT: no callbacks at all
    bool Lost = false;                          // LOST: the UPS reports itself lost and vanishes
    bool HasEvent = false;                      // EVENT given
    int32_t Event = 0;                          // EVENT: code of a one-shot event
    int32_t EventSeq = 0;                       // EVENT_SEQ: a new value sends EVENT again
    int32_t MeasurementPeriodMs = 1000;         // MEASUREMENT_PERIOD_MS, 10..60000
    int32_t GetModelNameResult = 0;             // GETMODELNAME_RESULT
    std::vector<std::string> OpenComFail;       // OPENCOM_FAIL: ports whose OpenCOM is refused
    int32_t StartEventThreadResult = 0;         // STARTEVENTTHREAD_RESULT
    int32_t ShutdownResult = 0;                 // SHUTDOWN_RESULT
    std::vector<std::string> Block;             // BLOCK: entry points that hang while named here
    int32_t HoldFirstRecordMs = 0;              // HOLD_FIRST_RECORD_MS, 0..60000: a new handle's first record waits
};

// True when BLOCK names `entry` (without regard to letter case).
bool BlocksEntry(const SimControl& control, const char* entry);

// Reads the text of a control file. Keys are matched without regard to letter case,
// blanks around keys and values are dropped, lines starting with '#' or ';', lines
// without '=', unknown keys and values that do not parse are passed over (the key
// keeps its default), and a later line wins over an earlier one.
SimControl ParseSimControl(const std::string& text);

// The text with a-z turned to A-Z; other bytes, such as those of a multi-byte code
// page, stay as they are.
std::string UpperAscii(std::string text);

// Port names compare as Windows compares device names: without regard to letter case.
bool SamePortName(const std::string& a, const std::string& b);
