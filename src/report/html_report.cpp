#include "report/html_report.h"

#include "report/day_chart.h"
#include "report/svg_series.h"

namespace {

// No script, no external file: the policy says so to any browser that honours it, and
// a page that breaks it shows the fault at once.
const char kHead[] =
    "<meta charset=\"utf-8\">\n"
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'; "
    "img-src data:\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<style>\n"
    "body{font-family:'Segoe UI','Meiryo','Yu Gothic',Arial,sans-serif;margin:24px;color:#222;background:#fff}\n"
    "h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}\n"
    ".meta{color:#555;margin:0 0 8px}.legend-row span{margin-right:16px}\n"
    ".swatch{display:inline-block;width:14px;height:10px;margin-right:4px;vertical-align:middle}\n"
    "table{border-collapse:collapse;margin:6px 0;font-size:13px}\n"
    "th,td{border:1px solid #ddd;padding:3px 8px}td.n{text-align:right}th{background:#f4f4f4;text-align:left}\n"
    ".figures{display:flex;flex-wrap:wrap;gap:6px 18px;margin:8px 0;font-size:13px}\n"
    ".figures b{font-weight:600}.no-data{color:#a00;font-weight:600}\n"
    "svg.day-chart{max-width:100%;height:auto;font-size:11px}\n"
    "svg text{fill:#333}.chart-title,.axis-title{font-weight:600}\n"
    ".plot{fill:#fafafa;stroke:#bbb}.ribbon-frame{fill:#eee;stroke:#bbb}.grid{stroke:#e2e2e2}\n"
    ".series,.legend{fill:none;stroke-width:1.4;stroke-linejoin:round;stroke-linecap:round}\n"
    ".input-voltage{stroke:#1f77b4}.output-voltage{stroke:#9467bd}.load{stroke:#8c564b}\n"
    ".battery-charge{stroke:#2ca02c}.temperature{stroke:#d62728}\n"
    ".on-mains{fill:#7cc47f}.on-battery{fill:#f0a030}.ups-lost{fill:#c0392b}\n"
    ".marker line{stroke:#000;stroke-dasharray:4 3}.marker text{font-size:10px}\n"
    ".os-shutdown line{stroke:#c0392b}\n"
    "</style>\n";

std::string Cell(const ColumnSummary& column, bool average, double value) {
    if (!column.any) return "<td class=\"n\">&#8211;</td>";
    return "<td class=\"n\">" + FormatNumber(value, average ? 1 : 2) + "</td>";
}

std::string Figure(const std::string& name, const std::string& value) {
    return "<span><b>" + EscapeHtml(name) + ":</b> " + value + "</span>";
}

std::string ValueOrDash(const ColumnSummary& column, double value, const std::string& unit) {
    return column.any ? FormatNumber(value, 1) + " " + EscapeHtml(unit) : "&#8211;";
}

std::string SummaryHtml(const ReportDay& day, const ReportTexts& texts) {
    const DaySummary& summary = day.summary;
    std::string html = "<table class=\"summary\"><tr><th>" + EscapeHtml(texts.measurement) + "</th><th>" +
                       EscapeHtml(texts.minimum) + "</th><th>" + EscapeHtml(texts.average) + "</th><th>" +
                       EscapeHtml(texts.maximum) + "</th></tr>\n";
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        const ColumnSummary& c = summary.columns[column];
        html += "<tr><th>" + EscapeHtml(texts.columnNames[column]) + "</th>" + Cell(c, false, c.minimum) +
                Cell(c, true, c.average) + Cell(c, false, c.maximum) + "</tr>\n";
    }
    html += "</table>\n<div class=\"figures\">";
    html += Figure(texts.switchesToBattery, std::to_string(summary.switchesToBattery));
    html += Figure(texts.timeOnBattery, FormatClock(summary.secondsOnBattery));
    html += Figure(texts.longestOnBattery, FormatClock(summary.longestOnBattery));
    html += Figure(texts.lowestCharge,
                   ValueOrDash(summary.columns[kBatteryCharge], summary.columns[kBatteryCharge].minimum, texts.percent));
    html += Figure(texts.peakLoad,
                   ValueOrDash(summary.columns[kLoadPercent], summary.columns[kLoadPercent].maximum, texts.percent));
    html += Figure(texts.peakTemperature,
                   ValueOrDash(summary.columns[kTemperature], summary.columns[kTemperature].maximum, texts.degrees));
    html += Figure(texts.minutesWithoutData, std::to_string(summary.minutesWithoutData));
    if (day.data.skippedLines > 0) html += Figure(texts.skippedLines, std::to_string(day.data.skippedLines));
    return html + "</div>\n";
}

std::string DayHtml(const ReportDay& day, const ReportTexts& texts) {
    const std::string date = LogDateText(day.day);
    std::string html = "<section class=\"day\" id=\"d" + DataLogFileName(day.day).substr(0, 8) + "\"><h2>" + date +
                       "</h2>\n";
    if (!day.data.fileFound) {
        html += "<p class=\"no-data\">" + EscapeHtml(texts.noData) + "</p>\n";
        html += DayRibbonSvg(day, texts);
        return html + "</section>\n";
    }
    html += SummaryHtml(day, texts);
    html += DayChartSvg(day, texts);
    return html + "\n</section>\n";
}

std::string LegendHtml(const ReportTexts& texts) {
    auto swatch = [](const char* cssClass, const std::string& text) {
        return std::string("<span><svg class=\"swatch\" width=\"14\" height=\"10\"><rect class=\"") + cssClass +
               "\" width=\"14\" height=\"10\"/></svg>" + EscapeHtml(text) + "</span>";
    };
    return "<p class=\"legend-row\">" + EscapeHtml(texts.powerState) + ": " + swatch("on-mains", texts.onMains) +
           swatch("on-battery", texts.onBattery) + swatch("ups-lost", texts.upsLost) + "</p>\n";
}

}  // namespace

std::string RenderHtmlReport(const std::vector<ReportDay>& days, const ReportHeader& header,
                             const ReportTexts& texts, const std::string& htmlLanguage) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"" + htmlLanguage + "\">\n<head>\n";
    html += kHead;
    html += "<title>" + EscapeHtml(texts.title) + " " + EscapeHtml(header.computerName) + "</title>\n</head>\n<body>\n";
    html += "<h1>" + EscapeHtml(texts.title) + "</h1>\n<p class=\"meta\">";
    html += EscapeHtml(texts.computer) + ": " + EscapeHtml(header.computerName) + " &#183; ";
    if (!days.empty()) {
        html += EscapeHtml(texts.period) + ": " + LogDateText(days.back().day) + " &#8211; " +
                LogDateText(days.front().day) + " &#183; ";
    }
    html += EscapeHtml(texts.created) + ": " + EscapeHtml(header.createdAt) + "</p>\n";
    html += LegendHtml(texts);
    for (const ReportDay& day : days) html += DayHtml(day, texts);
    return html + "</body>\n</html>\n";
}
