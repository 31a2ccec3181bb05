#include "report/html_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

ReportTexts Texts() {
    ReportTexts texts;
    texts.title = "UPS report";
    texts.noData = "no data";
    texts.onMains = "On mains";
    texts.onBattery = "On battery";
    texts.upsLost = "UPS lost";
    for (int32_t column = 0; column < kDataColumnCount; ++column) texts.columnNames[column] = "c" + std::to_string(column);
    return texts;
}

DataSample Full(int32_t second) {
    DataSample sample;
    sample.secondOfDay = second;
    for (int32_t column = 0; column < kDataColumnCount; ++column) {
        sample.present[column] = true;
        sample.values[column] = 50.0;
    }
    return sample;
}

ReportDay DayWithData() {
    ReportDay day;
    day.day = CalendarDay{2026, 12, 8};
    day.data.fileFound = true;
    for (int32_t minute = 0; minute < 120; ++minute) day.data.samples.push_back(Full(minute * 60));
    day.data.samples[30].present[kTemperature] = false;  // a gap in one series only
    const std::vector<PowerEvent> events = {
        {WallSeconds(day.day, 0), PowerEventKind::UpsConnected},
        {WallSeconds(day.day, 3600), PowerEventKind::MainsFailed},
        {WallSeconds(day.day, 3660), PowerEventKind::ExternalCommandStarted},
        {WallSeconds(day.day, 4000), PowerEventKind::MainsRestored},
    };
    day.timeline = TimelineOfDay(events, day.day, kSecondsPerDay);
    day.summary = SummarizeDay(day.data, day.timeline, kSecondsPerDay);
    return day;
}

TEST(HtmlReport, OneSelfContainedPageWithChartsRibbonAndMarkers) {
    ReportDay empty;
    empty.day = CalendarDay{2026, 12, 7};
    const std::string html = RenderHtmlReport({DayWithData(), empty}, ReportHeader{"SERVER-1", "2026/12/08 12:00:00"},
                                              Texts(), "en");
    EXPECT_EQ(html.compare(0, 15, "<!DOCTYPE html>"), 0);
    EXPECT_EQ(Count(html, "<script"), 0u);
    EXPECT_EQ(Count(html, "src="), 0u);
    EXPECT_EQ(Count(html, "href="), 0u);
    EXPECT_EQ(Count(html, "url("), 0u);
    EXPECT_EQ(Count(html, "<section class=\"day\""), 2u);
    // Newest first.
    EXPECT_LT(html.find("2026/12/08</h2>"), html.find("2026/12/07</h2>"));
    // Voltage in and out, load, charge, temperature.
    EXPECT_EQ(Count(html, "<path class=\"series "), 5u);
    // The temperature series breaks at its missing value: two runs.
    const size_t temperature = html.find("<path class=\"series temperature\"");
    ASSERT_NE(temperature, std::string::npos);
    const std::string path = html.substr(temperature, html.find("</path>", temperature) - temperature);
    EXPECT_EQ(Count(path, "M"), 2u);
    // Mains, battery, mains again.
    EXPECT_EQ(Count(html, "<rect class=\"ribbon on-mains\""), 2u);
    EXPECT_EQ(Count(html, "<rect class=\"ribbon on-battery\""), 1u);
    EXPECT_EQ(Count(html, "<g class=\"marker external-command\""), 1u);
    EXPECT_EQ(Count(html, "<p class=\"no-data\">no data</p>"), 1u);
}

TEST(HtmlReport, EveryTextIsEscapedAndValidUtf8) {
    ReportTexts texts = Texts();
    texts.title = "<b>Report & \"co\"</b>";
    const std::string html = RenderHtmlReport({DayWithData()}, ReportHeader{"PC\xFF<1>", "now"}, texts, "en");
    EXPECT_EQ(Count(html, "<b>Report"), 0u);
    EXPECT_NE(html.find("&lt;b&gt;Report &amp; &quot;co&quot;&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(html.find("PC\xEF\xBF\xBD&lt;1&gt;"), std::string::npos);

    struct EscapeCase {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},
        {"\xE9\x9B\xBB\xE5\x9C\xA7", "\xE9\x9B\xBB\xE5\x9C\xA7"},  // Japanese stays as it is
        {"a\xC3", "a\xEF\xBF\xBD"},                                 // cut sequence
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                   // over-long form
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},   // surrogate
        {std::string("a\0b\x1b", 4), "a b "},
        {"it's", "it&#39;s"},
    };
    for (const EscapeCase& c : cases) EXPECT_EQ(EscapeHtml(c.in), c.out) << c.in;
}

}  // namespace
