// The daily data log with the clock in the test's hand: headings, day changes and the
// 29-day retention. Moments are built from local calendar times, so the tests hold in
// any time zone; retention checks stay an hour or more away from midnight, where a
// daylight-saving date would otherwise shift the boundary.
#include "log/data_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/win32.h"
#include "messages/message_table.h"
#include "testing/scratch_directory.h"

namespace {

std::atomic<int64_t> fakeTicks{0};
int64_t FakeClock() { return fakeTicks.load(); }

// The moment of a local calendar time, as the C runtime converts it.
std::time_t LocalMoment(int year, int month, int day, int hour, int minute, int second) {
    std::tm local = {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

void SetNow(std::time_t when) { fakeTicks.store(static_cast<int64_t>(when) * kTicksPerSecond + kUnixEpochTicks); }

void SetLocalNow(int year, int month, int day, int hour, int minute, int second) {
    SetNow(LocalMoment(year, month, day, hour, minute, second));
}

const char* const kHeading = "Date,Time,In V,In Hz,Out V,Out Hz,Load %,Temp C,Batt V,Level %";

class DataLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_.WriteFile("msgtbl_test.json", std::string(R"({"Data_logHeader": ")") + kHeading + "\"}");
        ASSERT_EQ(LoadMessageTable("msgtbl_test.json"), 1);
        CloseDataLogForTest();
        SetWallClockForTest(&FakeClock);
        SetLocalNow(2026, 12, 8, 12, 0, 0);
    }
    void TearDown() override {
        CloseDataLogForTest();
        SetWallClockForTest(nullptr);
        LoadMessageTable("none.json");
    }

    std::string DayFile(const std::string& stamp) const { return scratch_.ReadFile("DataLog\\" + stamp + ".csv"); }
    void MakeDataLogFolder() const { ASSERT_TRUE(CreateDirectoryA(scratch_.File("DataLog").c_str(), nullptr)); }

    ScratchDirectory scratch_;
};

TEST_F(DataLogTest, DateStampIsTheLocalDateOfTheClock) {
    const struct {
        int year, month, day, hour, minute, second;
        const char* stamp;
    } cases[] = {
        {2026, 12, 8, 12, 0, 0, "20261208"},   {2026, 12, 8, 0, 0, 0, "20261208"},
        {2026, 12, 8, 23, 59, 59, "20261208"}, {2026, 1, 5, 9, 30, 0, "20260105"},
        {1999, 12, 31, 23, 59, 59, "19991231"}, {2000, 2, 29, 6, 0, 0, "20000229"},
    };
    for (const auto& c : cases) {
        SetLocalNow(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(DateStamp(), c.stamp);
    }
    EXPECT_EQ(DataLogFolder(), scratch_.File("DataLog"));
}

TEST_F(DataLogTest, NewFileStartsWithTheHeadingAndLinesFollow) {
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("230.0,50.0,229.5,50.0,35,27.1,31.0,100");
    SetLocalNow(2026, 12, 8, 12, 1, 5);
    WriteDataLog("second");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) +
                                       "\r\n2026/12/08,12:00:00,230.0,50.0,229.5,50.0,35,27.1,31.0,100\r\n"
                                       "2026/12/08,12:01:05,second\r\n");
}

TEST_F(DataLogTest, HeadingOnlyInAFileThatDidNotExist) {
    const struct {
        const char* name;
        bool existsBefore;
        const char* before;
        std::string expected;
    } cases[] = {
        {"new file", false, "", std::string(kHeading) + "\r\n2026/12/08,12:00:00,x\r\n"},
        {"earlier run's file", true, "old line\r\n", "old line\r\n2026/12/08,12:00:00,x\r\n"},
        {"empty file", true, "", "2026/12/08,12:00:00,x\r\n"},
    };
    for (const auto& c : cases) {
        CloseDataLogForTest();
        DeleteFileA(scratch_.File("DataLog\\20261208.csv").c_str());
        CreateDirectoryA(scratch_.File("DataLog").c_str(), nullptr);
        if (c.existsBefore) scratch_.WriteFile("DataLog\\20261208.csv", c.before);
        ASSERT_TRUE(OpenDataLogFile()) << c.name;
        WriteDataLog("x");
        EXPECT_EQ(DayFile("20261208"), c.expected) << c.name;
    }
}

