#include "config/settings.h"

#include <utility>

#include "common/atomic_file.h"
#include "common/file_security.h"
#include "common/decimal.h"
#include "common/exe_path.h"
#include "common/win32.h"
#include "config/key_value_file.h"

namespace {

// Applies one KEY=VALUE line of Setting.ini. Keys are compared in the file's own
// order; a number that does not convert leaves its field as it was.
void ApplySetting(Settings& settings, const std::string& key, const std::string& value) {
    int32_t* number = nullptr;
    std::string* text = nullptr;
    if (key == "WAIT_TIME") {
        number = &settings.WaitTime;
    } else if (key == "BACKUP_TIME") {
        number = &settings.BackupTime;
    } else if (key == "DEVICE") {
        text = &settings.Device;
    } else if (key == "EVENTLOGPATH") {
        text = &settings.EventLogPath;
    } else if (key == "DATALOGPATH") {
        text = &settings.DataLogPath;
    } else if (key == "EXCMD") {
        text = &settings.ExCmd;
    } else if (key == "EXCMDTIME") {
        number = &settings.ExCmdTime;
    } else if (key == "LANG") {
        text = &settings.Lang;
    } else if (key == "NUT_LISTEN") {
        text = &settings.NutListen;
    } else if (key == "NUT_UPSNAME") {
        text = &settings.NutUpsName;
    } else if (key == "NUT_USER") {
        text = &settings.NutUser;
    } else if (key == "NUT_PASSWORD") {
        text = &settings.NutPassword;
    } else if (key == "BATTERY_LOW_SHUTDOWN") {
        number = &settings.BatteryLowShutdown;
    } else if (key == "SHUTDOWN_CHARGE") {
        number = &settings.ShutdownCharge;
    } else if (key == "OS_SHUTDOWN") {
        text = &settings.OsShutdown;
    } else if (key == "REARM_TIME") {
        number = &settings.RearmTime;
    } else if (key == "NOTIFY_CMD") {
        text = &settings.NotifyCmd;
    } else if (key == "NOTIFY_TIME") {
        number = &settings.NotifyTime;
    } else if (key == "REMOTE_USER") {
        text = &settings.RemoteUser;
    } else if (key == "REMOTE_PASSWORD") {
        text = &settings.RemotePassword;
    }
    if (number != nullptr) {
        ParseInt32(value, *number);
    } else if (text != nullptr) {
        *text = value;
    }
}

bool NutKeysAreDefault(const Settings& settings) {
    const Settings defaults;
    return settings.NutListen == defaults.NutListen && settings.NutUpsName == defaults.NutUpsName &&
           settings.NutUser == defaults.NutUser && settings.NutPassword == defaults.NutPassword;
}

bool BatteryKeysAreDefault(const Settings& settings) {
    const Settings defaults;
    return settings.BatteryLowShutdown == defaults.BatteryLowShutdown &&
           settings.ShutdownCharge == defaults.ShutdownCharge;
}

bool OsShutdownKeysAreDefault(const Settings& settings) {
    const Settings defaults;
    return settings.OsShutdown == defaults.OsShutdown && settings.RearmTime == defaults.RearmTime;
}

bool NotifyKeysAreDefault(const Settings& settings) {
    const Settings defaults;
    return settings.NotifyCmd == defaults.NotifyCmd && settings.NotifyTime == defaults.NotifyTime;
}

bool RemoteKeysAreDefault(const Settings& settings) {
    const Settings defaults;
    return settings.RemoteUser == defaults.RemoteUser && settings.RemotePassword == defaults.RemotePassword;
}

bool IsMissingFileError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

std::string SettingsFilePath() { return ExeRelativePath("Setting.ini"); }

int32_t ReadSettings(Settings& settings) {
    const std::string path = SettingsFilePath();
    bool read = ReadKeyValueFile(path, [&settings](const std::string& key, const std::string& value) {
        ApplySetting(settings, key, value);
        return true;
    });
    if (read) return 1;

    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // The file's status cannot be learnt for a reason other than its absence
        // (a folder we may not list, a broken share): the settings are not usable.
        if (!IsMissingFileError(GetLastError())) return 0;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return 0;  // a regular file that exists but cannot be read (locked, access denied)
    }
    // Missing, or something other than a regular file stands there (a folder): write
    // the record. The atomic writer never replaces a folder, so nothing is lost.
    settings.EventLogPath = ExeDirectory();
    settings.DataLogPath = ExeDirectory();
    WriteSettings(settings);
    return 1;
}

