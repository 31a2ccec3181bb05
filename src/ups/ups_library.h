// What the program relies on from the UPS maker's library NervaUPSLib.dll: the event
// callback, the 40-byte measurement record and the table of its 90 entry points.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Called by the library on a thread of its own. For code 60, `data` is a StatusRecord
// from malloc that the callee releases with free.
typedef void (*NervaEventCallback)(int64_t device, int32_t code, void* data);

typedef int32_t (*InitNervaUPSLibProc)(NervaEventCallback callback);
typedef int32_t (*FinishNervaUPSLibProc)(void);
typedef int32_t (*GetUPSListProc)(int64_t** devices, int32_t* count);
typedef int32_t (*GetCOMListProc)(char*** names, int32_t* count);
typedef int32_t (*FreeCOMListProc)(char** names);
typedef int32_t (*OpenCOMProc)(const char* port, int64_t* device);
typedef int32_t (*StartEventThreadForCOMProc)(int64_t device);
typedef int32_t (*CloseCOMProc)(int64_t device);
typedef int32_t (*GetModelNameProc)(int64_t device, char** model);
typedef int32_t (*GetCurrentBatteryLevelProc)(int64_t device, int32_t* level);
typedef int32_t (*ShutdownProc)(int64_t device, int32_t backupTime);

// Entry points that are resolved but never called.
typedef void (*UpsGenericProc)(void);

}  // extern "C"

// Event codes with a fixed meaning.
constexpr int32_t kUpsEventAlive = 1;
constexpr int32_t kUpsEventDeviceLost = 2;
constexpr int32_t kUpsEventMainsFailed = 3;
constexpr int32_t kUpsEventMainsRestored = 4;
constexpr int32_t kUpsEventBatteryLow = 5;
constexpr int32_t kUpsEventMeasurement = 60;

// The measurement record passed with code 60. Seven NUL-terminated text fields, then
// the mains-failure indicator (1 = mains failed, 0 = mains present).
struct StatusRecord {
    char Field1[6];
    char Field2[5];
    char Field3[6];
    char Field4[5];
    char Field5[5];
    char Field6[4];
    char Field7[5];
    int32_t MainsFailed;
};
static_assert(offsetof(StatusRecord, Field1) == 0, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field2) == 6, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field3) == 11, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field4) == 17, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field5) == 22, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field6) == 27, "StatusRecord layout");
static_assert(offsetof(StatusRecord, Field7) == 31, "StatusRecord layout");
static_assert(offsetof(StatusRecord, MainsFailed) == 36, "StatusRecord layout");
static_assert(sizeof(StatusRecord) == 40, "StatusRecord layout");

