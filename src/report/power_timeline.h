// What the event log says of the power and of the UPS, turned into the states of a day:
// on mains, on battery, UPS lost, with the moments of the external command and of the
// OS shutdown. Lines are recognised by the texts the service writes, in either language,
// so a log written before LANG was changed still reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/calendar_day.h"

enum class PowerState { Unknown, OnMains, OnBattery, UpsLost };

enum class PowerEventKind {
    None,
    ServiceStarted,
    ServiceStopped,
    UpsConnected,
    UpsLost,
    MainsFailed,
    MainsRestored,
    ExternalCommandStarted,
    OsShutdownStarted,
};

// The event-log texts of each kind, as bytes of the ANSI code page like the log itself.
struct PowerEventTexts {
    std::vector<std::string> serviceStarted;
    std::vector<std::string> serviceStopped;
    std::vector<std::string> upsConnectedPrefixes;  // "<UPS_connected>:" then the model
    std::vector<std::string> upsLost;
    std::vector<std::string> mainsFailed;
    std::vector<std::string> mainsRestored;
    std::vector<std::string> externalCommandPrefixes;  // "<External_command_start>:(" then the command
    std::vector<std::string> osShutdownStarted;
};

// The texts of both message files and both event lists beside the executable.
PowerEventTexts PowerEventTextsOfBothLanguages();

// The kind of one event-log text (what follows the date and time).
PowerEventKind ClassifyEventText(const std::string& text, const PowerEventTexts& texts);

struct PowerEvent {
    int64_t at = 0;  // WallSeconds of the line's stamp
    PowerEventKind kind = PowerEventKind::None;
};

// The recognised lines of an event-log file, in time order. A missing file gives none;
// lines with a damaged stamp are passed over.
std::vector<PowerEvent> ReadPowerEvents(const std::string& path, const PowerEventTexts& texts);

// The state after an event. The service knows nothing until it has a UPS; a UPS found
// again is taken as on mains until it reports a failure.
PowerState PowerStateAfter(PowerState state, PowerEventKind kind);

struct RibbonSegment {
    int32_t from = 0;  // seconds of the day
    int32_t to = 0;
    PowerState state = PowerState::Unknown;
};

struct DayMarker {
    int32_t at = 0;
    PowerEventKind kind = PowerEventKind::None;
};

struct DayTimeline {
    std::vector<RibbonSegment> segments;  // known states only, in time order
    std::vector<DayMarker> markers;       // external command and OS shutdown
    int32_t switchesToBattery = 0;        // failures that began on this day
};

// The states of `day` from 00:00 to `dayLength` seconds (the whole day, or up to now for
// today), carried over from the events before the day.
DayTimeline TimelineOfDay(const std::vector<PowerEvent>& events, const CalendarDay& day, int32_t dayLength);
