#include "report/report_texts.h"

#include <vector>

#include "common/text_file.h"
#include "messages/message_table.h"

namespace {

// The length of the UTF-8 sequence at `at`, or 0 when it is not a valid one.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    }
    // Over-long forms and surrogates are not text either.
    const auto second = static_cast<unsigned char>(length > 1 ? text[at + 1] : 0);
    if (length == 2 && lead < 0xC2) return 0;
    if (length == 3 && ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0))) return 0;
    if (length == 4 && ((lead == 0xF0 && second < 0x90) || lead > 0xF4 || (lead == 0xF4 && second >= 0x90))) {
        return 0;
    }
    return length;
}

}  // namespace

ReportTexts LoadReportTexts() {
    ReportTexts texts;
    texts.title = MessageTextUtf8("Report_title");
    texts.period = MessageTextUtf8("Report_period");
    texts.created = MessageTextUtf8("Report_created");
    texts.computer = MessageTextUtf8("Report_computer");
    texts.noData = MessageTextUtf8("Report_no_data");
    texts.skippedLines = MessageTextUtf8("Report_skipped_lines");
    texts.measurement = MessageTextUtf8("Report_measurement");
    texts.minimum = MessageTextUtf8("Report_minimum");
    texts.average = MessageTextUtf8("Report_average");
    texts.maximum = MessageTextUtf8("Report_maximum");
    texts.switchesToBattery = MessageTextUtf8("Report_switches_to_battery");
    texts.timeOnBattery = MessageTextUtf8("Report_time_on_battery");
    texts.longestOnBattery = MessageTextUtf8("Report_longest_on_battery");
    texts.lowestCharge = MessageTextUtf8("Report_lowest_charge");
    texts.peakLoad = MessageTextUtf8("Report_peak_load");
    texts.peakTemperature = MessageTextUtf8("Report_peak_temperature");
    texts.minutesWithoutData = MessageTextUtf8("Report_minutes_without_data");
    texts.percent = MessageTextUtf8("Percent");
    texts.degrees = MessageTextUtf8("Report_degrees");
    texts.voltageChart = MessageTextUtf8("Report_voltage");
    texts.timeOfDay = MessageTextUtf8("Report_time_of_day");
    texts.powerState = MessageTextUtf8("Report_power_state");
    texts.onMains = MessageTextUtf8("Report_on_mains");
    texts.onBattery = MessageTextUtf8("Report_on_battery");
    texts.upsLost = MessageTextUtf8("Report_ups_lost");
    texts.externalCommand = MessageTextUtf8("Report_external_command");
    texts.osShutdown = MessageTextUtf8("Report_os_shutdown");

    // The data log's heading names the columns: date, time, then the eight measurements.
    const std::vector<std::string> heading = SplitAtCommas(MessageTextUtf8("Data_logHeader"));
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        const size_t field = static_cast<size_t>(column) + 2;
        texts.columnNames[column] = field < heading.size() ? heading[field] : "#" + std::to_string(column + 1);
    }
    return texts;
}

std::string EscapeHtml(const std::string& utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const char c = utf8[i];
        switch (c) {
            case '&': out += "&amp;"; ++i; continue;
            case '<': out += "&lt;"; ++i; continue;
            case '>': out += "&gt;"; ++i; continue;
            case '"': out += "&quot;"; ++i; continue;
            case '\'': out += "&#39;"; ++i; continue;
            default: break;
        }
        const size_t length = Utf8SequenceLength(utf8, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (length == 1 && static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
            out += ' ';  // control bytes have no place in a page
            ++i;
        } else {
            out.append(utf8, i, length);
            i += length;
        }
    }
    return out;
}