// The library's 90 entry points in table order; an entry the library does not export is null.
struct UpsLibrary {
    InitNervaUPSLibProc InitNervaUPSLib = nullptr;
    FinishNervaUPSLibProc FinishNervaUPSLib = nullptr;
    GetUPSListProc GetUPSList = nullptr;
    GetCOMListProc GetCOMList = nullptr;
    FreeCOMListProc FreeCOMList = nullptr;
    OpenCOMProc OpenCOM = nullptr;
    StartEventThreadForCOMProc StartEventThreadForCOM = nullptr;
    CloseCOMProc CloseCOM = nullptr;
    GetModelNameProc GetModelName = nullptr;
    UpsGenericProc GetSerialNumber = nullptr;
    GetCurrentBatteryLevelProc GetCurrentBatteryLevel = nullptr;
    UpsGenericProc SetBackupTime = nullptr;
    UpsGenericProc GetBackupTimeSetting = nullptr;
    UpsGenericProc SetMinimumBatteryLevelForPowerOn = nullptr;
    UpsGenericProc GetMinimumBatteryLevelForPowerOnSetting = nullptr;
    UpsGenericProc SetEnableAutoPowerOn = nullptr;
    UpsGenericProc GetEnableAutoPowerOnSetting = nullptr;
    UpsGenericProc SetBatteryLowDetectionLevel = nullptr;
    UpsGenericProc GetBatteryLowDetectionLevelSetting = nullptr;
    UpsGenericProc StopOutputOfOutletA = nullptr;
    UpsGenericProc StopOutputOfOutletB = nullptr;
    UpsGenericProc StopOutputOfOutletC = nullptr;
    UpsGenericProc SetDelayAfterShutdownOfOutletA = nullptr;
    UpsGenericProc GetDelayAfterShutdownOfOutletASetting = nullptr;
    UpsGenericProc SetDelayAfterShutdownOfOutletB = nullptr;
    UpsGenericProc GetDelayAfterShutdownOfOutletBSetting = nullptr;
    UpsGenericProc SetDelayAfterShutdownOfOutletC = nullptr;
    UpsGenericProc GetDelayAfterShutdownOfOutletCSetting = nullptr;
    ShutdownProc Shutdown = nullptr;
    UpsGenericProc ShutdownManualReboot = nullptr;
    UpsGenericProc ShutdownAndReboot = nullptr;
    UpsGenericProc ShutdownCancel = nullptr;
    UpsGenericProc SetBuzzer = nullptr;
    UpsGenericProc GetBuzzerSetting = nullptr;
    UpsGenericProc SetParentOutputDelayTime = nullptr;
    UpsGenericProc GetParentOutputDelayTimeSetting = nullptr;
    UpsGenericProc SetOutputDelayTimeOfOutletA = nullptr;
    UpsGenericProc GetOutputDelayTimeOfOutletASetting = nullptr;
    UpsGenericProc SetOutputDelayTimeOfOutletB = nullptr;
    UpsGenericProc GetOutputDelayTimeOfOutletBSetting = nullptr;
    UpsGenericProc SetOutputDelayTimeOfOutletC = nullptr;
    UpsGenericProc GetOutputDelayTimeOfOutletCSetting = nullptr;
    UpsGenericProc SetOutputOfOutletA = nullptr;
    UpsGenericProc GetOutputOfOutletASetting = nullptr;
    UpsGenericProc GetOutputStatusOfOutletA = nullptr;
    UpsGenericProc SetOutputOfOutletB = nullptr;
    UpsGenericProc GetOutputOfOutletBSetting = nullptr;
    UpsGenericProc GetOutputStatusOfOutletB = nullptr;
    UpsGenericProc SetOutputOfOutletC = nullptr;
    UpsGenericProc GetOutputOfOutletCSetting = nullptr;
    UpsGenericProc GetOutputStatusOfOutletC = nullptr;
    UpsGenericProc SetFourWeekTest = nullptr;
    UpsGenericProc GetFourWeekTestSetting = nullptr;
    UpsGenericProc SetColdStart = nullptr;
    UpsGenericProc GetColdStartSetting = nullptr;
    UpsGenericProc SetFunctionTest = nullptr;
    UpsGenericProc GetFunctionTestSetting = nullptr;
    UpsGenericProc SetDateOfUPSInstallation = nullptr;
    UpsGenericProc GetDateOfUPSInstallationSetting = nullptr;
    UpsGenericProc SetDateOfBatteryReplacement = nullptr;
    UpsGenericProc GetDateOfBatteryReplacementSetting = nullptr;
    UpsGenericProc BeepBuzzer = nullptr;
    UpsGenericProc GetUPSFirmwareVersion = nullptr;
    UpsGenericProc GetEstimatedRunTime = nullptr;
    UpsGenericProc FunctionTest = nullptr;
    UpsGenericProc SetOutputVoltage = nullptr;
    UpsGenericProc GetOutputVoltageSetting = nullptr;
    UpsGenericProc SetSensitivity = nullptr;
    UpsGenericProc GetSensitivitySetting = nullptr;
    UpsGenericProc GetFaultCode = nullptr;
    UpsGenericProc SetDCDCStart = nullptr;
    UpsGenericProc GetDCDCStartSetting = nullptr;
    UpsGenericProc GetUPSMemo = nullptr;
    UpsGenericProc SetUPSMemo = nullptr;
    UpsGenericProc SetUPSDateTime = nullptr;
    UpsGenericProc GetUPSDateTime = nullptr;
    UpsGenericProc GetTotalOperatingTime = nullptr;
    UpsGenericProc ResetNumberOfTimesOfBackup = nullptr;
    UpsGenericProc GetNumberOfTimesOfBackup = nullptr;
    UpsGenericProc GetOutputStatusOfTraceAbility = nullptr;
    UpsGenericProc GetEBM1SerialNumber = nullptr;
    UpsGenericProc GetEBM2SerialNumber = nullptr;
    UpsGenericProc GetEBM3SerialNumber = nullptr;
    UpsGenericProc GetEBM1FirmwareVersion = nullptr;
    UpsGenericProc GetEBM2FirmwareVersion = nullptr;
    UpsGenericProc GetEBM3FirmwareVersion = nullptr;
    UpsGenericProc GetEBM1Temperature = nullptr;
    UpsGenericProc GetEBM2Temperature = nullptr;
    UpsGenericProc GetEBM3Temperature = nullptr;
    UpsGenericProc SendCommand = nullptr;
};

constexpr size_t kUpsEntryPointCount = 90;
static_assert(sizeof(UpsLibrary) == kUpsEntryPointCount * sizeof(void*), "one pointer per entry point");

// The entry-point names in table order: kUpsEntryPointNames[i] is the i-th member of UpsLibrary.
extern const char* const kUpsEntryPointNames[kUpsEntryPointCount];

