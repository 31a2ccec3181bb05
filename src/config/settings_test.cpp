#include "config/settings.h"

#include <gtest/gtest.h>

#include "common/exe_path.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

std::string SettingsText(const Settings& s) {
    return "WAIT_TIME=" + std::to_string(s.WaitTime) + "\r\nBACKUP_TIME=" + std::to_string(s.BackupTime) +
           "\r\nDEVICE=" + s.Device + "\r\nEVENTLOGPATH=" + s.EventLogPath + "\r\nDATALOGPATH=" + s.DataLogPath +
           "\r\nEXCMD=" + s.ExCmd + "\r\nEXCMDTIME=" + std::to_string(s.ExCmdTime) + "\r\nLANG=" + s.Lang + "\r\n";
}

void ExpectSameSettings(const Settings& actual, const Settings& expected, const std::string& label) {
    EXPECT_EQ(actual.WaitTime, expected.WaitTime) << label;
    EXPECT_EQ(actual.BackupTime, expected.BackupTime) << label;
    EXPECT_EQ(actual.Device, expected.Device) << label;
    EXPECT_EQ(actual.EventLogPath, expected.EventLogPath) << label;
    EXPECT_EQ(actual.DataLogPath, expected.DataLogPath) << label;
    EXPECT_EQ(actual.ExCmd, expected.ExCmd) << label;
    EXPECT_EQ(actual.ExCmdTime, expected.ExCmdTime) << label;
    EXPECT_EQ(actual.Lang, expected.Lang) << label;
}

// A record whose every field differs from the defaults, so that "left as it was"
// cannot be confused with "reset to the default".
Settings Sentinel() {
    Settings s;
    s.WaitTime = 111;
    s.BackupTime = 22;
    s.Device = "COM9";
    s.EventLogPath = "old-events";
    s.DataLogPath = "old-data";
    s.ExCmd = "old.cmd";
    s.ExCmdTime = 33;
    s.Lang = "en";
    return s;
}

