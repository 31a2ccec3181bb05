#include "messages/message_table.h"

#include <json-c/json.h>
#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <set>
#include <vector>

#include "common/text_file.h"
#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

// Every key the program looks up; both delivered message files hold exactly these.
const char* const kMessageKeys[] = {
    "ABEND", "Install_start", "Uninstall_start", "SUCCESS", "Status_display", "Setting_display",
    "Connected_device", "Delay_time_setting", "External_command_setting", "External_command_time_setting",
    "Shutdown_expectation_time_setting", "Enter_menuNo_msg", "Service_status", "UPS_model", "Operation_status",
    "Status_running", "Status_stop", "Status_failed_to_get_data", "Status_not_connected", "Status_normal_output",
    "Status_battery_output", "Failed_load_settings_msg", "Connected_device_setting", "Delay_time",
    "External_command", "External_command_time", "Shutdown_expectation_time", "Sec", "Min",
    "Nut_listen", "Nut_ups_name", "Nut_user", "Nut_password", "Battery_low_shutdown", "Shutdown_charge", "Percent",
    "Select_connected_device_msg", "Out_of_range_msg", "Input_value_is_abnormal_msg", "Enter_the_delay_time_msg",
    "Enter_the_external_command_msg", "Update_the_external_command_msg", "Enter_the_external_command_time_msg",
    "Enter_the_time_required_for_shutdown_msg", "Input_value_is_abnormal", "Invalid_argument",
    "File_read_abnormality", "File_write_abnormality", "Number_is_not_on_the_menu", "Cancel", "Range_start", "To",
    "Range_end", "Input_value_is_abnormal_1or0_msg", "Press_any_key", "Service_start", "Service_stop",
    "Power_recovery", "AC_fail", "Battery_low_event_occurred", "UPS_connected", "UPS_disconnected",
    "OS_Shutdown_is_started", "External_command_start", "Shutdown_by_battery_low", "Shutdown_by_battery_charge",
    "Battery_charge_unreadable", "Data_logHeader", "Report_title", "Report_period", "Report_created",
    "Report_computer", "Report_no_data",
    "Report_skipped_lines", "Report_measurement", "Report_minimum", "Report_average", "Report_maximum",
    "Report_switches_to_battery", "Report_time_on_battery", "Report_longest_on_battery", "Report_lowest_charge",
    "Report_peak_load", "Report_peak_temperature", "Report_minutes_without_data", "Report_degrees",
    "Report_voltage", "Report_time_of_day", "Report_power_state", "Report_on_mains", "Report_on_battery",
    "Report_ups_lost", "Report_external_command", "Report_os_shutdown",
    "Os_shutdown", "Os_shutdown_poweroff", "Os_shutdown_hibernate", "Rearm_time", "OS_Hibernate_is_started",
    "Hibernation_did_not_happen", "OS_Shutdown_did_not_happen", "Monitoring_again_after_wake",
    "Notify_command", "Notify_time", "Shutdown_by_wait_time", "External_command_failed", "OS_shutdown_refused",
    "Remote_user", "Remote_password", "Shutdown_by_remote_fsd", "Output_off_left_to_server", "Remote_login_refused",
};

// The table is process-wide: every test starts from an empty one.
class MessageTableTest : public ::testing::Test {
protected:
    void SetUp() override { LoadMessageTable("no-such-file.json"); }
    void TearDown() override { LoadMessageTable("no-such-file.json"); }
    ScratchDirectory scratch;
};

struct ConversionCase {
    const char* name;
    std::string utf8;
    std::string ansi;
};

