#include "app/program_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line_value.h"
#include "app/console_commands.h"
#include "log/event_log.h"
#include "messages/message_table.h"
#include "testing/log_lines.h"
#include "service/fake_service_manager.h"
#include "testing/scratch_directory.h"
#include "testing/scripted_console.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kBanner = "\n----Voltwarden Basic Edition Version:1.1.1----\n";

TEST(UpperCaseCommandWord, ChangesOnlyTheLettersAToZ) {
    const struct {
        const char* word;
        const char* upper;
    } cases[] = {
        {"install", "INSTALL"}, {"Install", "INSTALL"}, {"iNsTaLl", "INSTALL"}, {"INSTALL", "INSTALL"},
        {"instal", "INSTAL"},   {"set1", "SET1"},       {"com-list_2", "COM-LIST_2"}, {"", ""},
        // Bytes outside a to z, such as accented letters of the ANSI code page, stay.
        {"st\xE9p", "ST\xE9P"}, {"{stop}", "{STOP}"},
    };
    for (const auto& c : cases) EXPECT_EQ(UpperCaseCommandWord(c.word), c.upper) << c.word;
}

TEST(FindConsoleCommand, MatchesTheWordsWholeAndExactly) {
    for (const char* word : {"INSTALL", "UNINSTALL", "START", "STOP", "COMLIST", "SET", "REPORT"}) {
        const ConsoleCommand* command = FindConsoleCommand(word);
        ASSERT_NE(command, nullptr) << word;
        EXPECT_STREQ(command->word, word);
    }
    for (const char* word : {"install", "INSTAL", "INSTALLX", "SET ", " SET", "STARTSTOP", "", "ABEND", "REPORTS"}) {
        EXPECT_EQ(FindConsoleCommand(word), nullptr) << '"' << word << '"';
    }
    EXPECT_EQ(ConsoleCommandTable().size(), 7u);
}

TEST(PrintFailureLine, IsAbendFollowedByTheUnsignedCodeUnlessItIsZero) {
    ScratchDirectory scratch;
    LoadMessageTable("no-such-table.json");
    const struct {
        uint32_t code;
        const char* line;
    } cases[] = {
        {0, "ABEND\n"}, {5, "ABEND5\n"}, {1060, "ABEND1060\n"}, {0x80070005u, "ABEND2147942405\n"},
        {0xFFFFFFFFu, "ABEND4294967295\n"},
    };
    for (const auto& c : cases) {
        ScriptedConsole out;
        PrintFailureLine(c.code);
        EXPECT_EQ(out.Output(), c.line);
    }
}

struct EntryCase {
    const char* name;
    Lines args;  // after the program path
    std::vector<DWORD> states;
    const char* failCall;
    DWORD failError;
    std::string expectedOutput;
    Lines expectedLog;
    Lines expectedRequests;  // the state changes asked of the manager
    int expectedExitCode = 0;
};