ScopedFileHandle OpenExclusively(const std::string& path) {
    return ScopedFileHandle(
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST(Settings, DefaultsAreThoseOfAFreshInstallation) {
    Settings s;
    EXPECT_EQ(s.WaitTime, 60);
    EXPECT_EQ(s.BackupTime, 3);
    EXPECT_EQ(s.Device, "USB");
    EXPECT_EQ(s.EventLogPath, "");
    EXPECT_EQ(s.DataLogPath, "");
    EXPECT_EQ(s.ExCmd, "");
    EXPECT_EQ(s.ExCmdTime, 0);
    EXPECT_EQ(s.Lang, "jp");
}

TEST(SettingsFilePath, IsBesideTheExecutableWhateverTheCurrentFolder) {
    ScratchDirectory scratch;
    EXPECT_EQ(SettingsFilePath(), scratch.Path() + "Setting.ini");

    ScratchDirectory elsewhere;  // now the exe folder; the first stays the current folder
    SetCurrentDirectoryA(scratch.Path().c_str());
    scratch.WriteFile("Setting.ini", "WAIT_TIME=5\r\n");
    elsewhere.WriteFile("Setting.ini", "WAIT_TIME=7\r\n");
    Settings s;
    EXPECT_EQ(ReadSettings(s), 1);
    EXPECT_EQ(s.WaitTime, 7);
    SetCurrentDirectoryA("C:\\");
}

struct ReadCase {
    const char* name;
    std::string bytes;
    void (*expect)(Settings&);  // turns the sentinel record into the expected one
};

TEST(ReadSettings, AppliesEachRecognisedLineAndLeavesTheRest) {
    ScratchDirectory scratch;
    const ReadCase cases[] = {
        {"only WAIT_TIME", "WAIT_TIME=120\r\n", [](Settings& s) { s.WaitTime = 120; }},
        {"all eight keys",
         "WAIT_TIME=1\r\nBACKUP_TIME=2\r\nDEVICE=COM3\r\nEVENTLOGPATH=C:\\e\\\r\nDATALOGPATH=C:\\d\\\r\n"
         "EXCMD=a b\r\nEXCMDTIME=4\r\nLANG=jp\r\n",
         [](Settings& s) {
             s.WaitTime = 1;
             s.BackupTime = 2;
             s.Device = "COM3";
             s.EventLogPath = "C:\\e\\";
             s.DataLogPath = "C:\\d\\";
             s.ExCmd = "a b";
             s.ExCmdTime = 4;
             s.Lang = "jp";
         }},
        {"command holding =", "EXCMD=cmd /c set X=1&& run.cmd\r\n",
         [](Settings& s) { s.ExCmd = "cmd /c set X=1&& run.cmd"; }},
        {"space before = makes the key unknown", "WAIT_TIME =5\r\n", [](Settings&) {}},
        {"space after = before a number is skipped", "WAIT_TIME= 5\r\n", [](Settings& s) { s.WaitTime = 5; }},
        {"trailing space of a text is kept", "DEVICE=USB \r\n", [](Settings& s) { s.Device = "USB "; }},
        {"lower-case key unknown", "wait_time=5\r\n", [](Settings&) {}},
        {"letters leave the number and the next line is read", "WAIT_TIME=abc\r\nBACKUP_TIME=9\r\n",
         [](Settings& s) { s.BackupTime = 9; }},
        {"eleven digits leave the number", "WAIT_TIME=99999999999\r\nEXCMDTIME=8\r\n",
         [](Settings& s) { s.ExCmdTime = 8; }},
        {"trailing junk after digits ignored", "WAIT_TIME=60abc\r\n", [](Settings& s) { s.WaitTime = 60; }},
        {"negative and out-of-console-range values kept", "WAIT_TIME=-5\r\nBACKUP_TIME=99999\r\n",
         [](Settings& s) {
             s.WaitTime = -5;
             s.BackupTime = 99999;
         }},
        {"last valid occurrence wins", "WAIT_TIME=10\r\nWAIT_TIME=20\r\nWAIT_TIME=x\r\n",
         [](Settings& s) { s.WaitTime = 20; }},
        {"byte-order mark hides the first key", "\xEF\xBB\xBF" "WAIT_TIME=5\r\nBACKUP_TIME=6\r\n",
         [](Settings& s) { s.BackupTime = 6; }},
        {"LF only reads like CR LF", "WAIT_TIME=7\nLANG=jp\n",
         [](Settings& s) {
             s.WaitTime = 7;
             s.Lang = "jp";
         }},
        {"empty text value empties the field", "EXCMD=\r\nDEVICE=\r\n",
         [](Settings& s) {
             s.ExCmd = "";
             s.Device = "";
         }},
        {"comments, sections and unknown keys ignored", "[Main]\r\n;WAIT_TIME=1\r\nCOLOR=red\r\n", [](Settings&) {}},
        {"last line without line end", "LANG=en\r\nEXCMD=x.cmd", [](Settings& s) { s.ExCmd = "x.cmd"; }},
        {"empty file", "", [](Settings&) {}},
        {"binary bytes", std::string("\x00\xFF\x01=\x02\n\x1A\x1A\xFE", 10), [](Settings&) {}},
    };
    for (const ReadCase& c : cases) {
        scratch.WriteFile("Setting.ini", c.bytes);
        Settings actual = Sentinel();
        Settings expected = Sentinel();
        c.expect(expected);
        EXPECT_EQ(ReadSettings(actual), 1) << c.name;
        ExpectSameSettings(actual, expected, c.name);
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), c.bytes) << c.name << ": the reader never rewrites a present file";
    }
}

TEST(ReadSettings, ReadsAHugeFileToItsEnd) {
    ScratchDirectory scratch;
    std::string bytes;
    while (bytes.size() < 2 * 1024 * 1024) bytes += "COMMENT=" + std::string(1000, 'z') + "\r\n";
    bytes += "WAIT_TIME=4242\r\nEXCMD=" + std::string(300 * 1024, 'c');  // a long last line, no line end
    scratch.WriteFile("Setting.ini", bytes);
    Settings s;
    EXPECT_EQ(ReadSettings(s), 1);
    EXPECT_EQ(s.WaitTime, 4242);
    EXPECT_EQ(s.ExCmd, std::string(300 * 1024, 'c'));
}

