// The Windows event reporter, observed through its test sink: the eight known events
// with their message-table texts, nothing for any other identifier, and one table
// however many threads report first.
//
// Outside the sink, under Wine, ReportEventA is a stub that only prints its arguments.
// With WINEDEBUG=fixme+advapi,+eventlog the process's (Unix) standard error gets, per
// event, lines such as:
//   0130:fixme:advapi:ReportEventA (00000000CAFE4242,0x0004,0x0000,0x000003e9,0000000000000000,0x0001,0x00000000,000000000021E9A0,0000000000000000): stub
//   0130:trace:eventlog:ReportEventW L"Power recovered"
// The numbers are the handle, type (0x%04x), category (0x%04x), identifier (0x%08x),
// user SID, string count (0x%04x), data size (0x%08x), strings and data. The text line
// is "trace:eventlog" for information entries and "warn:eventlog" for warnings; its
// text is the ANSI text widened to UTF-16 and printed with \" for a quote and a
// backslash with four hex digits for every non-ASCII character (Japanese 0x93 0x64
// 0x8C 0xB9 in code page 932 shows as L"\96fb\6e90"); past 300 characters Wine cuts
// it and ends the line with "...". These lines go to the Unix file descriptor 2 that
// the Wine process inherited, never through the Windows standard-error handle, so a
// process started with its standard error redirected still prints them where its
// parent's Unix stderr goes (for a service, presumably that of the prefix's services.exe,
// started by wineboot).
#include "log/windows_event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "messages/message_table.h"
#include "testing/scratch_directory.h"

namespace {

struct Reported {
    uint16_t type;
    uint32_t identifier;
    std::string text;
    bool operator==(const Reported& other) const {
        return type == other.type && identifier == other.identifier && text == other.text;
    }
};

std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << "{" << r.type << ", 0x" << std::hex << r.identifier << std::dec << ", \"" << r.text << "\"}";
}

std::mutex reportedLock;
std::vector<Reported> reported;

void RecordingSink(uint16_t type, uint32_t identifier, const std::string& text) {
    std::lock_guard<std::mutex> guard(reportedLock);
    reported.push_back({type, identifier, text});
}

// Every key but Battery_low_event_occurred, with texts unlike their keys.
const char* const kMessageTable = R"({
    "Power_recovery": "Mains power is back",
    "UPS_connected": "UPS connected",
    "Service_start": "Service started",
    "Service_stop": "Service stopped",
    "AC_fail": "Mains power failed",
    "UPS_disconnected": "UPS lost",
    "OS_Shutdown_is_started": "Shutting Windows down"
})";

class WindowsEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_.WriteFile("msgtbl_test.json", kMessageTable);
        ASSERT_EQ(LoadMessageTable("msgtbl_test.json"), 1);
        ResetWindowsEventTableForTest();
        reported.clear();
        SetWindowsEventSinkForTest(&RecordingSink);
    }
    void TearDown() override {
        SetWindowsEventSinkForTest(nullptr);
        ResetWindowsEventTableForTest();
        LoadMessageTable("none.json");
    }

    ScratchDirectory scratch_;
};

TEST_F(WindowsEventTest, KnownEventsCarryTheirMessageTexts) {
    const Reported cases[] = {
        {4, 1001, "Mains power is back"},
        {4, 1002, "UPS connected"},
        {4, 1003, "Service started"},
        {4, 1004, "Service stopped"},
        {2, 0x800007D1, "Mains power failed"},
        {2, 0x800007DA, "UPS lost"},
        {2, 0x800007DC, "Battery_low_event_occurred"},  // key missing from the table
        {2, 0x800007DE, "Shutting Windows down"},
        {1, 1001, "Mains power is back"},  // the type is passed through as given
    };
    for (const Reported& c : cases) {
        reported.clear();
        ReportWindowsEvent(c.type, c.identifier);
        EXPECT_EQ(reported, std::vector<Reported>{c});
    }
    EXPECT_EQ(WindowsEventTableSizeForTest(), 8u);
}

TEST_F(WindowsEventTest, UnknownIdentifiersReportNothing) {
    const uint32_t unknown[] = {0, 1000, 1005, 2001, 2010, 0x000007D1, 0x800007D0, 0x800007DF, 0xFFFFFFFF};
    for (uint32_t identifier : unknown) ReportWindowsEvent(kEventTypeWarning, identifier);
    EXPECT_TRUE(reported.empty()) << reported.size() << " reports";
    EXPECT_EQ(WindowsEventTableSizeForTest(), 8u);  // filled on the first call all the same
}

TEST_F(WindowsEventTest, TextsComeFromTheTableLoadedAtTheFirstReport) {
    ReportWindowsEvent(kEventTypeInformation, kEventServiceStart);
    scratch_.WriteFile("msgtbl_other.json", R"({"Service_stop": "Other text"})");
    ASSERT_EQ(LoadMessageTable("msgtbl_other.json"), 1);
    ReportWindowsEvent(kEventTypeInformation, kEventServiceStop);
    const std::vector<Reported> expected = {{4, 1003, "Service started"}, {4, 1004, "Service stopped"}};
    EXPECT_EQ(reported, expected);
}

TEST_F(WindowsEventTest, ConcurrentFirstReportsFillOneTable) {
    const uint32_t identifiers[] = {kEventPowerRecovery,    kEventUpsConnected, kEventServiceStart,
                                    kEventServiceStop,      kEventAcFail,       kEventUpsDisconnected,
                                    kEventBatteryLow,       kEventOsShutdown};
    for (int round = 0; round < 25; ++round) {
        ResetWindowsEventTableForTest();
        reported.clear();
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (uint32_t identifier : identifiers) {
            threads.emplace_back([&go, identifier] {
                while (!go.load()) std::this_thread::yield();
                ReportWindowsEvent(kEventTypeWarning, identifier);
            });
        }
        go.store(true);
        for (std::thread& t : threads) t.join();
        ASSERT_EQ(WindowsEventTableSizeForTest(), 8u) << "round " << round;
        ASSERT_EQ(reported.size(), 8u) << "round " << round;
        for (uint32_t identifier : identifiers) {
            int seen = 0;
            for (const Reported& r : reported) seen += r.identifier == identifier ? 1 : 0;
            EXPECT_EQ(seen, 1) << std::hex << identifier << " in round " << std::dec << round;
        }
    }
}

}  // namespace
