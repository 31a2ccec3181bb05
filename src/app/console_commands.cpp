// The console commands. Install, uninstall, start and stop drive the service control
// manager; COMLIST lists serial ports; SET opens the settings console; REPORT writes
// the HTML report of the logs.
#include "app/console_commands.h"

#include <ostream>

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

void InstallCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    PrintBanner(1);
    Out() << MessageText("Install_start") << std::endl;
    resultFlag = InstallService(errorCode);
    if (resultFlag == 1) resultFlag = ChangeServiceState(SERVICE_RUNNING, 0, errorCode);
    Finish(resultFlag, errorCode);
}

void UninstallCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    PrintBanner(1);
    Out() << MessageText("Uninstall_start") << std::endl;
    resultFlag = ChangeServiceState(SERVICE_STOPPED, 1, errorCode);
    Finish(resultFlag, errorCode);
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

void StartCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    ChangeStateCommand("Service Start", "Service Start:ER=", SERVICE_RUNNING, errorCode, resultFlag);
}

void StopCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    ChangeStateCommand("Service Stop", "Service Stop:ER=", SERVICE_STOPPED, errorCode, resultFlag);
}

void ComListCommand(std::vector<std::string>&, int, Settings&, uint32_t& errorCode, int32_t& resultFlag) {
    std::vector<std::string> names;
    if (ListComPorts(names) == -1) {
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return;
    }
    for (const std::string& name : names) Out() << name << std::endl;
}

void SetCommand(std::vector<std::string>& args, int argc, Settings& settings, uint32_t& errorCode,
                int32_t& resultFlag) {
    // The mode follows the count as received: the interactive console pads `args`.
    bool oneShot = argc != 2;
    resultFlag = SettingsConsole(args, settings, errorCode);
    if (oneShot && resultFlag == 0) PrintFailureLine(errorCode);
}

// REPORT [days]: days 1 to 29, 7 when not given. Prints the report's path.
void ReportCommand(std::vector<std::string>& args, int argc, Settings& settings, uint32_t& errorCode,
                   int32_t& resultFlag) {
    int32_t days = kReportDaysDefault;
    if (argc >= 3 && (!ParseInt32(args[2], days) || days < 1 || days > kReportDaysMax)) {
        Out() << MessageText("Input_value_is_abnormal") << MessageText("Range_start") << 1 << MessageText("To")
              << kReportDaysMax << MessageText("Range_end") << std::endl;
        errorCode = ERROR_INVALID_PARAMETER;
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return;
    }
    if (!WriteReport(days, IsJapaneseLang(settings.Lang), errorCode)) {
        resultFlag = 0;
        PrintFailureLine(errorCode);
        return;
    }
    Out() << ReportPath() << std::endl;
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