TEST_F(DataLogTest, RestartOnTheSameDayAppendsWithoutASecondHeading) {
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("before restart");
    CloseDataLogForTest();  // the service stops and starts again
    SetLocalNow(2026, 12, 8, 15, 0, 0);
    ASSERT_TRUE(OpenDataLogFile());
    ASSERT_TRUE(OpenDataLogFile());  // a later connect attempt leaves the open file alone
    WriteDataLog("after restart");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) +
                                       "\r\n2026/12/08,12:00:00,before restart\r\n"
                                       "2026/12/08,15:00:00,after restart\r\n");
}

TEST_F(DataLogTest, FirstLineOfANewDayGoesToANewFileWithItsHeading) {
    SetLocalNow(2026, 12, 8, 23, 59, 59);
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("last of the day");
    SetLocalNow(2026, 12, 9, 0, 0, 0);
    WriteDataLog("first of the day");
    SetLocalNow(2026, 12, 9, 0, 1, 0);
    WriteDataLog("second of the day");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) + "\r\n2026/12/08,23:59:59,last of the day\r\n");
    EXPECT_EQ(DayFile("20261209"), std::string(kHeading) +
                                       "\r\n2026/12/09,00:00:00,first of the day\r\n"
                                       "2026/12/09,00:01:00,second of the day\r\n");
}

TEST_F(DataLogTest, DayChangePrunesTheFolder) {
    MakeDataLogFolder();
    scratch_.WriteFile("DataLog\\20261110.csv", "28 days before the 8th, 29 before the 9th");
    SetLocalNow(2026, 12, 8, 22, 0, 0);
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("evening");
    EXPECT_TRUE(scratch_.Exists("DataLog\\20261110.csv"));
    SetLocalNow(2026, 12, 9, 2, 0, 0);
    WriteDataLog("night");
    EXPECT_FALSE(scratch_.Exists("DataLog\\20261110.csv"));
    EXPECT_EQ(DayFile("20261209"), std::string(kHeading) + "\r\n2026/12/09,02:00:00,night\r\n");
}

TEST_F(DataLogTest, OpenAcrossMidnightWithoutLinesMovesToTheNewDay) {
    SetLocalNow(2026, 12, 8, 23, 0, 0);
    ASSERT_TRUE(OpenDataLogFile());
    SetLocalNow(2026, 12, 9, 0, 30, 0);
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("line");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) + "\r\n");
    EXPECT_EQ(DayFile("20261209"), std::string(kHeading) + "\r\n2026/12/09,00:30:00,line\r\n");
}