TEST(ReadSettings, CreatesAMissingFileFromTheRecord) {
    ScratchDirectory scratch;
    Settings s;
    EXPECT_EQ(ReadSettings(s), 1);
    Settings expected;
    expected.EventLogPath = scratch.Path();
    expected.DataLogPath = scratch.Path();
    ExpectSameSettings(s, expected, "record");
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), "WAIT_TIME=60\r\nBACKUP_TIME=3\r\nDEVICE=USB\r\nEVENTLOGPATH=" +
                                                   scratch.Path() + "\r\nDATALOGPATH=" + scratch.Path() +
                                                   "\r\nEXCMD=\r\nEXCMDTIME=0\r\nLANG=jp\r\n");
}

TEST(ReadSettings, CreatesTheFileFromTheHoldersOwnValues) {
    ScratchDirectory scratch;
    Settings s = Sentinel();
    EXPECT_EQ(ReadSettings(s), 1);
    Settings expected = Sentinel();
    expected.EventLogPath = scratch.Path();
    expected.DataLogPath = scratch.Path();
    ExpectSameSettings(s, expected, "record");
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(expected));
}

TEST(ReadSettings, SucceedsEvenWhenTheMissingFileCannotBeCreated) {
    ScratchDirectory scratch;
    // The executable's folder does not exist: nothing can be written there.
    const std::string gone = scratch.Path() + "gone\\";
    SetExeDirectoryForTest(gone);
    Settings s;
    EXPECT_EQ(ReadSettings(s), 1);
    EXPECT_EQ(s.EventLogPath, gone);
    EXPECT_EQ(s.WaitTime, 60);
    EXPECT_EQ(GetFileAttributesA(gone.c_str()), INVALID_FILE_ATTRIBUTES);
    SetExeDirectoryForTest(scratch.Path());
}

TEST(ReadSettings, FailsForAFileThatExistsButCannotBeOpened) {
    ScratchDirectory scratch;
    scratch.WriteFile("Setting.ini", "WAIT_TIME=5\r\n");
    ScopedFileHandle lock = OpenExclusively(scratch.File("Setting.ini"));
    ASSERT_TRUE(lock.IsValid());
    Settings s = Sentinel();
    EXPECT_EQ(ReadSettings(s), 0);
    ExpectSameSettings(s, Sentinel(), "record unchanged");
    lock.Close();
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), "WAIT_TIME=5\r\n");
}

TEST(ReadSettings, AFolderNamedSettingIniIsNeitherReadNorDestroyed) {
    ScratchDirectory scratch;
    ASSERT_TRUE(CreateDirectoryA(scratch.File("Setting.ini").c_str(), nullptr));
    scratch.WriteFile("Setting.ini\\keep.txt", "precious");
    Settings s = Sentinel();
    DWORD started = GetTickCount();
    EXPECT_EQ(ReadSettings(s), 1);
    EXPECT_LT(GetTickCount() - started, 5000u) << "must not wait out retries on a folder";
    EXPECT_EQ(s.WaitTime, Sentinel().WaitTime);
    EXPECT_EQ(s.EventLogPath, scratch.Path());
    DWORD attributes = GetFileAttributesA(scratch.File("Setting.ini").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(scratch.ReadFile("Setting.ini\\keep.txt"), "precious");
    EXPECT_FALSE(WriteSettings(s));
}

TEST(WriteSettings, WritesTheEightLinesInOrderWithCrLf) {
    ScratchDirectory scratch;
    Settings s = Sentinel();
    s.WaitTime = -2147483647 - 1;
    s.ExCmd = "C:\\Tools\\notify.cmd \"UPS = battery\"";
    ASSERT_TRUE(WriteSettings(s));
    EXPECT_EQ(scratch.ReadFile("Setting.ini"),
              "WAIT_TIME=-2147483648\r\nBACKUP_TIME=22\r\nDEVICE=COM9\r\nEVENTLOGPATH=old-events\r\n"
              "DATALOGPATH=old-data\r\nEXCMD=C:\\Tools\\notify.cmd \"UPS = battery\"\r\nEXCMDTIME=33\r\nLANG=en\r\n");

    Settings back;
    EXPECT_EQ(ReadSettings(back), 1);
    ExpectSameSettings(back, s, "round trip");
}

TEST(WriteSettings, ReplacesAnyPreviousContentWhole) {
    ScratchDirectory scratch;
    scratch.WriteFile("Setting.ini", std::string(100000, '#') + "\r\nCOLOR=red\r\n");
    Settings s;
    ASSERT_TRUE(WriteSettings(s));
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(s));
}

