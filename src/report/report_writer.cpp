#include "report/report_writer.h"

#include <vector>

#include "common/atomic_file.h"
#include "common/clock.h"
#include "common/exe_path.h"
#include "common/win32.h"
#include "log/data_log.h"
#include "report/html_report.h"

namespace {

std::string ComputerNameUtf8() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), &utf8[0], size, nullptr, nullptr);
    return utf8;
}

}  // namespace

std::string ReportPath() { return JoinPath(DataLogFolder(), "Report.html"); }

bool WriteReport(int32_t days, bool japanese, uint32_t& errorCode) {
    const std::time_t now = UnixTimeNow();
    const std::tm local = LocalCalendarTime(now);
    const CalendarDay today{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
    const int32_t secondsIntoToday = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + 1;

    const std::vector<PowerEvent> events =
        ReadPowerEvents(JoinPath(ExeRelativePath("EventLog"), "EventLog.csv"), PowerEventTextsOfBothLanguages());
    std::vector<ReportDay> reportDays;
    for (int32_t back = 0; back < days; ++back) {
        const CalendarDay day = DayFromNumber(DayNumber(today) - back);
        reportDays.push_back(CollectReportDay(DataLogFolder(), events, day, back == 0 ? secondsIntoToday : kSecondsPerDay));
    }

    ReportHeader header;
    header.computerName = ComputerNameUtf8();
    header.createdAt = LocalTimeStamp(now);
    header.createdAt[10] = ' ';
    const std::string html = RenderHtmlReport(reportDays, header, LoadReportTexts(), japanese ? "ja" : "en");

    if (!EnsureFolder(DataLogFolder()) || !WriteFileAtomically(ReportPath(), html)) {
        errorCode = GetLastError();
        return false;
    }
    return true;
}