// Wine's ANSI code page under the test locale is 1252.
TEST(ToAnsiCodePage, ConvertsUtf8AndMarksWhatTheCodePageLacks) {
    ASSERT_EQ(GetACP(), 1252u) << "these cases are written for code page 1252";
    const ConversionCase cases[] = {
        {"empty", "", ""},
        {"ASCII unchanged", "Press any key", "Press any key"},
        {"e acute", "caf\xC3\xA9", "caf\xE9"},
        {"euro sign", "\xE2\x82\xAC" "5", "\x80" "5"},
        {"Japanese becomes the default character", "\xE6\x97\xA5\xE6\x9C\xAC", "??"},
        {"mixed", "UPS \xE6\x8E\xA5\xE7\xB6\x9A", "UPS ??"},
        {"invalid byte", "a\xFF" "b", "a?b"},
        {"embedded NUL kept", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const ConversionCase& c : cases) EXPECT_EQ(ToAnsiCodePage(c.utf8), c.ansi) << c.name;
}

struct LangCase {
    const char* lang;
    const char* file;
};

TEST(MessageFileForLang, OnlyExactlyJpIsJapanese) {
    const LangCase cases[] = {
        {"jp", "msgtbl_jp.json"}, {"JP", "msgtbl_en.json"}, {"en", "msgtbl_en.json"},
        {"", "msgtbl_en.json"},   {"jpn", "msgtbl_en.json"}, {"jp ", "msgtbl_en.json"},
    };
    for (const LangCase& c : cases) EXPECT_EQ(MessageFileForLang(c.lang), c.file) << '"' << c.lang << '"';
}

TEST_F(MessageTableTest, AKeyWithoutTextStandsForItself) {
    EXPECT_EQ(MessageText("Status_display"), "Status_display");
    EXPECT_EQ(MessageText(""), "");
}

TEST_F(MessageTableTest, LoadsMembersAndConvertsTheirTexts) {
    scratch.WriteFile("msgtbl_en.json",
                      "{\"Cancel\": \"Abort\", \"Sec\": \"s\\u00e9c\", \"Min\": \"\", \"Lower\": \"x\", "
                      "\"Count\": 42, \"Flag\": true}");
    EXPECT_EQ(LoadMessageTable("msgtbl_en.json"), 1);
    EXPECT_EQ(MessageText("Cancel"), "Abort");
    EXPECT_EQ(MessageText("Sec"), "s\xE9" "c");
    EXPECT_EQ(MessageText("Min"), "");
    EXPECT_EQ(MessageText("Count"), "42");
    EXPECT_EQ(MessageText("Flag"), "true");
    EXPECT_EQ(MessageText("lower"), "lower") << "keys are case-sensitive";
    EXPECT_EQ(MessageText("Press_any_key"), "Press_any_key") << "a key the file lacks stands for itself";
}

TEST_F(MessageTableTest, KeepsTheFilesUtf8BesideTheConsoleText) {
    scratch.WriteFile("msgtbl_jp.json", "{\"Cancel\": \"\u30ad\u30e3\u30f3\u30bb\u30eb\", \"Sec\": \"s\u00e9c\"}");
    ASSERT_EQ(LoadMessageTable("msgtbl_jp.json"), 1);
    // Whatever the ANSI code page lacks, the UTF-8 text is whole.
    EXPECT_EQ(MessageTextUtf8("Cancel"), "\xE3\x82\xAD\xE3\x83\xA3\xE3\x83\xB3\xE3\x82\xBB\xE3\x83\xAB");
    EXPECT_EQ(MessageTextUtf8("Sec"), "s\xC3\xA9" "c");
    EXPECT_EQ(MessageTextUtf8("Missing"), "Missing");

    std::map<std::string, std::string> other;
    scratch.WriteFile("msgtbl_en.json", "{\"Cancel\": \"Abort\"}");
    ASSERT_TRUE(ReadMessageFile("msgtbl_en.json", other));
    EXPECT_EQ(other.at("Cancel"), "Abort");
    EXPECT_EQ(MessageTextUtf8("Sec"), "s\xC3\xA9" "c") << "reading another file leaves the table alone";
    EXPECT_FALSE(ReadMessageFile("missing.json", other));
    EXPECT_TRUE(other.empty());
}

TEST(AnsiToUtf8, ReadsTheCodePageOfTheLogs) {
    // The test machine's ANSI code page is 1252: é is one byte there.
    EXPECT_EQ(AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");
    EXPECT_EQ(AnsiToUtf8("plain"), "plain");
    EXPECT_EQ(AnsiToUtf8(""), "");
    EXPECT_EQ(AnsiToUtf8(ToAnsiCodePage("s\xC3\xA9" "c")), "s\xC3\xA9" "c");
}

struct FileCase {
    const char* name;
    std::string bytes;
    int32_t result;
    const char* key;
    const char* text;  // what MessageText(key) gives afterwards
};

TEST_F(MessageTableTest, DamagedFilesLeaveKeysStandingForThemselves) {
    const std::string huge = [] {
        std::string json = "{";
        for (int i = 0; i < 40000; ++i) json += "\"Key" + std::to_string(i) + "\": \"" + std::string(20, 'v') + "\",";
        return json + "\"Cancel\": \"Last\"}";
    }();
    const FileCase cases[] = {
        {"empty file", "", 0, "Cancel", "Cancel"},
        {"not JSON", "Cancel=Abort\r\n", 0, "Cancel", "Cancel"},
        {"binary", std::string("\x00\xFF\xFE{\x01\x02", 6), 0, "Cancel", "Cancel"},
        {"truncated object", "{\"Cancel\": \"Abort\", \"Sec\": \"s", 0, "Cancel", "Cancel"},
        {"array at the top", "[\"Cancel\", \"Abort\"]", 0, "Cancel", "Cancel"},
        {"string at the top", "\"Abort\"", 0, "Cancel", "Cancel"},
        {"null at the top", "null", 0, "Cancel", "Cancel"},
        {"null member skipped, others load", "{\"Sec\": null, \"Cancel\": \"Abort\"}", 1, "Sec", "Sec"},
        {"member after a null member", "{\"Sec\": null, \"Cancel\": \"Abort\"}", 1, "Cancel", "Abort"},
        {"object member gives its JSON text", "{\"Cancel\": {\"a\": 1}}", 1, "Cancel", "{ \"a\": 1 }"},
        {"duplicate name: the parser keeps the last", "{\"Cancel\": \"One\", \"Cancel\": \"Two\"}", 1, "Cancel",
         "Two"},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF{\"Cancel\": \"Abort\"}", 1, "Cancel", "Abort"},
        {"huge file", huge, 1, "Cancel", "Last"},
        {"huge file, an early member", huge, 1, "Key123", "vvvvvvvvvvvvvvvvvvvv"},
    };
    for (const FileCase& c : cases) {
        scratch.WriteFile("msgtbl_en.json", c.bytes);
        EXPECT_EQ(LoadMessageTable("msgtbl_en.json"), c.result) << c.name;
        EXPECT_EQ(MessageText(c.key), c.text) << c.name;
    }
}

TEST_F(MessageTableTest, ALoadEmptiesTheTableFirst) {
    scratch.WriteFile("msgtbl_jp.json", "{\"Cancel\": \"First\", \"Sec\": \"sec\"}");
    scratch.WriteFile("msgtbl_en.json", "{\"Cancel\": \"Second\"}");
    ASSERT_EQ(LoadMessageTable("msgtbl_jp.json"), 1);
    ASSERT_EQ(LoadMessageTable("msgtbl_en.json"), 1);
    EXPECT_EQ(MessageText("Cancel"), "Second");
    EXPECT_EQ(MessageText("Sec"), "Sec");

    EXPECT_EQ(LoadMessageTable("missing.json"), 0);
    EXPECT_EQ(MessageText("Cancel"), "Cancel");
    scratch.WriteFile("broken.json", "{");
    ASSERT_EQ(LoadMessageTable("msgtbl_en.json"), 1);
    EXPECT_EQ(LoadMessageTable("broken.json"), 0);
    EXPECT_EQ(MessageText("Cancel"), "Cancel");
}

TEST_F(MessageTableTest, ReadsFromTheExecutablesFolder) {
    scratch.WriteFile("msgtbl_en.json", "{\"Cancel\": \"Here\"}");
    ScratchDirectory other;  // now the exe folder, without the file
    SetCurrentDirectoryA(scratch.Path().c_str());
    EXPECT_EQ(LoadMessageTable("msgtbl_en.json"), 0);
    SetCurrentDirectoryA("C:\\");
}

// The delivered files, parsed as they are.
struct DeliveredFile {
    std::vector<std::string> keys;  // in file order
    std::vector<std::string> texts;
};

DeliveredFile ParseDelivered(const std::string& name) {
    DeliveredFile file;
    std::string bytes;
    EXPECT_TRUE(ReadWholeFile(std::string(VW_SOURCE_DIR "/data/") + name, bytes)) << name;
    json_object* document = json_tokener_parse(bytes.c_str());
    EXPECT_TRUE(document != nullptr && json_object_is_type(document, json_type_object)) << name;
    if (document == nullptr) return file;
    json_object_object_foreach(document, key, value) {
        file.keys.push_back(key);
        EXPECT_TRUE(json_object_is_type(value, json_type_string)) << name << ": " << key;
        file.texts.push_back(json_object_get_string(value));
    }
    json_object_put(document);
    return file;
}

TEST(DeliveredMessageFiles, HoldExactlyTheKeysOfTheProgram) {
    std::vector<std::string> expected(std::begin(kMessageKeys), std::end(kMessageKeys));
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size());
    for (const char* name : {"msgtbl_jp.json", "msgtbl_en.json"}) {
        DeliveredFile file = ParseDelivered(name);
        std::vector<std::string> keys = file.keys;
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, expected) << name;
        for (size_t i = 0; i < file.keys.size(); ++i) {
            EXPECT_FALSE(file.texts[i].empty()) << name << ": " << file.keys[i];
            EXPECT_EQ(file.texts[i].find_first_of("\r\n"), std::string::npos) << name << ": " << file.keys[i];
        }
    }
}

