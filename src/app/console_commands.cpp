// The console commands. Install, uninstall, start and stop drive the service control
// manager; COMLIST lists serial ports; SET opens the settings console; REPORT writes
// the HTML report of the logs.
#include "app/console_commands.h"

#include <ostream>

#include "app/command_line_value.h"
#include "app/console_input.h"
#include "app/program_entry.h"
#include "app/settings_console.h"
#include "common/decimal.h"
#include "common/win32.h"
#include "log/event_log.h"
#include "messages/message_table.h"
#include "report/report_writer.h"
#include "service/service_control.h"
#include "ups/ups_loader.h"

namespace {

// The settings entry of the external command (EXCMD).
constexpr int32_t kExternalCommandEntry = 5;
constexpr int32_t kNotifyCommandEntry = 1012;

// Every line ends with std::endl: a command that ends abruptly loses no line.
std::ostream& Out() { return *Console().out; }

void PrintSuccess() {
    PrintBanner(1);
    Out() << MessageText("SUCCESS") << std::endl;
}

void Finish(int32_t resultFlag, uint32_t errorCode) {
    if (resultFlag == 1) {
        PrintSuccess();
    } else {
        PrintFailureLine(errorCode);
    }
}

int InstallCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    PrintBanner(1);
    Out() << MessageText("Install_start") << std::endl;
    resultFlag = InstallService(errorCode);
    if (resultFlag == 1) resultFlag = ChangeServiceState(SERVICE_RUNNING, 0, errorCode);
    Finish(resultFlag, errorCode);
    return 0;
}

int UninstallCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    PrintBanner(1);
    Out() << MessageText("Uninstall_start") << std::endl;
    resultFlag = ChangeServiceState(SERVICE_STOPPED, 1, errorCode);
    Finish(resultFlag, errorCode);
    return 0;
}

// START and STOP also log their code, 0 included: 0 means the state did not come in time.
void ChangeStateCommand(const char* title, const char* logPrefix, uint32_t targetState, uint32_t& errorCode,
                        int32_t& resultFlag) {
    PrintBanner(1);
    Out() << title << std::endl;
    resultFlag = ChangeServiceState(targetState, 0, errorCode);
    if (resultFlag != 1) TraceLogError(logPrefix, errorCode);
    Finish(resultFlag, errorCode);
}

int StartCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    ChangeStateCommand("Service Start", "Service Start:ER=", SERVICE_RUNNING, errorCode, resultFlag);
    return 0;
}

int StopCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    ChangeStateCommand("Service Stop", "Service Stop:ER=", SERVICE_STOPPED, errorCode, resultFlag);
    return 0;
}

int ComListCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    std::vector<std::string> names;
    if (ListComPorts(names) == -1) {
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return 0;
    }
    for (const std::string& name : names) Out() << name << std::endl;
    return 0;
}

int SetCommand(std::vector<std::string>& args, int argc, Settings& settings, uint32_t& errorCode,
               int32_t& resultFlag) {
    // The mode follows the count as received: the interactive console pads `args`.
    bool oneShot = argc != 2;
    // EXCMD and NOTIFY_CMD are command lines of their own, with quotes of their own: they are
    // taken from the process's command line as typed, not as the C runtime split it.
    int32_t entry = 0;
    if (oneShot && args.size() >= 4 && ParseInt32(args[2], entry) &&
        (entry == kExternalCommandEntry || entry == kNotifyCommandEntry)) {
        args.resize(4);
        args[3] = CommandLineValue(ProcessCommandLine(), 3);
    }
    bool completed = false;
    resultFlag = SettingsConsole(args, settings, errorCode, &completed);
    if (oneShot && resultFlag == 0) PrintFailureLine(errorCode);
    return oneShot && !completed ? kNotDoneExitCode : 0;
}

// REPORT [days]: days 1 to 29, 7 when not given. Prints the report's path; a count it
// refuses or a report it cannot write ends with exit code 1, so that a scheduled task can tell.
int ReportCommand(std::vector<std::string>& args, int argc, Settings& settings, uint32_t& errorCode,
                  int32_t& resultFlag) {
    int32_t days = kReportDaysDefault;
    if (argc >= 3 && (!ParseInt32(args[2], days) || days < 1 || days > kReportDaysMax)) {
        Out() << MessageText("Input_value_is_abnormal") << MessageText("Range_start") << 1 << MessageText("To")
              << kReportDaysMax << MessageText("Range_end") << std::endl;
        errorCode = ERROR_INVALID_PARAMETER;
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return kNotDoneExitCode;
    }
    if (!WriteReport(days, IsJapaneseLang(settings.Lang), errorCode)) {
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return kNotDoneExitCode;
    }
    Out() << ReportPath() << std::endl;
    return 0;
}

}  // namespace

const std::vector<ConsoleCommand>& ConsoleCommandTable() {
    static const std::vector<ConsoleCommand> table = {
        {"INSTALL", InstallCommand}, {"UNINSTALL", UninstallCommand}, {"START", StartCommand},
        {"STOP", StopCommand},       {"COMLIST", ComListCommand},     {"SET", SetCommand},
        {"REPORT", ReportCommand},
    };
    return table;
}

const ConsoleCommand* FindConsoleCommand(const std::string& word) {
    for (const ConsoleCommand& command : ConsoleCommandTable()) {
        if (word == command.word) return &command;
    }
    return nullptr;
}