TEST_F(DataLogTest, RetentionKeeps28DaysAndDeletes29AtAnyTimeOfDay) {
    const struct {
        const char* name;
        bool kept;
    } files[] = {
        {"20261208.csv", true},      // today
        {"20261110.csv", true},      // 28 days back
        {"20261109.csv", false},     // 29 days back
        {"20261001.csv", false},
        {"20261209.csv", true},      // future days stay
        {"20270101.csv", true},
        {"20261340.csv", true},      // rolls over to 2027-02-09
        {"20261399.csv", true},      // rolls over to 2027-04-09
        {"20261041.csv", true},      // rolls over to 2026-11-10: 28 days back
        {"20261040.csv", false},     // rolls over to 2026-11-09: 29 days back
        {"19691231.csv", false},     // before 1970: rejected by the conversion
        {"19700101.csv", false},
        {"30010101.csv", false},     // after 3000: rejected
        {"30001233.csv", false},     // rolls over to 3001-01-02: past 3000 in every zone
        {"99991231.csv", false},
        {"00000000.csv", false},
        {"20201208_old.txt", false}, // the extension plays no part
        {"20261109", false},         // exactly eight characters
        {"2026110", true},           // shorter than eight
        {"abc.csv", true},
        {"notes.txt", true},         // no number
        {"2026ab08.csv", true},      // the month is no number
        {"202612xx.csv", true},      // the day is no number
        {" 2021208.csv", false},     // " 202": year 202, before 1970
        {"2026 1 8.csv", false},     // " 1" and " 8": 2026-01-08
    };
    const struct {
        int hour, minute, second;
    } times[] = {{1, 30, 0}, {12, 0, 0}, {23, 59, 59}};
    MakeDataLogFolder();
    for (const auto& t : times) {
        for (const auto& f : files) scratch_.WriteFile(std::string("DataLog\\") + f.name, "data");
        SetLocalNow(2026, 12, 8, t.hour, t.minute, t.second);
        PruneDataLogs(DataLogFolder());
        for (const auto& f : files) {
            EXPECT_EQ(scratch_.Exists(std::string("DataLog\\") + f.name), f.kept)
                << f.name << " at " << t.hour << ":" << t.minute << ":" << t.second;
        }
    }
}

TEST_F(DataLogTest, RetentionLeavesFoldersReadOnlyFilesAndEverythingOutsideAlone) {
    MakeDataLogFolder();
    ASSERT_TRUE(CreateDirectoryA(scratch_.File("DataLog\\20200101").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(scratch_.File("DataLog\\20200102.csv").c_str(), nullptr));
    scratch_.WriteFile("DataLog\\20200101\\20200101.csv", "inside a subfolder");
    scratch_.WriteFile("DataLog\\20200103.csv", "read-only");
    ASSERT_TRUE(SetFileAttributesA(scratch_.File("DataLog\\20200103.csv").c_str(), FILE_ATTRIBUTE_READONLY));
    scratch_.WriteFile("DataLog\\20200104.csv", "expired");
    scratch_.WriteFile("DataLog\\20200105.csv", "expired");
    scratch_.WriteFile("20200101.csv", "beside the executable");
    scratch_.WriteFile("20200102.txt", "beside the executable");

    ASSERT_TRUE(OpenDataLogFile());

    EXPECT_TRUE(scratch_.Exists("DataLog\\20200101"));
    EXPECT_TRUE(scratch_.Exists("DataLog\\20200102.csv"));
    EXPECT_EQ(scratch_.ReadFile("DataLog\\20200101\\20200101.csv"), "inside a subfolder");
    EXPECT_EQ(scratch_.ReadFile("DataLog\\20200103.csv"), "read-only");
    EXPECT_FALSE(scratch_.Exists("DataLog\\20200104.csv"));
    EXPECT_FALSE(scratch_.Exists("DataLog\\20200105.csv"));
    EXPECT_EQ(scratch_.ReadFile("20200101.csv"), "beside the executable");
    EXPECT_EQ(scratch_.ReadFile("20200102.txt"), "beside the executable");
    SetFileAttributesA(scratch_.File("DataLog\\20200103.csv").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(DataLogRetention, BoundaryIsExactly29DaysOfSeconds) {
    std::tm midnight = {};
    midnight.tm_year = 2026 - 1900;
    midnight.tm_mon = 10;
    midnight.tm_mday = 9;
    midnight.tm_isdst = 0;
    const std::time_t named = std::mktime(&midnight);
    ASSERT_NE(named, static_cast<std::time_t>(-1));
    const struct {
        std::time_t offset;
        bool expired;
    } cases[] = {
        {29 * 86400 - 1, false}, {29 * 86400, true}, {29 * 86400 + 1, true}, {0, false}, {-86400, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DataLogNameExpired("20261109.csv", named + c.offset), c.expired) << c.offset;
    }
}

TEST(DataLogRetention, OnlyPlainFilesArePruned) {
    const struct {
        DWORD attributes;
        bool prunable;
    } cases[] = {
        {FILE_ATTRIBUTE_NORMAL, true},
        {FILE_ATTRIBUTE_ARCHIVE, true},
        {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN, true},
        {FILE_ATTRIBUTE_DIRECTORY, false},
        {FILE_ATTRIBUTE_REPARSE_POINT, false},  // a symbolic link to a file
        {FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE, false},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, false},  // a junction
    };
    for (const auto& c : cases) EXPECT_EQ(DataLogEntryIsPrunable(c.attributes), c.prunable) << std::hex << c.attributes;
}

TEST_F(DataLogTest, DataLogThatIsAPlainFileRefusesEveryOpen) {
    scratch_.WriteFile("DataLog", "not a folder");
    EXPECT_FALSE(OpenDataLogFile());
    WriteDataLog("dropped");
    EXPECT_FALSE(OpenDataLogFile());
    SetLocalNow(2026, 12, 9, 12, 0, 0);
    WriteDataLog("dropped too");
    EXPECT_EQ(scratch_.ReadFile("DataLog"), "not a folder");
}

TEST_F(DataLogTest, MissingFolderIsCreated) {
    ASSERT_FALSE(scratch_.Exists("DataLog"));
    ASSERT_TRUE(OpenDataLogFile());
    EXPECT_NE(GetFileAttributesA(scratch_.File("DataLog").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) + "\r\n");
}

TEST_F(DataLogTest, HeadingKeyMissingFromTheTableGivesTheKey) {
    scratch_.WriteFile("msgtbl_empty.json", "{}");
    ASSERT_EQ(LoadMessageTable("msgtbl_empty.json"), 1);
    ASSERT_TRUE(OpenDataLogFile());
    EXPECT_EQ(DayFile("20261208"), "Data_logHeader\r\n");
}

TEST_F(DataLogTest, LineBreaksInsideALineNeverSplitIt) {
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("a\r\nb\nc\rd");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) + "\r\n2026/12/08,12:00:00,a  b c d\r\n");
}