TEST(DeliveredMessageFiles, JapaneseTextsFitTheJapaneseCodePage) {
    DeliveredFile file = ParseDelivered("msgtbl_jp.json");
    ASSERT_FALSE(file.keys.empty());
    for (size_t i = 0; i < file.keys.size(); ++i) {
        const std::string& utf8 = file.texts[i];
        int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                             nullptr, 0);
        ASSERT_GT(wideLength, 0) << file.keys[i] << " is not valid UTF-8";
        std::wstring wide(static_cast<size_t>(wideLength), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], wideLength);
        BOOL usedDefault = FALSE;
        char ansi[1024];
        int ansiLength = WideCharToMultiByte(932, 0, wide.data(), wideLength, ansi, sizeof(ansi), nullptr, &usedDefault);
        EXPECT_GT(ansiLength, 0) << file.keys[i];
        EXPECT_FALSE(usedDefault) << file.keys[i] << " holds a character that code page 932 lacks";
    }
}

// Column 8 holds the record's field 6, the temperature; column 9 its field 7, the battery voltage.
TEST(DeliveredMessageFiles, DataLogHeaderNamesTenColumns) {
    const struct {
        const char* name;
        const char* columns8And9;
    } cases[] = {
        {"msgtbl_jp.json", ",\xE5\x86\x85\xE9\x83\xA8\xE6\xB8\xA9\xE5\xBA\xA6(\xE2\x84\x83),"
                           "\xE3\x83\x90\xE3\x83\x83\xE3\x83\x86\xE3\x83\xAA\xE9\x9B\xBB\xE5\x9C\xA7(V),"},
        {"msgtbl_en.json", ",Internal temperature(C),Battery voltage(V),"},
    };
    for (const auto& c : cases) {
        DeliveredFile file = ParseDelivered(c.name);
        auto at = std::find(file.keys.begin(), file.keys.end(), "Data_logHeader");
        ASSERT_NE(at, file.keys.end()) << c.name;
        const std::string& header = file.texts[at - file.keys.begin()];
        EXPECT_EQ(std::count(header.begin(), header.end(), ','), 9) << c.name << ": " << header;
        const size_t columns = header.find(c.columns8And9);
        ASSERT_NE(columns, std::string::npos) << c.name << ": " << header;
        EXPECT_EQ(std::count(header.begin(), header.begin() + columns, ','), 6) << c.name << ": " << header;
    }
}

}  // namespace
