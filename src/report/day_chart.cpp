#include "report/day_chart.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "report/svg_series.h"

namespace {

constexpr double kWidth = 960;
constexpr double kLeft = 64;
constexpr double kRight = 16;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kRibbonTop = 32;  // room for two rows of marker labels above it
constexpr double kRibbonHeight = 16;
constexpr double kFirstPanelTop = 78;
constexpr double kLabelRowHeight = 12;
constexpr double kPanelHeight = 100;
constexpr double kPanelSpacing = 34;

struct Series {
    DataColumn column;
    const char* cssClass;
};

struct Panel {
    std::string title;
    std::vector<Series> series;
    ValueScale scale;
};

std::string Num(double value) { return FormatNumber(value, 1); }

// Width of a label at the markers' 10 px font: about 6 px a Latin letter, 10 px a wide
// (CJK) character, which takes three bytes in UTF-8.
double ApproximateTextWidth(const std::string& utf8) {
    double width = 0;
    for (unsigned char c : utf8) {
        if (c < 0x80) width += 6;
        else if ((c & 0xC0) != 0x80) width += (c >= 0xE0 ? 10 : 7);
    }
    return width;
}

const char* StateClass(PowerState state) {
    switch (state) {
        case PowerState::OnMains: return "on-mains";
        case PowerState::OnBattery: return "on-battery";
        default: return "ups-lost";
    }
}

const std::string& StateText(PowerState state, const ReportTexts& texts) {
    switch (state) {
        case PowerState::OnMains: return texts.onMains;
        case PowerState::OnBattery: return texts.onBattery;
        default: return texts.upsLost;
    }
}

// The range of the columns' values, widened to `floorLow`/`floorHigh` when given
// (percentages always show 0 to 100).
ValueScale ScaleOf(const ReportDay& day, const std::vector<Series>& series, double floorLow, double floorHigh,
                   bool fixed) {
    double low = floorLow;
    double high = floorHigh;
    bool any = fixed;
    for (const Series& s : series) {
        const ColumnSummary& summary = day.summary.columns[s.column];
        if (!summary.any) continue;
        low = any ? std::min(low, summary.minimum) : summary.minimum;
        high = any ? std::max(high, summary.maximum) : summary.maximum;
        any = true;
    }
    return RoundScale(low, high);
}

std::string TimeGrid(double top, double height, bool labels) {
    std::string svg;
    for (int hour = 0; hour <= 24; hour += 3) {
        const double x = XOfSecond(PlotArea{kLeft, top, kPlotWidth, height}, hour * 3600);
        svg += "<line class=\"grid\" x1=\"" + Num(x) + "\" y1=\"" + Num(top) + "\" x2=\"" + Num(x) + "\" y2=\"" +
               Num(top + height) + "\"/>";
        if (labels) {
            svg += "<text class=\"tick\" x=\"" + Num(x) + "\" y=\"" + Num(top + height + 14) +
                   "\" text-anchor=\"middle\">" + std::to_string(hour) + ":00</text>";
        }
    }
    return svg;
}

std::string RibbonAndMarkers(const ReportDay& day, const ReportTexts& texts, double markerBottom) {
    const PlotArea ribbon{kLeft, kRibbonTop, kPlotWidth, kRibbonHeight};
    std::string svg = "<g class=\"ribbon-row\"><text class=\"axis-title\" x=\"" + Num(kLeft - 6) + "\" y=\"" +
                      Num(kRibbonTop + 12) + "\" text-anchor=\"end\">" + EscapeHtml(texts.powerState) + "</text>";
    svg += "<rect class=\"ribbon-frame\" x=\"" + Num(kLeft) + "\" y=\"" + Num(kRibbonTop) + "\" width=\"" +
           Num(kPlotWidth) + "\" height=\"" + Num(kRibbonHeight) + "\"/>";
    for (const RibbonSegment& segment : day.timeline.segments) {
        const double x = XOfSecond(ribbon, segment.from);
        const double width = std::max(1.0, XOfSecond(ribbon, segment.to) - x);
        svg += std::string("<rect class=\"ribbon ") + StateClass(segment.state) + "\" x=\"" + Num(x) + "\" y=\"" +
               Num(kRibbonTop) + "\" width=\"" + Num(width) + "\" height=\"" + Num(kRibbonHeight) + "\"><title>" +
               EscapeHtml(StateText(segment.state, texts)) + " " + FormatClock(segment.from) + "\xE2\x80\x93" +
               FormatClock(segment.to) + "</title></rect>";
    }
    svg += "</g>";
    // Labels of markers close together take turns between two rows instead of overlapping.
    double rowEnds[2] = {-1e9, -1e9};
    for (const DayMarker& marker : day.timeline.markers) {
        const bool command = marker.kind == PowerEventKind::ExternalCommandStarted;
        const double x = XOfSecond(ribbon, marker.at);
        const std::string& text = command ? texts.externalCommand : texts.osShutdown;
        const int row = x + 3 > rowEnds[0] ? 0 : x + 3 > rowEnds[1] ? 1 : (rowEnds[0] <= rowEnds[1] ? 0 : 1);
        rowEnds[row] = x + 3 + ApproximateTextWidth(text);
        const std::string label = EscapeHtml(text);
        svg += std::string("<g class=\"marker ") + (command ? "external-command" : "os-shutdown") + "\"><title>" +
               label + " " + FormatClock(marker.at) + "</title><line x1=\"" + Num(x) + "\" y1=\"" +
               Num(kRibbonTop - 4 - row * kLabelRowHeight) + "\" x2=\"" + Num(x) + "\" y2=\"" + Num(markerBottom) +
               "\"/><text x=\"" + Num(x + 3) + "\" y=\"" + Num(kRibbonTop - 6 - row * kLabelRowHeight) + "\">" + label +
               "</text></g>";
    }
    return svg;
}

std::string PanelSvg(const ReportDay& day, const Panel& panel, const ReportTexts& texts, double top) {
    const PlotArea area{kLeft, top, kPlotWidth, kPanelHeight};
    std::string svg = "<g class=\"chart\"><text class=\"chart-title\" x=\"" + Num(kLeft) + "\" y=\"" +
                      Num(top - 8) + "\">" + EscapeHtml(panel.title) + "</text>";
    // A legend where a panel holds more than one series.
    if (panel.series.size() > 1) {
        double x = kLeft + 260;
        for (const Series& s : panel.series) {
            svg += std::string("<line class=\"legend ") + s.cssClass + "\" x1=\"" + Num(x) + "\" y1=\"" +
                   Num(top - 12) + "\" x2=\"" + Num(x + 18) + "\" y2=\"" + Num(top - 12) + "\"/><text x=\"" +
                   Num(x + 22) + "\" y=\"" + Num(top - 8) + "\">" + EscapeHtml(texts.columnNames[s.column]) +
                   "</text>";
            x += 220;
        }
    }
    svg += "<rect class=\"plot\" x=\"" + Num(kLeft) + "\" y=\"" + Num(top) + "\" width=\"" + Num(kPlotWidth) +
           "\" height=\"" + Num(kPanelHeight) + "\"/>";
    for (double value = panel.scale.minimum; value <= panel.scale.maximum + panel.scale.step / 2;
         value += panel.scale.step) {
        const double y = YOfValue(area, panel.scale, value);
        svg += "<line class=\"grid\" x1=\"" + Num(kLeft) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(kLeft + kPlotWidth) +
               "\" y2=\"" + Num(y) + "\"/><text class=\"tick\" x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(y + 4) +
               "\" text-anchor=\"end\">" + FormatNumber(value, 2) + "</text>";
    }
    svg += TimeGrid(top, kPanelHeight, false);
    for (const Series& s : panel.series) {
        const std::string path = SeriesPathData(day.data.samples, s.column, area, panel.scale);
        if (path.empty()) continue;
        svg += std::string("<path class=\"series ") + s.cssClass + "\" d=\"" + path + "\"><title>" +
               EscapeHtml(texts.columnNames[s.column]) + "</title></path>";
    }
    return svg + "</g>";
}

std::string SvgOpen(double height, const std::string& label) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"day-chart\" viewBox=\"0 0 " + Num(kWidth) + " " +
           Num(height) + "\" width=\"" + Num(kWidth) + "\" height=\"" + Num(height) + "\" role=\"img\" aria-label=\"" +
           EscapeHtml(label) + "\">";
}

}  // namespace

