#include "app/program_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
};

TEST(ProgramEntry, RunsTheNormalisedCommandAndAlwaysReturnsZero) {
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
        {"set refuses a language", {"SET", "1002", "fr"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}},
        {"set language without value", {"Set", "1002"}, {SERVICE_STOPPED}, "", 0, "ABEND\n", {}, {}},
        {"set entry 0 leaves quietly", {"sEt", "0"}, {SERVICE_STOPPED}, "", 0, "", {}, {}},
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

        EXPECT_EQ(exitCode, 0);
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