TEST(ProgramEntry, RunsTheNormalisedCommandAndReturnsItsExitCode) {
    // No message file: every text is its key.
    const EntryCase cases[] = {
        {"unknown word", {"instal"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}},
        {"empty word", {""}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}},
        {"word with a digit", {"SET1"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}},
        {"stop of a missing service", {"stop"}, {SERVICE_RUNNING}, "OpenService", ERROR_SERVICE_DOES_NOT_EXIST,
         kBanner + "Service Stop\nABEND1060\n", {"OpenService():ER=1060", "Service Stop:ER=1060"}, {}},
        {"stop of a stopped service", {"Stop"}, {SERVICE_STOPPED}, "", 0,
         kBanner + "Service Stop\n" + kBanner + "SUCCESS\n", {}, {}},
        {"stop of a running service", {"STOP"}, {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}, "", 0,
         kBanner + "Service Stop\n" + kBanner + "SUCCESS\n", {}, {"ControlService(1)"}},
        {"start while running sends nothing", {"Start"}, {SERVICE_RUNNING}, "", 0,
         kBanner + "Service Start\n" + kBanner + "SUCCESS\n", {}, {}},
        // A time-out has no error code: "ABEND" alone, and the code 0 is still logged.
        {"start that never comes", {"start"}, {SERVICE_STOPPED, SERVICE_START_PENDING}, "", 0,
         kBanner + "Service Start\nABEND\n", {"Service Start:ER=0"}, {"StartService(0)"}},
        {"start refused", {"START"}, {SERVICE_STOPPED}, "StartService", ERROR_SERVICE_DISABLED,
         kBanner + "Service Start\nABEND1058\n", {"StartService():ER=1058", "Service Start:ER=1058"},
         {"StartService(0)"}},
        {"install", {"install"}, {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_RUNNING}, "", 0,
         kBanner + "Install_start\n" + kBanner + "SUCCESS\n", {"Install:OK"}, {"CreateService", "StartService(0)"}},
        {"install with extra words", {"Install", "now", "please"}, {SERVICE_STOPPED, SERVICE_RUNNING}, "", 0,
         kBanner + "Install_start\n" + kBanner + "SUCCESS\n", {"Install:OK"}, {"CreateService", "StartService(0)"}},
        {"install twice", {"INSTALL"}, {SERVICE_RUNNING}, "CreateService", ERROR_SERVICE_EXISTS,
         kBanner + "Install_start\nABEND1073\n", {"CreateService():ER=1073", "Install:NG"}, {"CreateService"}},
        // The restart setting and the message file are extras: their failure is logged only.
        {"install whose recovery is refused", {"INSTALL"}, {SERVICE_STOPPED, SERVICE_RUNNING},
         "ChangeServiceConfig2(2)", ERROR_ACCESS_DENIED, kBanner + "Install_start\n" + kBanner + "SUCCESS\n",
         {"ChangeServiceConfig2():ER=5", "Install:OK"}, {"CreateService", "StartService(0)"}},
        {"install whose message file is refused", {"INSTALL"}, {SERVICE_STOPPED, SERVICE_RUNNING},
         "RegCreateKeyEx", ERROR_ACCESS_DENIED, kBanner + "Install_start\n" + kBanner + "SUCCESS\n",
         {"RegCreateKeyEx():ER=5", "Install:OK"}, {"CreateService", "StartService(0)"}},
        {"install whose start never comes", {"install"}, {SERVICE_STOPPED, SERVICE_START_PENDING}, "", 0,
         kBanner + "Install_start\nABEND\n", {"Install:OK"}, {"CreateService", "StartService(0)"}},
        {"uninstall of a running service", {"UnInstall"}, {SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED},
         "", 0, kBanner + "Uninstall_start\n" + kBanner + "SUCCESS\n", {"Uninstall:OK"},
         {"ControlService(1)", "DeleteService"}},
        {"uninstall whose key removal is refused", {"uninstall"}, {SERVICE_STOPPED}, "RegDeleteKey",
         ERROR_ACCESS_DENIED, kBanner + "Uninstall_start\n" + kBanner + "SUCCESS\n",
         {"RegDeleteKey():ER=5", "Uninstall:OK"}, {"DeleteService"}},
        // SET one-shot: the failure line follows a result flag of 0; LANG is "jp" by default.
        {"set prints the language", {"set", "1001"}, {SERVICE_STOPPED}, "", 0, "jp\n", {}, {}},
        // A one-shot SET that refuses its value ends with exit code 1.
        {"set refuses a language", {"SET", "1002", "fr"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}, 1},
        {"set language without value", {"Set", "1002"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}, 1},
        {"set entry 0 leaves quietly", {"sEt", "0"}, {SERVICE_STOPPED}, "", 0, "", {}, {}},
        // REPORT: a count outside 1 to 29 writes nothing and ends with exit code 1.
        {"report refuses 30 days", {"report", "30"}, {SERVICE_STOPPED}, "", 0,
         "Input_value_is_abnormalRange_start1To29Range_end\nABEND87\n", {}, {}, 1},
        {"uninstall of a missing service", {"uninstall"}, {SERVICE_STOPPED}, "OpenService",
         ERROR_SERVICE_DOES_NOT_EXIST, kBanner + "Uninstall_start\nABEND1060\n", {"OpenService():ER=1060"}, {}},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch;
        FakeServiceManager fake;
        fake.states = c.states;
        fake.failCall = c.failCall;
        fake.failError = c.failError;
        fake.Install();

        std::vector<std::string> args = {scratch.File("Voltwarden.exe")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);

        int exitCode = -1;
        std::string output;
        {
            ScriptedConsole out;
            exitCode = ProgramEntry(static_cast<int>(argv.size()), argv.data());
            output = out.Output();
        }
        Lines log = EventLogTexts(scratch);
        CloseEventLogFileForTest();

        EXPECT_EQ(exitCode, c.expectedExitCode);
        EXPECT_EQ(output, c.expectedOutput);
        EXPECT_EQ(log, c.expectedLog);
        Lines requests;
        for (const std::string& call : fake.calls) {
            if (call == "CreateService" || call == "StartService(0)" || call == "ControlService(1)" ||
                call == "DeleteService") {
                requests.push_back(call);
            }
        }
        EXPECT_EQ(requests, c.expectedRequests);
        EXPECT_EQ(fake.openHandles, 0);
    }
}

// Runs the whole program with `commandLine` as the process's command line and the argv the
// C runtime would make of it; standard input from `stdinText`.
struct SetRun {
    int exitCode;
    std::string output;
    std::string settingsFile;
};