TEST_F(DataLogTest, LinesBeforeAnyOpenStartTheDayFile) {
    WriteDataLog("without an open");
    EXPECT_EQ(DayFile("20261208"), std::string(kHeading) + "\r\n2026/12/08,12:00:00,without an open\r\n");
}

TEST_F(DataLogTest, OtherProgramsMayReadAndWriteTheOpenFile) {
    ASSERT_TRUE(OpenDataLogFile());
    WriteDataLog("ours");
    HANDLE reader = CreateFileA(scratch_.File("DataLog\\20261208.csv").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
}

TEST_F(DataLogTest, ConcurrentWritersAndOpenersKeepLinesWhole) {
    ASSERT_TRUE(OpenDataLogFile());
    const int kLines = 200;
    std::thread writer([] {
        for (int i = 0; i < kLines; ++i) WriteDataLog("writer line " + std::to_string(i) + std::string(100, 'w'));
    });
    std::thread opener([] {
        for (int i = 0; i < kLines; ++i) {
            OpenDataLogFile();
            WriteDataLog("opener line " + std::to_string(i) + std::string(100, 'o'));
        }
    });
    writer.join();
    opener.join();
    std::string content = DayFile("20261208");
    size_t lines = 0;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = content.substr(at, end - at);
        if (lines == 0) {
            EXPECT_EQ(line, kHeading);
        } else {
            bool whole = line.find(std::string(100, 'w')) != std::string::npos ||
                         line.find(std::string(100, 'o')) != std::string::npos;
            EXPECT_TRUE(whole) << line;
            EXPECT_EQ(line.rfind("2026/12/08,12:00:00,", 0), 0u) << line;
        }
        ++lines;
        at = end + 2;
    }
    EXPECT_EQ(lines, static_cast<size_t>(1 + 2 * kLines));
}

}  // namespace