bool WriteSettings(const Settings& settings, std::string* refusedKey) {
    // The reader splits lines at LF only and drops just the one CR right before it, so
    // "KEY=" + value + CR LF reads back as the value for any value without an LF.
    const std::pair<const char*, const std::string*> texts[] = {
        {"DEVICE", &settings.Device},        {"EVENTLOGPATH", &settings.EventLogPath},
        {"DATALOGPATH", &settings.DataLogPath}, {"EXCMD", &settings.ExCmd},
        {"LANG", &settings.Lang},            {"NUT_LISTEN", &settings.NutListen},
        {"NUT_UPSNAME", &settings.NutUpsName}, {"NUT_USER", &settings.NutUser},
        {"NUT_PASSWORD", &settings.NutPassword}, {"OS_SHUTDOWN", &settings.OsShutdown},
        {"NOTIFY_CMD", &settings.NotifyCmd}, {"REMOTE_USER", &settings.RemoteUser},
        {"REMOTE_PASSWORD", &settings.RemotePassword},
    };
    for (const auto& [key, text] : texts) {
        if (text->find('\n') != std::string::npos) {
            if (refusedKey != nullptr) *refusedKey = key;
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
    }
    std::string content;
    content += "WAIT_TIME=" + std::to_string(settings.WaitTime) + "\r\n";
    content += "BACKUP_TIME=" + std::to_string(settings.BackupTime) + "\r\n";
    content += "DEVICE=" + settings.Device + "\r\n";
    content += "EVENTLOGPATH=" + settings.EventLogPath + "\r\n";
    content += "DATALOGPATH=" + settings.DataLogPath + "\r\n";
    content += "EXCMD=" + settings.ExCmd + "\r\n";
    content += "EXCMDTIME=" + std::to_string(settings.ExCmdTime) + "\r\n";
    content += "LANG=" + settings.Lang + "\r\n";
    if (!NutKeysAreDefault(settings)) {
        content += "NUT_LISTEN=" + settings.NutListen + "\r\n";
        content += "NUT_UPSNAME=" + settings.NutUpsName + "\r\n";
        content += "NUT_USER=" + settings.NutUser + "\r\n";
        content += "NUT_PASSWORD=" + settings.NutPassword + "\r\n";
    }
    if (!BatteryKeysAreDefault(settings)) {
        content += "BATTERY_LOW_SHUTDOWN=" + std::to_string(settings.BatteryLowShutdown) + "\r\n";
        content += "SHUTDOWN_CHARGE=" + std::to_string(settings.ShutdownCharge) + "\r\n";
    }
    if (!OsShutdownKeysAreDefault(settings)) {
        content += "OS_SHUTDOWN=" + settings.OsShutdown + "\r\n";
        content += "REARM_TIME=" + std::to_string(settings.RearmTime) + "\r\n";
    }
    if (!NotifyKeysAreDefault(settings)) {
        content += "NOTIFY_CMD=" + settings.NotifyCmd + "\r\n";
        content += "NOTIFY_TIME=" + std::to_string(settings.NotifyTime) + "\r\n";
    }
    if (!RemoteKeysAreDefault(settings)) {
        content += "REMOTE_USER=" + settings.RemoteUser + "\r\n";
        content += "REMOTE_PASSWORD=" + settings.RemotePassword + "\r\n";
    }
    // The passwords are in it: administrators only, however the folder was set up, and
    // kept so at every save (a replacement made with the folder's defaults would undo an
    // ACL the administrator tightened).
    AdminOnlySecurity adminOnly;
    if (adminOnly.Attributes() == nullptr) return false;
    return WriteFileAtomically(SettingsFilePath(), content, adminOnly.Attributes());
}

bool IsSafeSettingsText(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

bool HibernateAtShutdown(const Settings& settings) { return settings.OsShutdown == "hibernate"; }

bool IsJapaneseLang(const std::string& lang) { return lang == "jp"; }

Settings& ProcessSettings() {
    // Never destroyed: a thread of the service may still read it while exit() runs.
    static auto* settings = new Settings;
    return *settings;
}