TEST(WriteSettings, ATextHoldingAnLfIsRefusedAndNamed) {
    ScratchDirectory scratch;
    const std::string before = "WAIT_TIME=77\r\n";
    const std::pair<std::string Settings::*, const char*> fields[] = {
        {&Settings::Device, "DEVICE"},          {&Settings::EventLogPath, "EVENTLOGPATH"},
        {&Settings::DataLogPath, "DATALOGPATH"}, {&Settings::ExCmd, "EXCMD"},
        {&Settings::Lang, "LANG"},              {&Settings::NutListen, "NUT_LISTEN"},
        {&Settings::NutUpsName, "NUT_UPSNAME"},  {&Settings::NutUser, "NUT_USER"},
        {&Settings::NutPassword, "NUT_PASSWORD"}, {&Settings::OsShutdown, "OS_SHUTDOWN"},
    };
    const char* const breaks[] = {"run.cmd\r\nWAIT_TIME=0", "a\nWAIT_TIME=0", "\n"};
    for (const auto& [field, key] : fields) {
        for (const char* text : breaks) {
            scratch.WriteFile("Setting.ini", before);
            Settings s;
            s.*field = text;
            std::string refusedKey;
            EXPECT_FALSE(WriteSettings(s, &refusedKey)) << text;
            EXPECT_EQ(refusedKey, key) << text;
            EXPECT_EQ(scratch.ReadFile("Setting.ini"), before) << text;
        }
    }
}

// A CR that a hand edit left inside a value is read and kept; a save of another entry
// writes it back so that it reads back exactly, instead of refusing every save.
TEST(WriteSettings, ACrKeptByTheReaderReadsBackExactly) {
    ScratchDirectory scratch;
    const char* const values[] = {"a\rb", "run.cmd\r", "\r", "\rlead", "two\r\rcrs"};
    for (const char* value : values) {
        scratch.WriteFile("Setting.ini", std::string("WAIT_TIME=5\r\nEXCMD=") + value + "\r\nDEVICE=" + value + "\r\n");
        Settings read;
        ASSERT_EQ(ReadSettings(read), 1);
        ASSERT_EQ(read.ExCmd, value);
        read.WaitTime = 9;
        ASSERT_TRUE(WriteSettings(read)) << value;
        Settings again;
        ASSERT_EQ(ReadSettings(again), 1);
        EXPECT_EQ(again.ExCmd, value);
        EXPECT_EQ(again.Device, value);
        EXPECT_EQ(again.WaitTime, 9);
        EXPECT_EQ(again.Lang, "jp") << "the line after a value ending in CR is still its own line";
    }
}

// The network server's four keys follow the eight only when one of them is set, so
// an installation that does not use the server keeps its file byte for byte.
TEST(WriteSettings, WritesTheFourNutLinesOnlyWhenOneDiffersFromItsDefault) {
    struct Case {
        std::string Settings::*field;
        const char* value;
    };
    const Case cases[] = {
        {&Settings::NutListen, "0.0.0.0:3493"},
        {&Settings::NutUpsName, "rack"},
        {&Settings::NutUpsName, ""},
        {&Settings::NutUser, "monuser"},
        {&Settings::NutPassword, "secret"},
    };
    ScratchDirectory scratch;
    Settings plain;
    ASSERT_TRUE(WriteSettings(plain));
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(plain));
    for (const Case& c : cases) {
        Settings s;
        s.*c.field = c.value;
        ASSERT_TRUE(WriteSettings(s)) << c.value;
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(s) + "NUT_LISTEN=" + s.NutListen +
                                                       "\r\nNUT_UPSNAME=" + s.NutUpsName + "\r\nNUT_USER=" +
                                                       s.NutUser + "\r\nNUT_PASSWORD=" + s.NutPassword + "\r\n")
            << c.value;
        Settings back;
        ASSERT_EQ(ReadSettings(back), 1);
        EXPECT_EQ(back.*c.field, c.value);
    }
}

