#include "report/power_timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text_file.h"
#include "testing/scratch_directory.h"

namespace {

const CalendarDay kDay{2026, 12, 8};
const CalendarDay kDayBefore{2026, 12, 7};

PowerEvent Event(const CalendarDay& day, int32_t second, PowerEventKind kind) {
    return PowerEvent{WallSeconds(day, second), kind};
}

// The shipped message files and event lists beside a scratch "executable".
class PowerTimelineTest : public ::testing::Test {
protected:
    ScratchDirectory scratch;
    void SetUp() override { scratch.CopyShippedDataFiles(); }
};

struct ClassifyCase {
    const char* text;
    PowerEventKind kind;
};

TEST_F(PowerTimelineTest, RecognisesTheServicesLinesInEitherLanguage) {
    const PowerEventTexts texts = PowerEventTextsOfBothLanguages();
    const ClassifyCase cases[] = {
        {"Power failure detected: running on battery", PowerEventKind::MainsFailed},
        {"Mains power restored", PowerEventKind::MainsRestored},
        {"UPS communication lost", PowerEventKind::UpsLost},
        {"UPS connection lost", PowerEventKind::UpsLost},
        {"UPS connected:Nerva UPS Simulator", PowerEventKind::UpsConnected},
        {"External command started:(C:\\Tools\\save.cmd /all, now)", PowerEventKind::ExternalCommandStarted},
        {"Operating system shutdown started", PowerEventKind::OsShutdownStarted},
        {"Service started", PowerEventKind::ServiceStarted},
        {"Service stopped", PowerEventKind::ServiceStopped},
        // The Japanese texts as the log holds them, in code page 932.
        {"\x95\xBD\x90\xE0\x82\xAA\x94\xAD\x90\xB6\x82\xB5\x82\xDC\x82\xB5\x82\xBD", PowerEventKind::None},
        {"UPSShutdown:ER=1167", PowerEventKind::None},
        {"Mains power restored, twice", PowerEventKind::None},
        {"", PowerEventKind::None},
    };
    for (const ClassifyCase& c : cases) EXPECT_EQ(ClassifyEventText(c.text, texts), c.kind) << c.text;

    // Every Japanese event-list line of the three codes is recognised as written.
    std::vector<std::string> lines;
    ReadTextLines(scratch.File("EventList_jp.csv"), [&](const std::string& line) {
        lines.push_back(line);
        return true;
    });
    const struct {
        const char* number;
        PowerEventKind kind;
    } codes[] = {{"2,", PowerEventKind::UpsLost}, {"3,", PowerEventKind::MainsFailed}, {"4,", PowerEventKind::MainsRestored}};
    int found = 0;
    for (const std::string& line : lines) {
        for (const auto& code : codes) {
            if (line.compare(0, 2, code.number) != 0) continue;
            EXPECT_EQ(ClassifyEventText(line.substr(2), texts), code.kind) << code.number;
            ++found;
        }
    }
    EXPECT_EQ(found, 3);
}

TEST_F(PowerTimelineTest, ReadsTheEventLogInTimeOrderAndSkipsDamagedLines) {
    scratch.WriteFile("EventLog.csv",
                      "2026/12/08,10:00:05,Power failure detected: running on battery\r\n"
                      "2026/12/08,09:00:00,Service started\r\n"
                      "2026/12/08,10:0x:05,Mains power restored\r\n"
                      "garbage\r\n"
                      "2026/12/08,10:30:00,Install:OK\r\n"
                      "2026/12/08,10:40:05,Mains power restored");
    const std::vector<PowerEvent> events = ReadPowerEvents(scratch.File("EventLog.csv"), PowerEventTextsOfBothLanguages());
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, PowerEventKind::ServiceStarted);
    EXPECT_EQ(events[1].kind, PowerEventKind::MainsFailed);
    EXPECT_EQ(events[1].at, WallSeconds(kDay, 36005));
    EXPECT_EQ(events[2].kind, PowerEventKind::MainsRestored);
    EXPECT_TRUE(ReadPowerEvents(scratch.File("missing.csv"), PowerEventTextsOfBothLanguages()).empty());
}

struct Segment {
    int32_t from;
    int32_t to;
    PowerState state;
};

struct TimelineCase {
    const char* name;
    std::vector<PowerEvent> events;
    std::vector<Segment> segments;
    size_t markers;
};

TEST(PowerTimeline, TurnsEventsIntoTheStatesOfOneDay) {
    using K = PowerEventKind;
    using S = PowerState;
    const TimelineCase cases[] = {
        {"nothing known", {}, {}, 0},
        {"state carried over from the day before",
         {Event(kDayBefore, 100, K::ServiceStarted), Event(kDayBefore, 102, K::UpsConnected)},
         {{0, kSecondsPerDay, S::OnMains}}, 0},
        {"an outage with the shutdown",
         {Event(kDay, 100, K::UpsConnected), Event(kDay, 3600, K::MainsFailed),
          Event(kDay, 3660, K::ExternalCommandStarted), Event(kDay, 3700, K::OsShutdownStarted),
          Event(kDay, 3710, K::ServiceStopped)},
         {{100, 3600, S::OnMains}, {3600, 3710, S::OnBattery}}, 2},
        {"a UPS lost and found",
         {Event(kDay, 0, K::UpsConnected), Event(kDay, 500, K::UpsLost), Event(kDay, 900, K::UpsConnected)},
         {{0, 500, S::OnMains}, {500, 900, S::UpsLost}, {900, kSecondsPerDay, S::OnMains}}, 0},
        {"a repeated report changes nothing",
         {Event(kDay, 0, K::UpsConnected), Event(kDay, 10, K::MainsFailed), Event(kDay, 20, K::MainsFailed)},
         {{0, 10, S::OnMains}, {10, kSecondsPerDay, S::OnBattery}}, 0},
        {"an outage within one second still shows",
         {Event(kDay, 0, K::UpsConnected), Event(kDay, 10, K::MainsFailed), Event(kDay, 10, K::MainsRestored)},
         {{0, 10, S::OnMains}, {10, 10, S::OnBattery}, {10, kSecondsPerDay, S::OnMains}}, 0},
        {"events after the day are left out",
         {Event(kDay, 0, K::UpsConnected), Event(CalendarDay{2026, 12, 9}, 10, K::MainsFailed)},
         {{0, kSecondsPerDay, S::OnMains}}, 0},
    };
    for (const TimelineCase& c : cases) {
        const DayTimeline timeline = TimelineOfDay(c.events, kDay, kSecondsPerDay);
        ASSERT_EQ(timeline.segments.size(), c.segments.size()) << c.name;
        for (size_t i = 0; i < c.segments.size(); ++i) {
            EXPECT_EQ(timeline.segments[i].from, c.segments[i].from) << c.name << " #" << i;
            EXPECT_EQ(timeline.segments[i].to, c.segments[i].to) << c.name << " #" << i;
            EXPECT_EQ(timeline.segments[i].state, c.segments[i].state) << c.name << " #" << i;
        }
        EXPECT_EQ(timeline.markers.size(), c.markers) << c.name;
    }

    // Today ends now.
    const DayTimeline today = TimelineOfDay({Event(kDay, 0, K::UpsConnected), Event(kDay, 7200, K::MainsFailed)},
                                            kDay, 3600);
    ASSERT_EQ(today.segments.size(), 1u);
    EXPECT_EQ(today.segments[0].to, 3600);
    EXPECT_EQ(today.switchesToBattery, 0);
}

}  // namespace
