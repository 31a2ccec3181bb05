// The SET command. Interactive: a menu of seven entries shown again after each one
// until entry 0. One-shot: the entry given on the command line, with its value.
// Every save starts from a fresh read of Setting.ini, so that values changed by
// someone else meanwhile are written back as they are on disk.
#include "app/settings_console.h"

#include <functional>
#include <iostream>
#include <limits>

#include "app/console_input.h"
#include "common/decimal.h"
#include "config/settings.h"
#include "config/status_file.h"
#include "messages/message_table.h"
#include "nut/nut_config.h"
#include "service/service_control.h"
#include "ups/ups_loader.h"

namespace {

ServiceRunningQuery g_serviceQuery = &QueryServiceRunning;

constexpr size_t kLabelWidth = 32;
constexpr size_t kMaxCommandBytes = 256;

// Menu entries 1 to 7, in the order shown.
const char* const kMenuItems[] = {
    "Status_display",
    "Setting_display",
    "Connected_device",
    "Delay_time_setting",
    "External_command_setting",
    "External_command_time_setting",
    "Shutdown_expectation_time_setting",
};

enum class Next { Stay, Leave };

struct Session {
    std::vector<std::string>& args;
    Settings& settings;
    uint32_t& errorCode;
    const bool interactive;
    const size_t argCount;  // as received, before any padding
    int32_t result = 1;
    bool completed = false;  // the entry showed what it shows or saved its value

    std::ostream& Out() const { return *Console().out; }
    std::istream& In() const { return *Console().in; }
    void Banner() const { PrintBanner(interactive ? 1 : 0); }
    void KeyWait() const { WaitForKey(interactive ? 1 : 0); }
    bool HasValue() const { return args.size() >= 4; }