// What the sequence's last step asks for and when a power-off counts as cancelled: two
// lines after the rest, only when one of them differs from its default, so an untouched
// installation keeps its file byte for byte.
TEST(WriteSettings, WritesTheOsShutdownLinesOnlyWhenOneDiffersFromItsDefault) {
    struct Case {
        const char* osShutdown;
        int32_t rearmTime;
        const char* lines;
    };
    const Case cases[] = {
        {"poweroff", 300, ""},
        {"hibernate", 300, "OS_SHUTDOWN=hibernate\r\nREARM_TIME=300\r\n"},
        {"poweroff", 10, "OS_SHUTDOWN=poweroff\r\nREARM_TIME=10\r\n"},
    };
    ScratchDirectory scratch;
    for (const Case& c : cases) {
        Settings s;
        s.OsShutdown = c.osShutdown;
        s.RearmTime = c.rearmTime;
        ASSERT_TRUE(WriteSettings(s)) << c.lines;
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(s) + c.lines);
        Settings back;
        ASSERT_EQ(ReadSettings(back), 1);
        EXPECT_EQ(back.OsShutdown, c.osShutdown);
        EXPECT_EQ(back.RearmTime, c.rearmTime);
        EXPECT_EQ(HibernateAtShutdown(back), std::string(c.osShutdown) == "hibernate");
    }
    Settings fresh;
    EXPECT_EQ(fresh.OsShutdown, "poweroff");
    EXPECT_EQ(fresh.RearmTime, 300);
    EXPECT_FALSE(HibernateAtShutdown(fresh));
}

// The notification keys come last, and only when one of them is set: an untouched file
// stays byte for byte.
TEST(WriteSettings, WritesTheNotifyLinesOnlyWhenOneDiffersFromItsDefault) {
    struct Case {
        const char* command;
        int32_t time;
        bool written;
    };
    const Case cases[] = {
        {"", 30, false},
        {"C:\\Tools\\notify.cmd /q", 30, true},
        {"", 0, true},
        {"\"C:\\Program Files\\n.cmd\" \"a b\"", 600, true},
    };
    ScratchDirectory scratch;
    for (const Case& c : cases) {
        Settings s;
        s.NotifyCmd = c.command;
        s.NotifyTime = c.time;
        ASSERT_TRUE(WriteSettings(s)) << c.command;
        const std::string tail =
            c.written ? "NOTIFY_CMD=" + s.NotifyCmd + "\r\nNOTIFY_TIME=" + std::to_string(c.time) + "\r\n" : "";
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(s) + tail) << c.command;
        Settings back;
        ASSERT_EQ(ReadSettings(back), 1);
        EXPECT_EQ(back.NotifyCmd, c.command);
        EXPECT_EQ(back.NotifyTime, c.time);
    }
    Settings broken;
    broken.NotifyCmd = "run.cmd\nLANG=en";
    std::string refused;
    EXPECT_FALSE(WriteSettings(broken, &refused));
    EXPECT_EQ("NOTIFY_CMD", refused);
}

// The login to a UPS on another machine comes after everything else, and only when one
// of its keys is set; the notification keys, set too, stay before it.
TEST(WriteSettings, WritesTheRemoteLoginLinesLastAndOnlyWhenOneIsSet) {
    struct Case {
        const char* user;
        const char* password;
        const char* notify;
        bool written;
    };
    const Case cases[] = {
        {"", "", "", false},
        {"follower", "s3cret pass", "", true},
        {"", "only-a-password", "", true},
        {"follower", "", "notify.cmd", true},
    };
    ScratchDirectory scratch;
    for (const Case& c : cases) {
        Settings s;
        s.RemoteUser = c.user;
        s.RemotePassword = c.password;
        s.NotifyCmd = c.notify;
        ASSERT_TRUE(WriteSettings(s)) << c.user;
        const std::string notifyLines =
            s.NotifyCmd.empty() ? "" : "NOTIFY_CMD=" + s.NotifyCmd + "\r\nNOTIFY_TIME=30\r\n";
        const std::string remoteLines =
            c.written ? std::string("REMOTE_USER=") + c.user + "\r\nREMOTE_PASSWORD=" + c.password + "\r\n" : "";
        EXPECT_EQ(scratch.ReadFile("Setting.ini"), SettingsText(s) + notifyLines + remoteLines) << c.user;
        Settings back;
        ASSERT_EQ(ReadSettings(back), 1);
        EXPECT_EQ(back.RemoteUser, c.user);
        EXPECT_EQ(back.RemotePassword, c.password);
    }
    Settings broken;
    broken.RemotePassword = "pass\nLANG=en";
    std::string refused;
    EXPECT_FALSE(WriteSettings(broken, &refused));
    EXPECT_EQ("REMOTE_PASSWORD", refused);
}

