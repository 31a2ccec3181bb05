// The service's events in the Windows application event log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The source every entry is reported under; INSTALL registers our message file for it.
constexpr char kWindowsEventSourceName[] = "Voltwarden Basic Edition";

constexpr uint16_t kEventTypeWarning = 2;      // EVENTLOG_WARNING_TYPE
constexpr uint16_t kEventTypeInformation = 4;  // EVENTLOG_INFORMATION_TYPE

// The identifiers the message table linked into the exe defines (log/event_messages.mc).
constexpr uint32_t kEventPowerRecovery = 1001;
constexpr uint32_t kEventUpsConnected = 1002;
constexpr uint32_t kEventServiceStart = 1003;
constexpr uint32_t kEventServiceStop = 1004;
constexpr uint32_t kEventAcFail = 0x800007D1;           // shown as 2001
constexpr uint32_t kEventUpsDisconnected = 0x800007DA;  // shown as 2010
constexpr uint32_t kEventBatteryLow = 0x800007DC;       // shown as 2012
constexpr uint32_t kEventOsShutdown = 0x800007DE;       // shown as 2014
constexpr uint32_t kEventBatteryChargeUnreadable = 0x800007E0;  // shown as 2016
constexpr uint32_t kEventOsShutdownNotDone = 0x800007E2;  // shown as 2018
constexpr uint32_t kEventRemoteLoginRefused = 0x800007E3;  // shown as 2019

// Reports one event with its message-table text as the single insertion string,
// under kWindowsEventSourceName. Unknown identifiers report nothing.
void ReportWindowsEvent(uint16_t type, uint32_t identifier);

// Where reports go: the real event log by default; tests install a sink that records them.
using WindowsEventSink = void (*)(uint16_t type, uint32_t identifier, const std::string& text);
void SetWindowsEventSinkForTest(WindowsEventSink sink);  // nullptr restores the event log

// The event table is filled on the first report from the message table loaded then.
// Tests look at its size and empty it so that the next report fills it afresh.
size_t WindowsEventTableSizeForTest();
void ResetWindowsEventTableForTest();
