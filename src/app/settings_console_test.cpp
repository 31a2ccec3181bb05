#include "app/settings_console.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "config/settings.h"
#include "messages/message_table.h"
#include "testing/scratch_directory.h"
#include "testing/scripted_console.h"
#include "ups/ups_test_support.h"

namespace {

const std::string B = "\n----Voltwarden Basic Edition Version:1.1.1----\n";
const std::string kMenu = B +
                          "\t1:Status_display\n"
                          "\t2:Setting_display\n"
                          "\t3:Connected_device\n"
                          "\t4:Delay_time_setting\n"
                          "\t5:External_command_setting\n"
                          "\t6:External_command_time_setting\n"
                          "\t7:Shutdown_expectation_time_setting\n"
                          "\n"
                          "Enter_menuNo_msg\n"
                          ">";
const std::string kNumberPrompt = "[ESC:Cancel]\n>";
const std::string kKeyWait = "Press_any_key\n";
const std::string kYesNo = "0:(NO)\n1:(YES)\n>";

// Setting.ini as the writer lays it out.
std::string Ini(int32_t wait, int32_t backup, const std::string& device, const std::string& command, int32_t commandTime,
                const std::string& lang) {
    return "WAIT_TIME=" + std::to_string(wait) + "\r\nBACKUP_TIME=" + std::to_string(backup) + "\r\nDEVICE=" + device +
           "\r\nEVENTLOGPATH=C:\\logs\\\r\nDATALOGPATH=D:\\data\\\r\nEXCMD=" + command +
           "\r\nEXCMDTIME=" + std::to_string(commandTime) + "\r\nLANG=" + lang + "\r\n";
}

const std::string kOnDisk = Ini(60, 3, "USB", "old.cmd", 0, "jp");

// The four lines of the network server's keys, as the writer appends them.
std::string Nut(const std::string& listen, const std::string& name, const std::string& user,
                const std::string& password) {
    return "NUT_LISTEN=" + listen + "\r\nNUT_UPSNAME=" + name + "\r\nNUT_USER=" + user +
           "\r\nNUT_PASSWORD=" + password + "\r\n";
}

// The two lines of the battery's keys, as the writer appends them.
std::string Battery(int32_t lowShutdown, int32_t charge) {
    return "BATTERY_LOW_SHUTDOWN=" + std::to_string(lowShutdown) + "\r\nSHUTDOWN_CHARGE=" + std::to_string(charge) +
           "\r\n";
}

// The two lines of the end of the sequence, as the writer appends them.
std::string OsShutdown(const std::string& choice, int32_t rearmTime) {
    return "OS_SHUTDOWN=" + choice + "\r\nREARM_TIME=" + std::to_string(rearmTime) + "\r\n";
}

// The two lines of the notification keys, as the writer appends them.
std::string NotifyLines(const std::string& command, int32_t time) {
    return "NOTIFY_CMD=" + command + "\r\nNOTIFY_TIME=" + std::to_string(time) + "\r\n";
}

// The two lines of the login to a UPS on another machine, as the writer appends them.
std::string RemoteLines(const std::string& user, const std::string& password) {
    return "REMOTE_USER=" + user + "\r\nREMOTE_PASSWORD=" + password + "\r\n";
}

// What stands in the way of Setting.ini during the command.
enum class FileState { Normal, Locked, Folder };

struct ServiceAnswer {
    int32_t result;
    uint32_t running;
    uint32_t error;
    bool throws;
};
ServiceAnswer g_service = {1, 0, 0, false};
int g_serviceQueries = 0;

int32_t FakeServiceQuery(uint32_t& running, uint32_t& errorCode) {
    ++g_serviceQueries;
    if (g_service.throws) throw std::runtime_error("query");
    running = g_service.running;
    errorCode = g_service.error;
    return g_service.result;
}

struct Outcome {
    int32_t result;
    uint32_t error;
    std::string output;
    std::vector<std::string> args;
};

class SettingsConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadMessageTable("no-message-table.json");
        g_service = {1, 0, 0, false};
        g_serviceQueries = 0;
        SetServiceRunningQueryForTest(&FakeServiceQuery);
        scratch_.WriteFile("Setting.ini", kOnDisk);
    }
    void TearDown() override { SetServiceRunningQueryForTest(nullptr); }

    // Runs SET with `words` after the command word, the way program entry does:
    // the settings as read at start, then the command.
    Outcome Run(const std::vector<std::string>& words, const std::string& stdinText = std::string(),
                const std::string& keys = std::string(), FileState state = FileState::Normal) {
        Settings settings;
        ReadSettings(settings);
        ScopedFileHandle lock;
        if (state == FileState::Locked) {
            lock.Reset(CreateFileA(SettingsPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(lock.IsValid());
        } else if (state == FileState::Folder) {
            DeleteFileA(SettingsPath().c_str());
            EXPECT_TRUE(CreateDirectoryA(SettingsPath().c_str(), nullptr));
        }
        ScriptedConsole console(stdinText, ScriptedConsole::Keys(keys));
        std::vector<std::string> args = {"C:\\Voltwarden\\Voltwarden.exe", "SET"};
        args.insert(args.end(), words.begin(), words.end());
        uint32_t error = 0;
        int32_t result = SettingsConsole(args, settings, error);
        lock.Close();
        if (state == FileState::Folder) {
            DWORD attributes = GetFileAttributesA(SettingsPath().c_str());
            EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
            RemoveDirectoryA(SettingsPath().c_str());
        }
        EXPECT_EQ(console.ReadsPastEnd(), 0) << "the program waited for a key nobody typed";
        return {result, error, console.Output(), args};
    }

    std::string SettingsPath() const { return scratch_.File("Setting.ini"); }
    std::string OnDisk() const { return scratch_.ReadFile("Setting.ini"); }

    ScratchDirectory scratch_;
};

std::string Describe(const std::vector<std::string>& words, const std::string& stdinText) {
    std::string text = "SET";
    for (const std::string& w : words) text += " [" + w + "]";
    return text + " stdin [" + stdinText + "]";
}

// ---- One-shot form -------------------------------------------------------------

struct OneShotCase {
    std::vector<std::string> words;
    FileState state;
    std::string stdinText;
    std::string keys;
    std::string output;
    int32_t result;
    std::string file;  // Setting.ini afterwards; empty: unchanged
};

TEST_F(SettingsConsoleTest, OneShotEntriesSaveCheckedValuesAndReportRefusals) {
    const std::string cmd256(256, 'c');
    const std::string cmd257(257, 'c');
    const FileState N = FileState::Normal;
    const OneShotCase cases[] = {
        // Entry 4: 0 to 36000, tested before the re-read; no value is an error.
        {{"4", "36000"}, N, "", "", "", 1, Ini(36000, 3, "USB", "old.cmd", 0, "jp")},
        {{"4", "0"}, N, "", "", "", 1, Ini(0, 3, "USB", "old.cmd", 0, "jp")},
        {{"4", " 120"}, N, "", "", "", 1, Ini(120, 3, "USB", "old.cmd", 0, "jp")},
        {{"4", "12x"}, N, "", "", "", 1, Ini(12, 3, "USB", "old.cmd", 0, "jp")},
        {{"4", "36001"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"4", "-1"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"4", "-2147483648"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"4", "abc"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"4", ""}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"4", "99999999999"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"4", "4294967295"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"4"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"4", "100", "extra"}, N, "", "", "", 1, Ini(100, 3, "USB", "old.cmd", 0, "jp")},
        // Entry 7: 0 to 30, tested before the re-read.
        {{"7", "30"}, N, "", "", "", 1, Ini(60, 30, "USB", "old.cmd", 0, "jp")},
        {{"7", "31"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"7", "-1"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"7"}, N, "", "", "Invalid_argument\n", 0, ""},
        // Entry 6: 0 to 7200, tested after the re-read; no value asks on the keyboard.
        {{"6", "7200"}, N, "", "", "", 1, Ini(60, 3, "USB", "old.cmd", 7200, "jp")},
        {{"6", "7201"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"6"}, N, "", "15\r", "Enter_the_external_command_time_msg\n" + kNumberPrompt + "15", 1,
         Ini(60, 3, "USB", "old.cmd", 15, "jp")},
        {{"6"}, N, "", "\x1b", "Enter_the_external_command_time_msg\n" + kNumberPrompt + "Cancel\n", 1, ""},
        // Entry 3: the given text is stored without looking at any port list.
        {{"3", "COM7"}, N, "", "", "", 1, Ini(60, 3, "COM7", "old.cmd", 0, "jp")},
        {{"3", "COM_AUTO"}, N, "", "", "", 1, Ini(60, 3, "COM_AUTO", "old.cmd", 0, "jp")},
        {{"3", "ups@nas.example:3493"}, N, "", "", "", 1, Ini(60, 3, "ups@nas.example:3493", "old.cmd", 0, "jp")},
        {{"3", ""}, N, "", "", "", 1, ""},
        {{"3", "COM7\r\nWAIT_TIME=0"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"3", "COM7\n"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        // Entry 5: at most 256 bytes, tested after the re-read; saved without a question.
        {{"5", "C:\\tools\\ups off.cmd /q"}, N, "", "", "", 1, Ini(60, 3, "USB", "C:\\tools\\ups off.cmd /q", 0, "jp")},
        {{"5", "set A=1 && run.cmd"}, N, "", "", "", 1, Ini(60, 3, "USB", "set A=1 && run.cmd", 0, "jp")},
        {{"5", ""}, N, "", "", "", 1, Ini(60, 3, "USB", "", 0, "jp")},
        {{"5", cmd256}, N, "", "", "", 1, Ini(60, 3, "USB", cmd256, 0, "jp")},
        {{"5", cmd257}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"5", "run.cmd\r\nLANG=en"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"5", "run.cmd\rx"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        // Entry 5 without a value asks for a line and a confirmation.
        {{"5"}, N, "new.cmd arg\n1\n", "", "Enter_the_external_command_msg\n>Update_the_external_command_msg\n" + kYesNo,
         1, Ini(60, 3, "USB", "new.cmd arg", 0, "jp")},
        {{"5"}, N, "new.cmd\n0\n", "", "Enter_the_external_command_msg\n>Update_the_external_command_msg\n" + kYesNo,
         1, ""},
        {{"5"}, N, "", "", "Enter_the_external_command_msg\n>", 1, ""},
        // Entry 1002: "jp" or "en" exactly, and exactly one value.
        {{"1002", "en"}, N, "", "", "", 1, Ini(60, 3, "USB", "old.cmd", 0, "en")},
        {{"1002", "jp"}, N, "", "", "", 1, ""},
        {{"1002", "EN"}, N, "", "", "", 0, ""},
        {{"1002", "english"}, N, "", "", "", 0, ""},
        {{"1002", ""}, N, "", "", "", 0, ""},
        {{"1002"}, N, "", "", "", 0, ""},
        {{"1002", "en", "more"}, N, "", "", "", 0, ""},
        {{"1002", "en\r\nWAIT_TIME=0"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        // Entries 1003 to 1006: the network server's keys, exactly one value each, only
        // what a client can send back; the four lines follow the eight once one is set.
        {{"1003", "0.0.0.0:3493"}, N, "", "", "", 1, kOnDisk + Nut("0.0.0.0:3493", "ups", "", "")},
        {{"1003", "127.0.0.1:3493,10.0.0.2:3493"}, N, "", "", "", 1,
         kOnDisk + Nut("127.0.0.1:3493,10.0.0.2:3493", "ups", "", "")},
        {{"1003", ""}, N, "", "", "", 1, kOnDisk},
        {{"1003", "localhost:3493"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1003", "0.0.0.0:3493\r\nWAIT_TIME=0"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1003"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1003", "0.0.0.0:3493", "more"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1004", "rack-1"}, N, "", "", "", 1, kOnDisk + Nut("", "rack-1", "", "")},
        {{"1004", ""}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1004", "my ups"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1004", "ups@host"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1005", "monuser"}, N, "", "", "", 1, kOnDisk + Nut("", "ups", "monuser", "")},
        {{"1005", "mon user"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1006", "p@ss:w0rd!"}, N, "", "", "", 1, kOnDisk + Nut("", "ups", "", "p@ss:w0rd!")},
        {{"1006", "pass\"word"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1006", "back\\slash"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1006", "pass\nword"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1006", "x"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        // Entries 1007 and 1008: the battery's keys, one-shot only, with the usual range
        // refusal; their two lines follow the rest once one differs from its default.
        {{"1007", "0"}, N, "", "", "", 1, kOnDisk + Battery(0, 0)},
        {{"1007", "1"}, N, "", "", "", 1, kOnDisk},
        {{"1007", "2"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1007", "-1"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1007", "yes"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"1007"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1008", "30"}, N, "", "", "", 1, kOnDisk + Battery(1, 30)},
        {{"1008", "99"}, N, "", "", "", 1, kOnDisk + Battery(1, 99)},
        {{"1008", "0"}, N, "", "", "", 1, kOnDisk},
        {{"1008", "100"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1008", "30"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        // Entries 1011 and 1014: what the sequence's last step asks for, and the seconds
        // after which an accepted power-off counts as cancelled; one-shot only.
        {{"1011", "hibernate"}, N, "", "", "", 1, kOnDisk + OsShutdown("hibernate", 300)},
        {{"1011", "poweroff"}, N, "", "", "", 1, kOnDisk},
        {{"1011", "Hibernate"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1011", "sleep"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1011"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1014", "10"}, N, "", "", "", 1, kOnDisk + OsShutdown("poweroff", 10)},
        {{"1014", "86400"}, N, "", "", "", 1, kOnDisk + OsShutdown("poweroff", 86400)},
        {{"1014", "300"}, N, "", "", "", 1, kOnDisk},
        {{"1014", "9"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1014", "86401"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1014", "-1"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1014"}, N, "", "", "Invalid_argument\n", 0, ""},
        // Entries 1012 and 1013: the notification command (the rules of entry 5, one-shot only,
        // exactly one value) and its time limit, 0 to 600; their two lines come last.
        {{"1012", "C:\\Tools\\notify.cmd /q"}, N, "", "", "", 1, kOnDisk + NotifyLines("C:\\Tools\\notify.cmd /q", 30)},
        {{"1012", cmd256}, N, "", "", "", 1, kOnDisk + NotifyLines(cmd256, 30)},
        {{"1012", ""}, N, "", "", "", 1, kOnDisk},
        {{"1012", cmd257}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1012", "run.cmd\r\nLANG=en"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1012"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1012", "x"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"1013", "600"}, N, "", "", "", 1, kOnDisk + NotifyLines("", 600)},
        {{"1013", "0"}, N, "", "", "", 1, kOnDisk + NotifyLines("", 0)},
        {{"1013", "30"}, N, "", "", "", 1, kOnDisk},
        {{"1013", "601"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1013", "-1"}, N, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"1013"}, N, "", "", "Invalid_argument\n", 0, ""},
        // Entries 1009 and 1010: the login to a UPS on another machine, one-shot only, by the
        // network server's character rules; their two lines come after everything else.
        {{"1009", "follower"}, N, "", "", "", 1, kOnDisk + RemoteLines("follower", "")},
        {{"1009", ""}, N, "", "", "", 1, kOnDisk},
        {{"1009", "fol lower"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1009"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1009", "a", "b"}, N, "", "", "Invalid_argument\n", 0, ""},
        {{"1010", "p@ss:w0rd!"}, N, "", "", "", 1, kOnDisk + RemoteLines("", "p@ss:w0rd!")},
        {{"1010", "pass\"word"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1010", "pass\nword"}, N, "", "", "Input_value_is_abnormal\n", 0, ""},
        {{"1010", "x"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        // Entry 1001 prints LANG as read at start.
        {{"1001"}, N, "", "", "jp\n", 1, ""},
        {{"1001", "ignored"}, N, "", "", "jp\n", 1, ""},
        // Numbers outside the menu and numbers that do not convert.
        {{"0"}, N, "", "", "", 1, ""},
        {{"0", "5"}, N, "", "", "", 1, ""},
        {{"8"}, N, "", "", "Number_is_not_on_the_menu\n", 1, ""},
        {{"9"}, N, "", "", "Number_is_not_on_the_menu\n", 1, ""},
        {{"1000"}, N, "", "", "Number_is_not_on_the_menu\n", 1, ""},
        {{"1015"}, N, "", "", "Number_is_not_on_the_menu\n", 1, ""},
        {{"-1"}, N, "", "", "Number_is_not_on_the_menu\n", 1, ""},
        {{"abc"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{""}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"99999999999"}, N, "", "", "Invalid_argument\n", 1, ""},
        {{"4x", "100"}, N, "", "", "", 1, Ini(100, 3, "USB", "old.cmd", 0, "jp")},
        // Setting.ini that cannot be read (held open without sharing) or written.
        {{"4", "100"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"4", "36001"}, FileState::Locked, "", "", "Input_value_is_abnormal\n", 1, ""},
        {{"6", "7201"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"7", "5"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"3", "COM2"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"5", "x.cmd"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"5", cmd257}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"1002", "en"}, FileState::Locked, "", "", "File_read_abnormality\n", 0, ""},
        {{"2"}, FileState::Locked, "", "", "\tFailed_load_settings_msg\n", 0, ""},
        {{"4", "100"}, FileState::Folder, "", "", "File_write_abnormality\n", 0, ""},
        {{"6", "100"}, FileState::Folder, "", "", "File_write_abnormality\n", 0, ""},
        {{"1002", "en"}, FileState::Folder, "", "", "File_write_abnormality\n", 0, ""},
        {{"5", "x.cmd"}, FileState::Folder, "", "", "File_write_abnormality\n", 0, ""},
        {{"3", "COM2"}, FileState::Folder, "", "", "File_write_abnormality\n", 0, ""},
    };
    for (const OneShotCase& c : cases) {
        scratch_.WriteFile("Setting.ini", kOnDisk);
        Outcome o = Run(c.words, c.stdinText, c.keys, c.state);
        const std::string what = Describe(c.words, c.stdinText);
        EXPECT_EQ(o.output, c.output) << what;
        EXPECT_EQ(o.result, c.result) << what;
        EXPECT_EQ(o.error, 0u) << what;
        if (c.state != FileState::Folder) {
            EXPECT_EQ(OnDisk(), c.file.empty() ? kOnDisk : c.file) << what;
        }
        EXPECT_EQ(g_serviceQueries, 0) << what;
    }
}

TEST_F(SettingsConsoleTest, OneShotSettingsScreenPrintsTheFiveBareValues) {
    struct Case {
        std::string file;
        std::string output;
    };
    const Case cases[] = {
        {Ini(60, 3, "USB", "", 0, "jp"), "60\n3\nUSB\n\n0\n"},
        {Ini(36000, 30, "COM3", "C:\\a b\\run.cmd /x", 7200, "en"), "36000\n30\nCOM3\nC:\\a b\\run.cmd /x\n7200\n"},
        // Values outside the console's ranges are shown as the file holds them.
        {"WAIT_TIME=-5\r\nDEVICE=USB \r\n", "-5\n3\nUSB \n\n0\n"},
    };
    for (const Case& c : cases) {
        scratch_.WriteFile("Setting.ini", c.file);
        Outcome o = Run({"2"});
        EXPECT_EQ(o.output, c.output) << c.file;
        EXPECT_EQ(o.result, 1) << c.file;
        EXPECT_EQ(OnDisk(), c.file);
    }
}

TEST_F(SettingsConsoleTest, SettingsScreenRereadsTheFileWrittenAfterStart) {
    Settings settings;
    ReadSettings(settings);
    scratch_.WriteFile("Setting.ini", Ini(90, 5, "COM4", "later.cmd", 20, "en"));
    ScriptedConsole console;
    std::vector<std::string> args = {"exe", "SET", "2"};
    uint32_t error = 0;
    EXPECT_EQ(SettingsConsole(args, settings, error), 1);
    EXPECT_EQ(console.Output(), "90\n5\nCOM4\nlater.cmd\n20\n");
}

TEST_F(SettingsConsoleTest, EverySaveStartsFromTheFileAsItIsNow) {
    // The record in memory is stale: another console changed the file meanwhile.
    Settings settings;
    ReadSettings(settings);
    settings.WaitTime = 999;
    settings.Device = "COM9";
    settings.ExCmd = "stale.cmd";
    const std::string changedOnDisk = Ini(300, 10, "COM1", "fresh.cmd", 45, "en");
    scratch_.WriteFile("Setting.ini", changedOnDisk);
    ScriptedConsole console;
    std::vector<std::string> args = {"exe", "SET", "7", "12"};
    uint32_t error = 0;
    EXPECT_EQ(SettingsConsole(args, settings, error), 1);
    EXPECT_EQ(OnDisk(), Ini(300, 12, "COM1", "fresh.cmd", 45, "en"));
    EXPECT_EQ(console.Output(), "");
}

// A hand edit left a CR inside EXCMD: saving another entry neither fails nor changes it.
TEST_F(SettingsConsoleTest, AStrayCrInAnUntouchedValueDoesNotBlockASave) {
    const struct {
        std::vector<std::string> words;
        std::string expected;
    } cases[] = {
        {{"4", "120"}, Ini(120, 3, "USB", "run.cmd\r/q", 0, "jp")},
        {{"7", "12"}, Ini(60, 12, "USB", "run.cmd\r/q", 0, "jp")},
        {{"3", "COM2"}, Ini(60, 3, "COM2", "run.cmd\r/q", 0, "jp")},
        {{"1002", "en"}, Ini(60, 3, "USB", "run.cmd\r/q", 0, "en")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Describe(c.words, ""));
        scratch_.WriteFile("Setting.ini", Ini(60, 3, "USB", "run.cmd\r/q", 0, "jp"));
        const Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.output, "");
        EXPECT_EQ(OnDisk(), c.expected);
    }
}

TEST_F(SettingsConsoleTest, LanguagePrintsWhatStartUpRead) {
    const struct {
        std::string lang;
        std::string output;
    } cases[] = {{"en", "en\n"}, {"JP", "JP\n"}, {"", "\n"}};
    for (const auto& c : cases) {
        scratch_.WriteFile("Setting.ini", Ini(60, 3, "USB", "", 0, c.lang));
        Outcome o = Run({"1001"});
        EXPECT_EQ(o.output, c.output) << c.lang;
        EXPECT_EQ(o.result, 1) << c.lang;
    }
}

// ---- Status screen -------------------------------------------------------------

struct StatusCase {
    const char* what;
    ServiceAnswer service;
    const char* statusIni;  // nullptr: no Status.ini
    std::string service_, model, operation;
    int32_t result;
    uint32_t error;
};

const StatusCase kStatusCases[] = {
    {"query failed", {0, 0, 1060, false}, "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=BX-50\r\n", "Status_failed_to_get_data",
     "-", "-", 0, 1060},
    {"query failed with access denied", {0, 0, 5, false}, nullptr, "Status_failed_to_get_data", "-", "-", 0, 5},
    {"stopped: stale Status.ini not read", {1, 0, 0, false}, "ACFAIL=1\r\nCONNECTION=1\r\nMODEL=BX-50\r\n",
     "Status_stop", "-", "-", 1, 0},
    {"running, no Status.ini", {1, 1, 0, false}, nullptr, "Status_running", "Status_failed_to_get_data",
     "Status_failed_to_get_data", 1, 0},
    {"running, not connected", {1, 1, 0, false}, "ACFAIL=0\r\nCONNECTION=0\r\nMODEL=BX-50\r\n", "Status_running",
     "Status_not_connected", "-", 1, 0},
    {"running, connection key missing", {1, 1, 0, false}, "ACFAIL=1\r\nMODEL=BX-50\r\n", "Status_running",
     "Status_not_connected", "-", 1, 0},
    {"running, on mains", {1, 1, 0, false}, "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=BX-50 Pro\r\n", "Status_running",
     "BX-50 Pro", "Status_normal_output", 1, 0},
    {"running, on battery", {1, 1, 0, false}, "ACFAIL=1\r\nCONNECTION=1\r\nMODEL=BX-50\r\n", "Status_running",
     "BX-50", "Status_battery_output", 1, 0},
    {"running, model with =", {1, 1, 0, false}, "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=A=B\r\n", "Status_running", "A=B",
     "Status_normal_output", 1, 0},
    {"running, broken Status.ini", {1, 1, 0, false}, "ACFAIL=abc\r\nCONNECTION=1\r\nMODEL=BX-50\r\n",
     "Status_running", "Status_failed_to_get_data", "Status_failed_to_get_data", 1, 0},
};

TEST_F(SettingsConsoleTest, OneShotStatusShowsServiceModelAndOperation) {
    for (const StatusCase& c : kStatusCases) {
        g_service = c.service;
        DeleteFileA(scratch_.File("Status.ini").c_str());
        if (c.statusIni != nullptr) scratch_.WriteFile("Status.ini", c.statusIni);
        Outcome o = Run({"1"});
        EXPECT_EQ(o.output, c.service_ + "\n" + c.model + "\n" + c.operation + "\n") << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
        EXPECT_EQ(o.error, c.error) << c.what;
        EXPECT_EQ(OnDisk(), kOnDisk) << c.what;
    }
}

TEST_F(SettingsConsoleTest, InteractiveStatusShowsLabelledLinesAndWaitsForAKey) {
    for (const StatusCase& c : kStatusCases) {
        g_service = c.service;
        DeleteFileA(scratch_.File("Status.ini").c_str());
        if (c.statusIni != nullptr) scratch_.WriteFile("Status.ini", c.statusIni);
        Outcome o = Run({}, "1\n0\n", "x");
        EXPECT_EQ(o.output, kMenu + B + "\tService_status:" + c.service_ + "\n\tUPS_model:" + c.model +
                                "\n\tOperation_status:" + c.operation + "\n" + kKeyWait + kMenu)
            << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
    }
}

TEST_F(SettingsConsoleTest, StatusIsReadBesideTheExecutableWhateverTheCurrentFolder) {
    g_service = {1, 1, 0, false};
    scratch_.WriteFile("Status.ini", "ACFAIL=1\r\nCONNECTION=1\r\nMODEL=Beside-Exe\r\n");
    ScratchDirectory elsewhere;  // its own stale Status.ini, made the current folder
    elsewhere.WriteFile("Status.ini", "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=Elsewhere\r\n");
    SetExeDirectoryForTest(scratch_.Path());  // the second scratch folder took it over
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(previous), previous);
    ASSERT_TRUE(SetCurrentDirectoryA(elsewhere.Path().c_str()));
    Outcome o = Run({"1"});
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(o.output, "Status_running\nBeside-Exe\nStatus_battery_output\n");
}

// ---- Interactive menu ----------------------------------------------------------

struct MenuCase {
    const char* what;
    std::string stdinText;
    std::string keys;
    std::string output;  // after the first menu
    int32_t result;
    std::string file;  // empty: unchanged
};

TEST_F(SettingsConsoleTest, InteractiveMenuRunsEntriesUntilZeroOrEndOfInput) {
    const std::string notOnMenu = B + "Number_is_not_on_the_menu\n" + kMenu;
    const std::string invalid = B + "Invalid_argument\n" + kMenu;
    const std::string cmd256(256, 'c');
    const std::string cmd257(257, 'c');
    const MenuCase cases[] = {
        {"zero ends at once", "0\n1\n", "", "", 1, ""},
        {"zero with leading blanks", "\n  00\n", "", "", 1, ""},
        {"input ended", "", "", "", 1, ""},
        {"input ended after a refusal", "9", "", notOnMenu, 1, ""},
        {"nine", "9\n0\n", "", notOnMenu, 1, ""},
        {"eight", "8\n0\n", "", notOnMenu, 1, ""},
        {"1001 is one-shot only", "1001\n0\n", "", notOnMenu, 1, ""},
        {"1002 is one-shot only", "1002 en\n0\n", "", notOnMenu + invalid, 1, ""},
        {"1003 is one-shot only", "1003\n0\n", "", notOnMenu, 1, ""},
        {"1006 is one-shot only", "1006\n0\n", "", notOnMenu, 1, ""},
        {"1010 is one-shot only", "1010\n0\n", "", notOnMenu, 1, ""},
        {"minus one", "-1\n0\n", "", notOnMenu, 1, ""},
        {"letters", "abc\n0\n", "", invalid, 1, ""},
        {"beyond 32 bits", "99999999999\n0\n", "", invalid, 1, ""},
        {"one word at a time", "abc 9 0\n", "", invalid + notOnMenu, 1, ""},
        // Number editors: save, cancel, range refusal.
        {"delay saved", "4\n0\n", "36000\r", B + "Enter_the_delay_time_msg\n" + kNumberPrompt + "36000" + kMenu, 1,
         Ini(36000, 3, "USB", "old.cmd", 0, "jp")},
        {"delay with trailing letters in the menu number", "4x\n0\n", "5\r",
         B + "Enter_the_delay_time_msg\n" + kNumberPrompt + "5" + kMenu, 1, Ini(5, 3, "USB", "old.cmd", 0, "jp")},
        {"delay cancelled", "4\n0\n", "12\x1b", B + "Enter_the_delay_time_msg\n" + kNumberPrompt + "12Cancel\n" + kMenu,
         1, ""},
        {"delay out of range, then cancelled", "4\n0\n", "36001\r\x1b",
         B + "Enter_the_delay_time_msg\n" + kNumberPrompt +
             "36001\nInput_value_is_abnormalRange_start0To36000Range_end\n>Cancel\n" + kMenu,
         1, ""},
        {"command time saved", "6\n0\n", "7200\r",
         B + "Enter_the_external_command_time_msg\n" + kNumberPrompt + "7200" + kMenu, 1,
         Ini(60, 3, "USB", "old.cmd", 7200, "jp")},
        {"command time cancelled", "6\n0\n", "\x1b",
         B + "Enter_the_external_command_time_msg\n" + kNumberPrompt + "Cancel\n" + kMenu, 1, ""},
        {"shutdown time saved", "7\n0\n", "30\r",
         B + "Enter_the_time_required_for_shutdown_msg\n" + kNumberPrompt + "30" + kMenu, 1,
         Ini(60, 30, "USB", "old.cmd", 0, "jp")},
        {"shutdown time out of range, corrected", "7\n0\n", "31\r3\b5\r",
         B + "Enter_the_time_required_for_shutdown_msg\n" + kNumberPrompt +
             "31\nInput_value_is_abnormalRange_start0To30Range_end\n>3\b \b5" + kMenu,
         1, Ini(60, 5, "USB", "old.cmd", 0, "jp")},
        {"two edits in a row", "4\n7\n0\n", "100\r2\r",
         B + "Enter_the_delay_time_msg\n" + kNumberPrompt + "100" + kMenu + B +
             "Enter_the_time_required_for_shutdown_msg\n" + kNumberPrompt + "2" + kMenu,
         1, Ini(100, 2, "USB", "old.cmd", 0, "jp")},
        // A menu number's trailing word is never taken as the value.
        {"value after the menu number is not used", "4 500\n", "\x1b",
         B + "Enter_the_delay_time_msg\n" + kNumberPrompt + "Cancel\n" + kMenu + notOnMenu, 1, ""},
        // Device choice without the UPS library: the two fixed choices.
        {"device chosen", "3\n0\n", "1\r",
         B + "0:USB\n1:COM_AUTO\nSelect_connected_device_msg\n" + kNumberPrompt + "1" + kMenu, 1,
         Ini(60, 3, "COM_AUTO", "old.cmd", 0, "jp")},
        {"device out of range, then cancelled", "3\n0\n", "2\r\x1b",
         B + "0:USB\n1:COM_AUTO\nSelect_connected_device_msg\n" + kNumberPrompt +
             "2\nInput_value_is_abnormalRange_start0To1Range_end\n>Cancel\n" + kMenu,
         1, ""},
        // External command: a whole line, then a yes/no confirmation.
        {"command saved with its spaces", "5\n C:\\my tools\\off.cmd /a  \n1\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu, 1,
         Ini(60, 3, "USB", " C:\\my tools\\off.cmd /a  ", 0, "jp")},
        {"command not confirmed", "5\nnew.cmd\n0\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu, 1, ""},
        {"confirmation asked again", "5\nnew.cmd\n2\n-1\n1\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo +
             "Input_value_is_abnormal_1or0_msg\n>Input_value_is_abnormal_1or0_msg\n>" + kMenu,
         1, Ini(60, 3, "USB", "new.cmd", 0, "jp")},
        {"confirmation in words is no and the menu reads on", "5\nnew.cmd\nyes please\n9\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu +
             notOnMenu,
         1, ""},
        {"empty line clears the command", "5\n\n1\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu, 1,
         Ini(60, 3, "USB", "", 0, "jp")},
        {"256-byte command saved", "5\n" + cmd256 + "\n1\n0\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu, 1,
         Ini(60, 3, "USB", cmd256, 0, "jp")},
        {"257-byte command refused", "5\n" + cmd257 + "\n1\n0\n", "k",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + B +
             "Input_value_is_abnormal\n" + kKeyWait + kMenu,
         1, ""},
        {"input ends before the command", "5\n", "", B + "Enter_the_external_command_msg\n>" + kMenu, 1, ""},
        {"input ends before the confirmation", "5\nnew.cmd\n", "",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + kMenu, 1, ""},
    };
    for (const MenuCase& c : cases) {
        scratch_.WriteFile("Setting.ini", kOnDisk);
        Outcome o = Run({}, c.stdinText, c.keys);
        EXPECT_EQ(o.output, kMenu + c.output) << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
        EXPECT_EQ(OnDisk(), c.file.empty() ? kOnDisk : c.file) << c.what;
        EXPECT_EQ(o.args.size(), 3u) << c.what;
    }
}

TEST_F(SettingsConsoleTest, DeviceChoiceListsTheLibrarysPortsAfterTheFixedChoices) {
    ASSERT_TRUE(ups_test::CopyLibrary(scratch_));
    struct Case {
        const char* what;
        std::string control;  // the simulator's control file
        std::vector<std::string> words;
        std::string stdinText;
        std::string keys;
        std::string output;
        std::string device;  // DEVICE afterwards; empty: unchanged
    };
    const std::string prompt = "Select_connected_device_msg\n" + kNumberPrompt;
    const Case cases[] = {
        {"port chosen", "PORTS=COM1,COM3\n", {}, "3\n0\n", "3\r",
         kMenu + B + "0:USB\n1:COM_AUTO\n2:COM1\n3:COM3\n" + prompt + "3" + kMenu, "COM3"},
        {"fixed choice", "PORTS=COM1,COM3\n", {}, "3\n0\n", "0\r",
         kMenu + B + "0:USB\n1:COM_AUTO\n2:COM1\n3:COM3\n" + prompt + "0" + kMenu, "USB"},
        {"beyond the list", "PORTS=COM1,COM3\n", {}, "3\n0\n", "4\r\x1b",
         kMenu + B + "0:USB\n1:COM_AUTO\n2:COM1\n3:COM3\n" + prompt +
             "4\nInput_value_is_abnormalRange_start0To3Range_end\n>Cancel\n" + kMenu,
         ""},
        {"no ports", "PORTS=\n", {}, "3\n0\n", "\x1b",
         kMenu + B + "0:USB\n1:COM_AUTO\n" + prompt + "Cancel\n" + kMenu, ""},
        {"one-shot without a value asks, bare", "PORTS=COM4\n", {"3"}, "", "2\r",
         "0:USB\n1:COM_AUTO\n2:COM4\n" + prompt + "2", "COM4"},
    };
    for (const Case& c : cases) {
        scratch_.WriteFile("Setting.ini", kOnDisk);
        ups_test::WriteControl(scratch_, c.control);
        Outcome o = Run(c.words, c.stdinText, c.keys);
        EXPECT_EQ(o.output, c.output) << c.what;
        EXPECT_EQ(o.result, 1) << c.what;
        EXPECT_EQ(OnDisk(), c.device.empty() ? kOnDisk : Ini(60, 3, c.device, "old.cmd", 0, "jp")) << c.what;
    }
}

TEST_F(SettingsConsoleTest, InteractiveSaveFailuresAreShownUntilAKeyIsPressed) {
    struct Case {
        const char* what;
        FileState state;
        std::string stdinText;
        std::string keys;
        std::string output;  // after the first menu
        int32_t result;
    };
    const std::string readFail = B + "File_read_abnormality\n" + kKeyWait + kMenu;
    const std::string writeFail = B + "File_write_abnormality\n" + kKeyWait + kMenu;
    const std::string delay = B + "Enter_the_delay_time_msg\n" + kNumberPrompt;
    const Case cases[] = {
        {"locked, delay", FileState::Locked, "4\n0\n", "100\rk", delay + "100" + readFail, 0},
        {"locked, command time", FileState::Locked, "6\n0\n", "100\rk",
         B + "Enter_the_external_command_time_msg\n" + kNumberPrompt + "100" + readFail, 0},
        {"locked, device", FileState::Locked, "3\n0\n", "0\rk",
         B + "0:USB\n1:COM_AUTO\nSelect_connected_device_msg\n" + kNumberPrompt + "0" + readFail, 0},
        {"locked, command", FileState::Locked, "5\nx.cmd\n1\n0\n", "k",
         B + "Enter_the_external_command_msg\n>" + B + "Update_the_external_command_msg\n" + kYesNo + readFail, 0},
        {"locked, settings screen", FileState::Locked, "2\n0\n", "k",
         B + "\tFailed_load_settings_msg\n" + kKeyWait + kMenu, 0},
        {"folder, delay", FileState::Folder, "4\n0\n", "100\rk", delay + "100" + writeFail, 0},
        {"folder, shutdown time", FileState::Folder, "7\n0\n", "1\rk",
         B + "Enter_the_time_required_for_shutdown_msg\n" + kNumberPrompt + "1" + writeFail, 0},
        // A cancelled edit leaves the flag as the failure set it.
        {"locked, then cancelled edit", FileState::Locked, "4\n4\n0\n", "100\rk\x1b",
         delay + "100" + readFail + delay + "Cancel\n" + kMenu, 0},
    };
    for (const Case& c : cases) {
        scratch_.WriteFile("Setting.ini", kOnDisk);
        Outcome o = Run({}, c.stdinText, c.keys, c.state);
        EXPECT_EQ(o.output, kMenu + c.output) << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
        if (c.state != FileState::Folder) {
            EXPECT_EQ(OnDisk(), kOnDisk) << c.what;
        }
    }
}

TEST_F(SettingsConsoleTest, InteractiveSettingsScreenAlignsLabelsTo32Bytes) {
    scratch_.WriteFile("Setting.ini", Ini(120, 7, "COM3", "C:\\run.cmd", 30, "jp"));
    Outcome o = Run({}, "2\n0\n", "k");
    EXPECT_EQ(o.output, kMenu + B +
                            " \tConnected_device_setting        :COM3\n"
                            "\tDelay_time(Sec)                 :120\n"
                            "\tExternal_command                :C:\\run.cmd\n"
                            "\tExternal_command_time(Sec)      :30\n"
                            "\tShutdown_expectation_time(Min)  :7\n"
                            "\tNut_listen                      :\n"
                            "\tNut_ups_name                    :ups\n"
                            "\tNut_user                        :\n"
                            "\tNut_password                    :\n"
                            "\tBattery_low_shutdown            :1\n"
                            "\tShutdown_charge(Percent)        :0\n"
                            "\tOs_shutdown                     :Os_shutdown_poweroff\n"
                            "\tRearm_time(Sec)                 :300\n"
                            "\tNotify_command                  :\n"
                            "\tNotify_time(Sec)                :30\n"
                            "\tRemote_user                     :\n"
                            "\tRemote_password                 :\n" +
                            kKeyWait + kMenu);
    EXPECT_EQ(o.result, 1);
}

TEST_F(SettingsConsoleTest, InteractiveSettingsScreenNamesTheEndOfTheSequenceInTheDisplayLanguage) {
    scratch_.WriteFile("Setting.ini", kOnDisk + OsShutdown("hibernate", 45));
    Outcome o = Run({}, "2\n0\n", "k");
    EXPECT_NE(o.output.find("\tOs_shutdown                     :Os_shutdown_hibernate\n"
                            "\tRearm_time(Sec)                 :45\n"),
              std::string::npos)
        << o.output;
}

TEST_F(SettingsConsoleTest, InteractiveSettingsScreenShowsTheNetworkServerKeysButNotThePassword) {
    scratch_.WriteFile("Setting.ini", kOnDisk + Nut("0.0.0.0:3493", "rack", "monuser", "s3cret"));
    Outcome o = Run({}, "2\n0\n", "k");
    EXPECT_NE(o.output.find("\tNut_listen                      :0.0.0.0:3493\n"
                            "\tNut_ups_name                    :rack\n"
                            "\tNut_user                        :monuser\n"
                            "\tNut_password                    :********\n"),
              std::string::npos)
        << o.output;
    EXPECT_EQ(o.output.find("s3cret"), std::string::npos);
}

TEST_F(SettingsConsoleTest, InteractiveSettingsScreenShowsTheRemoteUserButNotItsPassword) {
    scratch_.WriteFile("Setting.ini", kOnDisk + RemoteLines("follower", "s3cret"));
    Outcome o = Run({}, "2\n0\n", "k");
    EXPECT_NE(o.output.find("\tRemote_user                     :follower\n"
                            "\tRemote_password                 :********\n"),
              std::string::npos)
        << o.output;
    EXPECT_EQ(o.output.find("s3cret"), std::string::npos);
}

TEST_F(SettingsConsoleTest, AFailingPassIsReportedAndTheMenuGoesOn) {
    g_service = {1, 1, 0, true};
    Outcome o = Run({}, "1\n9\n0\n");
    EXPECT_EQ(o.output, kMenu + B + "Invalid_argument\n" + kMenu + B + "Number_is_not_on_the_menu\n" + kMenu);
    EXPECT_EQ(g_serviceQueries, 1);
}

TEST_F(SettingsConsoleTest, AFailingOneShotIsReportedWithTheFlagAsItStood) {
    g_service = {1, 1, 0, true};
    Outcome o = Run({"1"});
    EXPECT_EQ(o.output, "Invalid_argument\n");
    EXPECT_EQ(o.result, 1);
}

TEST(PadLabel, PadsToThirtyTwoBytesOfAnsiText) {
    const struct {
        std::string label;
        std::string padded;
    } cases[] = {
        {"", std::string(32, ' ')},
        {"Delay_time(Sec)", "Delay_time(Sec)" + std::string(17, ' ')},
        {std::string(31, 'a'), std::string(31, 'a') + " "},
        {std::string(32, 'a'), std::string(32, 'a')},
        {std::string(40, 'a'), std::string(40, 'a')},
        // Double-byte characters count two bytes each.
        {"\x90\xDA\x91\xB1\x8B\x40\x8A\xED", "\x90\xDA\x91\xB1\x8B\x40\x8A\xED" + std::string(24, ' ')},
        {std::string(34, '\x82'), std::string(34, '\x82')},
    };
    for (const auto& c : cases) EXPECT_EQ(PadLabel(c.label), c.padded) << c.label;
}

}  // namespace
