// One executable, two roles: started by the service control manager with no argument
// it is the service; started with a command word it runs that command and ends.
#include "app/program_entry.h"

#include <ostream>
#include <vector>

#include "app/console_commands.h"
#include "app/console_input.h"
#include "common/win32.h"
#include "config/settings.h"
#include "log/event_log.h"
#include "messages/message_table.h"
#include "service/service_control.h"
#include "service/service_main.h"

namespace {

// After the dispatcher returns, the stop worker has reported the stopped state and
// has only its event and log line left to write.
constexpr DWORD kStopWorkFinishMs = 10000;

int RunConsoleRole(std::vector<std::string>& args, int argc, Settings& settings) {
    args[1] = UpperCaseCommandWord(args[1]);
    const ConsoleCommand* command = FindConsoleCommand(args[1]);
    if (command == nullptr) {
        *Console().out << MessageText("ABEND") << std::endl;
        return 0;
    }
    uint32_t errorCode = 0;
    int32_t resultFlag = 1;
    return command->operation(args, argc, settings, errorCode, resultFlag);
}

}  // namespace

std::string UpperCaseCommandWord(const std::string& word) {
    std::string upper = word;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

void PrintFailureLine(uint32_t errorCode) {
    std::ostream& out = *Console().out;
    out << MessageText("ABEND");
    if (errorCode != 0) out << errorCode;
    out << std::endl;
}

void RunServiceRole() {
    // The dispatcher only reads the name; the table type is not const-correct.
    const SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(kServiceName), ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD error = GetLastError();
        TraceLogError("StartServiceCtrlDispatcher():ER=", error);
        *Console().out << MessageText("ABEND") << error << std::endl;
        return;
    }
    WaitForServiceStopWork(kStopWorkFinishMs);
}

int ProgramEntry(int argc, char** argv) {
    Settings& settings = ProcessSettings();
    settings = Settings();
    ReadSettings(settings);
    LoadMessageTable(MessageFileForLang(settings.Lang));
    OpenEventLogFile();

    std::vector<std::string> args(argv, argv + argc);
    if (args.size() < 2) {
        RunServiceRole();
        return 0;
    }
    return RunConsoleRole(args, argc, settings);
}