TEST(ReadSettings, AFileOfEightKeysGivesTheNutDefaults) {
    ScratchDirectory scratch;
    scratch.WriteFile("Setting.ini", SettingsText(Sentinel()));
    Settings s;
    s.NutListen = "127.0.0.1:1";
    s.NutUser = "someone";
    ASSERT_EQ(ReadSettings(s), 1);
    EXPECT_EQ(s.NutListen, "127.0.0.1:1");  // keys the file lacks keep their values
    Settings fresh;
    ASSERT_EQ(ReadSettings(fresh), 1);
    EXPECT_EQ(fresh.NutListen, "");
    EXPECT_EQ(fresh.NutUpsName, "ups");
    EXPECT_EQ(fresh.NutUser, "");
    EXPECT_EQ(fresh.NutPassword, "");
}

TEST(WriteSettings, KeepsTheOldFileWhenTheNewOneCannotBeWritten) {
    ScratchDirectory scratch;
    const std::string before = "WAIT_TIME=77\r\nLANG=en\r\n";
    scratch.WriteFile("Setting.ini", before);
    // Block the temporary file that the writer puts beside Setting.ini with a folder of that name.
    const std::string temp = scratch.File("Setting.ini.~" + std::to_string(GetCurrentProcessId()) + "-" +
                                          std::to_string(GetCurrentThreadId()) + ".tmp");
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), nullptr));
    Settings s;
    s.WaitTime = 1;
    EXPECT_FALSE(WriteSettings(s));
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), before);
    RemoveDirectoryA(temp.c_str());
}

TEST(WriteSettings, KeepsTheOldFileWhenTheReplacementIsRefused) {
    ScratchDirectory scratch;
    const std::string before = "WAIT_TIME=77\r\nLANG=en\r\n";
    scratch.WriteFile("Setting.ini", before);
    {
        // Another program holds the file open and does not allow it to be replaced.
        ScopedFileHandle holder(CreateFileA(scratch.File("Setting.ini").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.IsValid());
        Settings s;
        s.WaitTime = 1;
        EXPECT_FALSE(WriteSettings(s));
    }
    EXPECT_EQ(scratch.ReadFile("Setting.ini"), before);
    // Nothing is left behind beside it.
    WIN32_FIND_DATAA entry;
    ScopedFindHandle find(FindFirstFileA(scratch.File("*.tmp").c_str(), &entry));
    EXPECT_FALSE(find.IsValid());
}

TEST(WriteSettings, AReaderNeverSeesAPartialFile) {
    ScratchDirectory scratch;
    Settings a;
    a.ExCmd = std::string(20000, 'a');
    Settings b;
    b.ExCmd = std::string(30000, 'b');
    ASSERT_TRUE(WriteSettings(a));
    const std::string textA = SettingsText(a);
    const std::string textB = SettingsText(b);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(WriteSettings(i % 2 ? a : b));
        std::string seen = scratch.ReadFile("Setting.ini");
        EXPECT_TRUE(seen == textA || seen == textB) << "iteration " << i << " saw " << seen.size() << " bytes";
    }
}

struct TextCase {
    const char* text;
    bool expected;
};

TEST(IsSafeSettingsText, RefusesOnlyLineBreaks) {
    const TextCase cases[] = {
        {"", true},           {"USB", true},        {"C:\\a b\\c.cmd /x=1", true}, {"tab\there", true},
        {"a\rb", false},      {"a\nb", false},      {"\r\n", false},               {"end\n", false},
    };
    for (const TextCase& c : cases) EXPECT_EQ(IsSafeSettingsText(c.text), c.expected) << c.text;
}

TEST(IsJapaneseLang, OnlyExactlyJp) {
    const TextCase cases[] = {
        {"jp", true}, {"JP", false}, {"Jp", false}, {"jpn", false}, {"en", false}, {"", false}, {"jp ", false},
    };
    for (const TextCase& c : cases) EXPECT_EQ(IsJapaneseLang(c.text), c.expected) << '"' << c.text << '"';
}

}  // namespace
