// Setting.ini beside the executable and the Settings record it fills.
#pragma once

#include <cstdint>
#include <string>

struct Settings {
    int32_t WaitTime = 60;    // WAIT_TIME: seconds of mains failure tolerated
    int32_t BackupTime = 3;   // BACKUP_TIME: passed to the UPS output-off command
    std::string Device = "USB";  // DEVICE: "USB", "COM_AUTO"/"AUTO", a port name or <ups>@<host>[:<port>]
    std::string EventLogPath;    // EVENTLOGPATH: kept, not used
    std::string DataLogPath;     // DATALOGPATH: kept, not used
    std::string ExCmd;           // EXCMD: external command line, empty for none
    int32_t ExCmdTime = 0;       // EXCMDTIME: seconds allowed to the external command
    std::string Lang = "jp";     // LANG: "jp" selects the Japanese files
    // The network UPS protocol server (nut/). Written to the file only when one of
    // them differs from its default, so an installation that does not use the
    // server keeps its eight lines as they were.
    std::string NutListen;           // NUT_LISTEN: "address:port" list, comma-separated; empty = no server
    std::string NutUpsName = "ups";  // NUT_UPSNAME: the UPS name clients ask for
    std::string NutUser;             // NUT_USER: the monitoring client's user; empty = no login possible
    std::string NutPassword;         // NUT_PASSWORD: its password
    // The battery's own say in the shutdown, on battery power only. Written after the
    // rest, and only when one of them differs from its default.
    int32_t BatteryLowShutdown = 1;  // BATTERY_LOW_SHUTDOWN: 1 = a low battery starts the shutdown at once
    int32_t ShutdownCharge = 0;      // SHUTDOWN_CHARGE: 1..99 = start it at this charge (%) or below; 0 = off
    // What the sequence's last step asks of Windows, and how long a power-off that
    // Windows accepted may leave the computer running before the service takes it as
    // cancelled and watches the UPS again. Written last, and only when one of them
    // differs from its default.
    std::string OsShutdown = "poweroff";  // OS_SHUTDOWN: "poweroff" or "hibernate"
    int32_t RearmTime = 300;              // REARM_TIME: seconds, kMinRearmTime..kMaxRearmTime
    // A command told of every power event (notify/notifier.h). Written after the rest, and
    // only when one of them differs from its default.
    std::string NotifyCmd;    // NOTIFY_CMD: command line, empty for none
    int32_t NotifyTime = 30;  // NOTIFY_TIME: seconds one notification may run
    // The login to a UPS that another machine serves (DEVICE <ups>@<host>). Written
    // after the rest, and only when one of them differs from its default.
    std::string RemoteUser;      // REMOTE_USER: empty = watch without logging in
    std::string RemotePassword;  // REMOTE_PASSWORD: its password
};

// The bounds of REARM_TIME that the settings console accepts.
constexpr int32_t kMinRearmTime = 10;
constexpr int32_t kMaxRearmTime = 86400;

// True when OS_SHUTDOWN asks for hibernation; any other value powers off.
bool HibernateAtShutdown(const Settings& settings);

// ExeDirectory() + "Setting.ini"; never depends on the current directory.
std::string SettingsFilePath();

// Fills `settings` from the file; keys the file lacks keep their values. A missing
// file is created from `settings` with EVENTLOGPATH and DATALOGPATH set to the
// executable's folder. Returns 1, or 0 when an existing file cannot be read.
int32_t ReadSettings(Settings& settings);

// Replaces Setting.ini with the eight lines of `settings`, followed by the four NUT_
// lines when one of them differs from its default, by BATTERY_LOW_SHUTDOWN and
// SHUTDOWN_CHARGE when one of those does, by OS_SHUTDOWN and REARM_TIME likewise and
// by NOTIFY_CMD and NOTIFY_TIME likewise and by REMOTE_USER and REMOTE_PASSWORD
// likewise, atomically. Every text is written
// so that it reads back exactly as it stands, a lone CR kept by a hand edit included.
// A text holding an LF cannot be written that way (no read ever yields one): the
// record is refused, `refusedKey` (when given) names its key, and nothing is written.
// Returns false when nothing was written.
bool WriteSettings(const Settings& settings, std::string* refusedKey = nullptr);

// A value entered by a person or a script may go into the file only when it holds
// no CR or LF.
bool IsSafeSettingsText(const std::string& text);

// "jp" exactly selects the Japanese message table and event list; anything else English.
bool IsJapaneseLang(const std::string& lang);

// The record the service process works with: filled by program entry, re-read by the
// monitor thread, its texts emptied by the stop handling.
Settings& ProcessSettings();