    // A refusal or failure: banner, its text, the detail (when there is one) on a line
    // of its own, and a key wait when the text needs reading.
    void Report(const char* key, bool keyWait, const std::string& detail = std::string()) const {
        Banner();
        Out() << MessageText(key) << std::endl;
        if (!detail.empty()) Out() << detail << std::endl;
        if (keyWait) KeyWait();
    }
};

// Writes the session's record. A failure is reported; a value that cannot be written
// back as it was read is named, so the administrator knows which line to mend.
void WriteAndReport(Session& s) {
    std::string refusedKey;
    s.result = WriteSettings(s.settings, &refusedKey) ? 1 : 0;
    s.completed = s.result == 1;
    if (s.result == 0) s.Report("File_write_abnormality", true, refusedKey);
}

// Saves one field. `acceptAfterRead` holds the checks that come after the re-read;
// `change` replaces the field in the freshly read record.
void SaveSetting(Session& s, const std::function<bool()>& acceptAfterRead,
                 const std::function<void(Settings&)>& change) {
    s.result = ReadSettings(s.settings);
    if (s.result == 0) {
        s.Report("File_read_abnormality", true);
        return;
    }
    if (acceptAfterRead && !acceptAfterRead()) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    change(s.settings);
    WriteAndReport(s);
}

void ShowStatus(Session& s) {
    std::string service = "-";
    std::string model = "-";
    std::string operation = "-";
    uint32_t running = 0;
    s.result = g_serviceQuery(running, s.errorCode) == 1 ? 1 : 0;
    s.completed = s.result == 1;
    if (s.result == 0) {
        service = MessageText("Status_failed_to_get_data");
    } else if (running != 1) {
        // A stopped service's Status.ini holds stale values: it is not read.
        service = MessageText("Status_stop");
    } else {
        service = MessageText("Status_running");
        StatusFile status;
        if (!ReadStatusFile(status)) {
            model = operation = MessageText("Status_failed_to_get_data");
        } else if (status.Connection == 0) {
            model = MessageText("Status_not_connected");
        } else {
            model = status.Model;
            operation = MessageText(status.AcFail != 0 ? "Status_battery_output" : "Status_normal_output");
        }
    }
    std::ostream& out = s.Out();
    if (s.interactive) {
        s.Banner();
        out << "\t" << MessageText("Service_status") << ":" << service << std::endl;
        out << "\t" << MessageText("UPS_model") << ":" << model << std::endl;
        out << "\t" << MessageText("Operation_status") << ":" << operation << std::endl;
        s.KeyWait();
    } else {
        out << service << std::endl << model << std::endl << operation << std::endl;
    }
}

void ShowSettings(Session& s) {
    std::ostream& out = s.Out();
    s.result = ReadSettings(s.settings);
    if (s.result == 0) {
        s.Banner();
        out << "\t" << MessageText("Failed_load_settings_msg") << std::endl;
        s.KeyWait();
        return;
    }
    s.completed = true;
    const Settings& v = s.settings;
    if (!s.interactive) {
        out << v.WaitTime << std::endl
            << v.BackupTime << std::endl
            << v.Device << std::endl
            << v.ExCmd << std::endl
            << v.ExCmdTime << std::endl;
        return;
    }
    auto withUnit = [](const char* label, const char* unit) {
        return MessageText(label) + "(" + MessageText(unit) + ")";
    };
    s.Banner();
    out << " \t" << PadLabel(MessageText("Connected_device_setting")) << ":" << v.Device << std::endl;
    out << "\t" << PadLabel(withUnit("Delay_time", "Sec")) << ":" << v.WaitTime << std::endl;
    out << "\t" << PadLabel(MessageText("External_command")) << ":" << v.ExCmd << std::endl;
    out << "\t" << PadLabel(withUnit("External_command_time", "Sec")) << ":" << v.ExCmdTime << std::endl;
    out << "\t" << PadLabel(withUnit("Shutdown_expectation_time", "Min")) << ":" << v.BackupTime << std::endl;
    out << "\t" << PadLabel(MessageText("Nut_listen")) << ":" << v.NutListen << std::endl;
    out << "\t" << PadLabel(MessageText("Nut_ups_name")) << ":" << v.NutUpsName << std::endl;
    out << "\t" << PadLabel(MessageText("Nut_user")) << ":" << v.NutUser << std::endl;
    // Someone may be looking over the administrator's shoulder: only whether one is set.
    out << "\t" << PadLabel(MessageText("Nut_password")) << ":" << (v.NutPassword.empty() ? "" : "********")
        << std::endl;
    out << "\t" << PadLabel(MessageText("Battery_low_shutdown")) << ":" << v.BatteryLowShutdown << std::endl;
    out << "\t" << PadLabel(withUnit("Shutdown_charge", "Percent")) << ":" << v.ShutdownCharge << std::endl;
    out << "\t" << PadLabel(MessageText("Os_shutdown")) << ":"
        << MessageText(HibernateAtShutdown(v) ? "Os_shutdown_hibernate" : "Os_shutdown_poweroff") << std::endl;
    out << "\t" << PadLabel(withUnit("Rearm_time", "Sec")) << ":" << v.RearmTime << std::endl;
    out << "\t" << PadLabel(MessageText("Notify_command")) << ":" << v.NotifyCmd << std::endl;
    out << "\t" << PadLabel(withUnit("Notify_time", "Sec")) << ":" << v.NotifyTime << std::endl;
    out << "\t" << PadLabel(MessageText("Remote_user")) << ":" << v.RemoteUser << std::endl;
    out << "\t" << PadLabel(MessageText("Remote_password")) << ":" << (v.RemotePassword.empty() ? "" : "********")
        << std::endl;
    s.KeyWait();
}

// Entry 3: a given value is stored as it is (a port may be absent today); without
// one, the administrator picks from the fixed choices and the library's ports.
void ChooseDevice(Session& s) {
    if (!s.HasValue()) {
        std::vector<std::string> candidates = {"USB", "COM_AUTO"};
        ListComPorts(candidates);
        s.args.resize(4);
        std::ostream& out = s.Out();
        for (;;) {
            s.Banner();
            for (size_t i = 0; i < candidates.size(); ++i) out << i << ":" << candidates[i] << std::endl;
            out << MessageText("Select_connected_device_msg") << std::endl;
            bool cancelled = false;
            std::string answer = ReadNumber(static_cast<int32_t>(candidates.size() - 1), cancelled);
            if (cancelled) break;
            int32_t choice = 0;
            if (!ParseInt32(answer, choice)) {
                s.Report("Input_value_is_abnormal_msg", true);
            } else if (choice < 0 || static_cast<size_t>(choice) >= candidates.size()) {
                s.Report("Out_of_range_msg", true);
            } else {
                s.args[3] = candidates[static_cast<size_t>(choice)];
                break;
            }
        }
    }
    const std::string device = s.args[3];
    if (device.empty()) return;
    // A line break would split Setting.ini into lines of the caller's choosing.
    if (!IsSafeSettingsText(device)) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    SaveSetting(s, nullptr, [&](Settings& v) { v.Device = device; });
}

struct NumberSetting {
    int32_t Settings::*field;
    int32_t maximum;
    const char* prompt;
    bool rangeBeforeRead;   // tested before the re-read of Setting.ini, else after it
    bool oneShotAsks;       // one-shot form without a value asks instead of refusing
    int32_t minimum = 0;
};

void EditNumber(Session& s, const NumberSetting& setting) {
    if (!s.HasValue()) {
        if (!s.interactive && !setting.oneShotAsks) {
            s.Report("Invalid_argument", false);
            s.result = 0;
            return;
        }
        s.args.resize(4);
        s.Banner();
        s.Out() << MessageText(setting.prompt) << std::endl;
        bool cancelled = false;
        std::string digits = ReadNumber(setting.maximum, cancelled);
        if (cancelled) return;
        s.args[3] = digits;
    }
    int32_t value = 0;
    if (!ParseInt32(s.args[3], value)) {
        s.Report("Invalid_argument", false);
        return;
    }
    // Compared unsigned, so that a negative value from the command line is out of range.
    auto inRange = [&]() {
        return static_cast<uint32_t>(value) <= static_cast<uint32_t>(setting.maximum) && value >= setting.minimum;
    };
    if (setting.rangeBeforeRead && !inRange()) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    SaveSetting(s, setting.rangeBeforeRead ? std::function<bool()>() : std::function<bool()>(inRange),
                [&](Settings& v) { v.*setting.field = value; });
}

// A command line for EXCMD or NOTIFY_CMD: at most 256 bytes, no line break.
bool IsValidCommandLine(const std::string& command) {
    return command.size() <= kMaxCommandBytes && IsSafeSettingsText(command);
}

// Entry 5: the command is a whole line, spaces kept; an empty line clears it.
void EditCommand(Session& s) {
    if (!s.HasValue()) {
        s.args.resize(4);
        s.Banner();
        std::ostream& out = s.Out();
        std::istream& in = s.In();
        out << MessageText("Enter_the_external_command_msg") << std::endl;
        in.clear();
        if (s.interactive) in.get();  // the line end left after the menu number
        out << ">" << std::flush;
        std::string line;
        if (!std::getline(in, line)) return;  // standard input has ended: nothing to save
        if (!line.empty() && line.back() == '\r') line.pop_back();
        s.args[3] = line;
        s.Banner();
        out << MessageText("Update_the_external_command_msg") << std::endl;
        if (!AskYesNo()) return;
    }
    const std::string command = s.args[3];
    SaveSetting(s, [&]() { return IsValidCommandLine(command); }, [&](Settings& v) { v.ExCmd = command; });
}

// Entry 1012, one-shot only: NOTIFY_CMD, taken from the command line as SET 5 takes EXCMD
// (an empty value clears it).
void SetNotifyCommand(Session& s) {
    s.result = 0;
    if (s.argCount < 4 || s.args.size() < 4) {
        s.Report("Invalid_argument", false);
        return;
    }
    const std::string command = s.args[3];
    if (!IsValidCommandLine(command)) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    SaveSetting(s, nullptr, [&](Settings& v) { v.NotifyCmd = command; });
}

// Entry 1002: the language of the next start, "jp" or "en" exactly.
void SetLanguage(Session& s) {
    s.result = 0;
    if (s.argCount != 4 || s.args.size() < 4 || s.args[3].empty()) return;
    const std::string lang = s.args[3];
    if (ReadSettings(s.settings) == 0) {
        s.Report("File_read_abnormality", true);
        return;
    }
    if (!IsSafeSettingsText(lang)) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    if (lang != "jp" && lang != "en") return;
    s.settings.Lang = lang;
    WriteAndReport(s);
}

bool IsValidNutListen(const std::string& text) {
    std::vector<NutEndpoint> endpoints;
    return ParseNutListen(text, endpoints);
}

bool IsValidOsShutdown(const std::string& text) { return text == "poweroff" || text == "hibernate"; }

struct NutTextSetting {
    std::string Settings::*field;
    bool (*valid)(const std::string& value);
};

// Entries 1003 to 1006: one network-server key, given on the command line (an empty
// value clears it). A value that a client could not send back in the protocol, or
// that would break Setting.ini, is refused.
void SetNutText(Session& s, const NutTextSetting& setting) {
    s.result = 0;
    if (s.argCount != 4 || s.args.size() < 4) {
        s.Report("Invalid_argument", false);
        return;
    }
    const std::string value = s.args[3];
    if (!IsSafeSettingsText(value) || !setting.valid(value)) {
        s.Report("Input_value_is_abnormal", true);
        return;
    }
    SaveSetting(s, nullptr, [&](Settings& v) { v.*setting.field = value; });
}

Next RunEntry(Session& s) {
    int32_t number = 0;
    if (!ParseInt32(s.args[2], number)) {
        s.Report("Invalid_argument", false);
        return Next::Stay;
    }
    switch (number) {
    case 0:
        s.completed = true;
        return Next::Leave;
    case 1:
        ShowStatus(s);
        break;
    case 2:
        ShowSettings(s);
        break;
    case 3:
        ChooseDevice(s);
        break;
    case 4:
        EditNumber(s, {&Settings::WaitTime, 36000, "Enter_the_delay_time_msg", true, false});
        break;
    case 5:
        EditCommand(s);
        break;
    case 6:
        EditNumber(s, {&Settings::ExCmdTime, 7200, "Enter_the_external_command_time_msg", false, true});
        break;
    case 7:
        EditNumber(s, {&Settings::BackupTime, 30, "Enter_the_time_required_for_shutdown_msg", true, false});
        break;
    case 1001:
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            s.Out() << s.settings.Lang << std::endl;
            s.completed = true;
        }
        break;
    case 1002:
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            SetLanguage(s);
        }
        break;
    case 1003:
    case 1004:
    case 1005:
    case 1006: {
        static const NutTextSetting kNutSettings[] = {
            {&Settings::NutListen, &IsValidNutListen},
            {&Settings::NutUpsName, &IsValidNutUpsName},
            {&Settings::NutUser, &IsValidNutCredential},
            {&Settings::NutPassword, &IsValidNutCredential},
        };
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            SetNutText(s, kNutSettings[number - 1003]);
        }
        break;
    }
    case 1009:
    case 1010: {
        // One-shot only: the login to a UPS that another machine serves, by the same
        // character rules as the network server's own user and password.
        static const NutTextSetting kRemoteSettings[] = {
            {&Settings::RemoteUser, &IsValidNutCredential},
            {&Settings::RemotePassword, &IsValidNutCredential},
        };
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            SetNutText(s, kRemoteSettings[number - 1009]);
        }
        break;
    }
    case 1007:
    case 1008: {
        // One-shot only, like the network server's keys: 1 or 0, and a charge in percent.
        static const NumberSetting kBatterySettings[] = {
            {&Settings::BatteryLowShutdown, 1, "Battery_low_shutdown", true, false},
            {&Settings::ShutdownCharge, 99, "Shutdown_charge", true, false},
        };
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            EditNumber(s, kBatterySettings[number - 1007]);
        }
        break;
    }
    case 1011:
    case 1014:
        // One-shot only: what the sequence's last step asks of Windows, and how long an
        // accepted power-off may leave the computer running before it is taken as cancelled.
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else if (number == 1011) {
            SetNutText(s, {&Settings::OsShutdown, &IsValidOsShutdown});
        } else {
            EditNumber(s, {&Settings::RearmTime, kMaxRearmTime, "Rearm_time", true, false, kMinRearmTime});
        }
        break;
    case 1012:
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            SetNotifyCommand(s);
        }
        break;
    case 1013:
        if (s.interactive) {
            s.Report("Number_is_not_on_the_menu", false);
        } else {
            EditNumber(s, {&Settings::NotifyTime, 600, "Notify_time", true, false});
        }
        break;
    default:
        s.Report("Number_is_not_on_the_menu", false);
        break;
    }
    return Next::Stay;
}