SetRun RunSet(const std::string& commandLine, const Lines& argvWords, const std::string& stdinText = "") {
    ScratchDirectory scratch;
    FakeServiceManager fake;
    fake.states = {SERVICE_STOPPED};
    fake.Install();
    std::vector<std::string> args = {scratch.File("Voltwarden.exe")};
    args.insert(args.end(), argvWords.begin(), argvWords.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    SetProcessCommandLineForTest(commandLine.c_str());
    SetRun run{};
    {
        ScriptedConsole console(stdinText);
        run.exitCode = ProgramEntry(static_cast<int>(argv.size()), argv.data());
        run.output = console.Output();
    }
    SetProcessCommandLineForTest(nullptr);
    CloseEventLogFileForTest();
    run.settingsFile = scratch.ReadFile("Setting.ini");
    return run;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\r\n") != std::string::npos ||
           ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(ProgramEntry, OneShotSetEndsWithOneWhenItDoesNotDoWhatItWasAsked) {
    // No message file: every text is its key. The exe's words after its path, as the C
    // runtime splits them; the command line is built from them with blanks.
    const struct {
        const char* name;
        Lines words;
        int exitCode;
        const char* outputHas;  // a text the administrator (or an installer's log) gets
    } cases[] = {
        {"delay saved", {"SET", "4", "120"}, 0, ""},
        {"delay out of range", {"SET", "4", "99999"}, 1, "Input_value_is_abnormal"},
        {"negative delay", {"SET", "4", "-1"}, 1, "Input_value_is_abnormal"},
        {"delay not a number", {"SET", "4", "two"}, 1, "Invalid_argument"},
        {"delay beyond 32 bits", {"SET", "4", "4294967296"}, 1, "Invalid_argument"},
        {"delay without a value", {"SET", "4"}, 1, "Invalid_argument"},
        {"shutdown time out of range", {"SET", "7", "31"}, 1, "Input_value_is_abnormal"},
        {"command time out of range", {"SET", "6", "7201"}, 1, "Input_value_is_abnormal"},
        {"device with a line break", {"SET", "3", "COM1\nEXCMD=x"}, 1, "Input_value_is_abnormal"},
        {"server address refused", {"SET", "1003", "localhost"}, 1, "Input_value_is_abnormal"},
        {"server address saved", {"SET", "1003", "127.0.0.1:3493"}, 0, ""},
        {"charge out of range", {"SET", "1008", "100"}, 1, "Input_value_is_abnormal"},
        {"entry not on the menu", {"SET", "8", "1"}, 1, "Number_is_not_on_the_menu"},
        {"settings shown", {"SET", "2"}, 0, "60"},
        {"language shown", {"SET", "1001"}, 0, "jp"},
        {"status of a stopped service", {"SET", "1"}, 0, "Status_stop"},
        {"command too long", {"SET", "5", std::string(257, 'x')}, 1, "Input_value_is_abnormal"},
        {"command of 256 bytes", {"SET", "5", std::string(256, 'x')}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string line = "Voltwarden.exe";
        for (const std::string& w : c.words) line += " " + w;
        SetRun run = RunSet(line, c.words);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.outputHas), std::string::npos) << run.output;
    }
}

TEST(ProgramEntry, InteractiveSetEndsWithZero) {
    // Entry 4 refuses 99999 in the menu too (its digits are typed, so it takes no more than
    // five); the menu goes on and ends with standard input.
    SetRun run = RunSet("Voltwarden.exe SET", {"SET"}, "9\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.output.find("Number_is_not_on_the_menu"), std::string::npos) << run.output;
}

TEST(ProgramEntry, OneShotExternalCommandIsTakenFromTheCommandLineAsTyped) {
    // What Windows Installer runs for EXCMD="\"C:\Program Files\x\y.cmd\" /a": the value in one
    // more pair of quotes; the C runtime's argv of it is of no use.
    const struct {
        const char* name;
        std::string commandLine;
        Lines words;
        const char* stored;
    } cases[] = {
        {"quotes of its own", "\"C:\\Program Files\\Voltwarden\\Voltwarden.exe\" SET 5 "
         "\"\"C:\\Program Files\\x\\y.cmd\" /a\"", {"SET", "5", "C:\\Program", "Files\\x\\y.cmd /a"},
         "\"C:\\Program Files\\x\\y.cmd\" /a"},
        {"quoted path", "Voltwarden.exe SET 5 \"C:\\Tools\\notify admins.cmd\"",
         {"SET", "5", "C:\\Tools\\notify admins.cmd"}, "C:\\Tools\\notify admins.cmd"},
        {"with its arguments", "Voltwarden.exe set 05 cmd /c exit 3", {"set", "05", "cmd", "/c", "exit", "3"},
         "cmd /c exit 3"},
        {"cleared", "Voltwarden.exe SET 5 \"\"", {"SET", "5", ""}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetRun run = RunSet(c.commandLine, c.words);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(HasLine(run.settingsFile, std::string("EXCMD=") + c.stored)) << run.settingsFile;
    }
}

TEST(ProgramEntry, ComlistWithoutTheUpsLibraryPrintsAbendAlone) {
    ScratchDirectory scratch;
    std::string program = scratch.File("Voltwarden.exe");
    std::string word = "comlist";
    char* argv[] = {&program[0], &word[0]};
    ScriptedConsole out;
    EXPECT_EQ(ProgramEntry(2, argv), 0);
    EXPECT_EQ(out.Output(), "ABEND\n");
    CloseEventLogFileForTest();
}

}  // namespace
