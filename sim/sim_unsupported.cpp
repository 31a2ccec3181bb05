// The 79 entry points of the maker's library that the service resolves but never calls.
// The simulator offers them so that the table fills completely; each is logged and
// refuses with ERROR_CALL_NOT_IMPLEMENTED. Their real arguments are not read: the x64
// calling convention lets a caller pass arguments that the callee ignores.
#include <cstdint>

#include "sim_call_log.h"

namespace {

constexpr int32_t kNotImplemented = 120;

int32_t Refuse(const char* entry) {
    WriteCallLog(entry, "result=" + std::to_string(kNotImplemented));
    return kNotImplemented;
}

}  // namespace

#define SIM_UNSUPPORTED(name) \
    extern "C" __declspec(dllexport) int32_t name() { return Refuse(#name); }

SIM_UNSUPPORTED(GetSerialNumber)
SIM_UNSUPPORTED(SetBackupTime)
SIM_UNSUPPORTED(GetBackupTimeSetting)
SIM_UNSUPPORTED(SetMinimumBatteryLevelForPowerOn)
SIM_UNSUPPORTED(GetMinimumBatteryLevelForPowerOnSetting)
SIM_UNSUPPORTED(SetEnableAutoPowerOn)
SIM_UNSUPPORTED(GetEnableAutoPowerOnSetting)
SIM_UNSUPPORTED(SetBatteryLowDetectionLevel)
SIM_UNSUPPORTED(GetBatteryLowDetectionLevelSetting)
SIM_UNSUPPORTED(StopOutputOfOutletA)
SIM_UNSUPPORTED(StopOutputOfOutletB)
SIM_UNSUPPORTED(StopOutputOfOutletC)
SIM_UNSUPPORTED(SetDelayAfterShutdownOfOutletA)
SIM_UNSUPPORTED(GetDelayAfterShutdownOfOutletASetting)
SIM_UNSUPPORTED(SetDelayAfterShutdownOfOutletB)
SIM_UNSUPPORTED(GetDelayAfterShutdownOfOutletBSetting)
SIM_UNSUPPORTED(SetDelayAfterShutdownOfOutletC)
SIM_UNSUPPORTED(GetDelayAfterShutdownOfOutletCSetting)
SIM_UNSUPPORTED(ShutdownManualReboot)
SIM_UNSUPPORTED(ShutdownAndReboot)
SIM_UNSUPPORTED(ShutdownCancel)
SIM_UNSUPPORTED(SetBuzzer)
SIM_UNSUPPORTED(GetBuzzerSetting)
SIM_UNSUPPORTED(SetParentOutputDelayTime)
SIM_UNSUPPORTED(GetParentOutputDelayTimeSetting)
SIM_UNSUPPORTED(SetOutputDelayTimeOfOutletA)
SIM_UNSUPPORTED(GetOutputDelayTimeOfOutletASetting)
SIM_UNSUPPORTED(SetOutputDelayTimeOfOutletB)
SIM_UNSUPPORTED(GetOutputDelayTimeOfOutletBSetting)
SIM_UNSUPPORTED(SetOutputDelayTimeOfOutletC)
SIM_UNSUPPORTED(GetOutputDelayTimeOfOutletCSetting)
SIM_UNSUPPORTED(SetOutputOfOutletA)
SIM_UNSUPPORTED(GetOutputOfOutletASetting)
SIM_UNSUPPORTED(GetOutputStatusOfOutletA)
SIM_UNSUPPORTED(SetOutputOfOutletB)
SIM_UNSUPPORTED(GetOutputOfOutletBSetting)
SIM_UNSUPPORTED(GetOutputStatusOfOutletB)
SIM_UNSUPPORTED(SetOutputOfOutletC)
SIM_UNSUPPORTED(GetOutputOfOutletCSetting)
SIM_UNSUPPORTED(GetOutputStatusOfOutletC)
SIM_UNSUPPORTED(SetFourWeekTest)
SIM_UNSUPPORTED(GetFourWeekTestSetting)
SIM_UNSUPPORTED(SetColdStart)
SIM_UNSUPPORTED(GetColdStartSetting)
SIM_UNSUPPORTED(SetFunctionTest)
SIM_UNSUPPORTED(GetFunctionTestSetting)
SIM_UNSUPPORTED(SetDateOfUPSInstallation)
SIM_UNSUPPORTED(GetDateOfUPSInstallationSetting)
SIM_UNSUPPORTED(SetDateOfBatteryReplacement)
SIM_UNSUPPORTED(GetDateOfBatteryReplacementSetting)
SIM_UNSUPPORTED(BeepBuzzer)
SIM_UNSUPPORTED(GetUPSFirmwareVersion)
SIM_UNSUPPORTED(GetEstimatedRunTime)
SIM_UNSUPPORTED(FunctionTest)
SIM_UNSUPPORTED(SetOutputVoltage)
SIM_UNSUPPORTED(GetOutputVoltageSetting)
SIM_UNSUPPORTED(SetSensitivity)
SIM_UNSUPPORTED(GetSensitivitySetting)
SIM_UNSUPPORTED(GetFaultCode)
SIM_UNSUPPORTED(SetDCDCStart)
SIM_UNSUPPORTED(GetDCDCStartSetting)
SIM_UNSUPPORTED(GetUPSMemo)
SIM_UNSUPPORTED(SetUPSMemo)
SIM_UNSUPPORTED(SetUPSDateTime)
SIM_UNSUPPORTED(GetUPSDateTime)
SIM_UNSUPPORTED(GetTotalOperatingTime)
SIM_UNSUPPORTED(ResetNumberOfTimesOfBackup)
SIM_UNSUPPORTED(GetNumberOfTimesOfBackup)
SIM_UNSUPPORTED(GetOutputStatusOfTraceAbility)
SIM_UNSUPPORTED(GetEBM1SerialNumber)
SIM_UNSUPPORTED(GetEBM2SerialNumber)
SIM_UNSUPPORTED(GetEBM3SerialNumber)
SIM_UNSUPPORTED(GetEBM1FirmwareVersion)
SIM_UNSUPPORTED(GetEBM2FirmwareVersion)
SIM_UNSUPPORTED(GetEBM3FirmwareVersion)
SIM_UNSUPPORTED(GetEBM1Temperature)
SIM_UNSUPPORTED(GetEBM2Temperature)
SIM_UNSUPPORTED(GetEBM3Temperature)
SIM_UNSUPPORTED(SendCommand)