std::string FormatClock(int32_t seconds) {
    char text[24];
    std::snprintf(text, sizeof(text), "%d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

std::string DayChartSvg(const ReportDay& day, const ReportTexts& texts) {
    std::vector<Panel> panels;
    const std::vector<Series> voltages = {{kInputVoltage, "input-voltage"}, {kOutputVoltage, "output-voltage"}};
    panels.push_back(Panel{texts.voltageChart, voltages, ScaleOf(day, voltages, 0, 0, false)});
    const std::vector<Series> load = {{kLoadPercent, "load"}};
    panels.push_back(Panel{texts.columnNames[kLoadPercent], load, ScaleOf(day, load, 0, 100, true)});
    const std::vector<Series> charge = {{kBatteryCharge, "battery-charge"}};
    panels.push_back(Panel{texts.columnNames[kBatteryCharge], charge, ScaleOf(day, charge, 0, 100, true)});
    const std::vector<Series> temperature = {{kTemperature, "temperature"}};
    panels.push_back(Panel{texts.columnNames[kTemperature], temperature, ScaleOf(day, temperature, 0, 0, false)});

    const double lastBottom = kFirstPanelTop + panels.size() * (kPanelHeight + kPanelSpacing) - kPanelSpacing;
    const double height = lastBottom + 34;
    std::string svg = SvgOpen(height, LogDateText(day.day));
    svg += TimeGrid(kRibbonTop, kRibbonHeight, false);
    for (size_t i = 0; i < panels.size(); ++i) {
        svg += PanelSvg(day, panels[i], texts, kFirstPanelTop + i * (kPanelHeight + kPanelSpacing));
    }
    // The shared time axis under the last chart.
    svg += TimeGrid(lastBottom, 0, true);
    svg += "<text class=\"axis-title\" x=\"" + Num(kLeft + kPlotWidth / 2) + "\" y=\"" + Num(lastBottom + 30) +
           "\" text-anchor=\"middle\">" + EscapeHtml(texts.timeOfDay) + "</text>";
    svg += RibbonAndMarkers(day, texts, lastBottom);
    return svg + "</svg>";
}

std::string DayRibbonSvg(const ReportDay& day, const ReportTexts& texts) {
    if (day.timeline.segments.empty() && day.timeline.markers.empty()) return std::string();
    const double bottom = kRibbonTop + kRibbonHeight;
    std::string svg = SvgOpen(bottom + 20, LogDateText(day.day));
    svg += RibbonAndMarkers(day, texts, bottom);
    svg += TimeGrid(bottom, 0, true);
    return svg + "</svg>";
}