// No failure of one entry may end the console: it is reported and the menu goes on.
Next RunPass(Session& s) {
    try {
        return RunEntry(s);
    } catch (...) {
        s.Report("Invalid_argument", false);
        return Next::Stay;
    }
}

}  // namespace

std::string PadLabel(const std::string& label) {
    if (label.size() >= kLabelWidth) return label;
    return label + std::string(kLabelWidth - label.size(), ' ');
}

void SetServiceRunningQueryForTest(ServiceRunningQuery query) {
    g_serviceQuery = query != nullptr ? query : &QueryServiceRunning;
}

int32_t SettingsConsole(std::vector<std::string>& args, Settings& settings, uint32_t& errorCode,
                        bool* completed) {
    Session s{args, settings, errorCode, args.size() == 2, args.size()};
    if (!s.interactive) {
        if (args.size() < 3) args.resize(3);
        RunPass(s);
        if (completed != nullptr) *completed = s.completed;
        return s.result;
    }
    std::ostream& out = s.Out();
    for (;;) {
        args.resize(3);  // no value survives from one pass to the next
        s.Banner();
        for (size_t i = 0; i < sizeof(kMenuItems) / sizeof(kMenuItems[0]); ++i) {
            out << "\t" << i + 1 << ":" << MessageText(kMenuItems[i]) << std::endl;
        }
        out << std::endl << MessageText("Enter_menuNo_msg") << std::endl << ">" << std::flush;
        // An ended standard input can give no more menu numbers: leave as for entry 0.
        if (!(s.In() >> args[2])) break;
        if (RunPass(s) == Next::Leave) break;
    }
    if (completed != nullptr) *completed = true;  // the administrator ended it
    return s.result;
}
