#include "report/report_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/clock.h"
#include "common/exe_path.h"
#include "common/text_file.h"
#include "common/win32.h"
#include "messages/message_table.h"
#include "testing/scratch_directory.h"

namespace {

// 2026/12/08 12:00:00 in the test machine's time zone.
int64_t NoonOfTheDay() {
    SYSTEMTIME local = {};
    local.wYear = 2026;
    local.wMonth = 12;
    local.wDay = 8;
    local.wHour = 12;
    SYSTEMTIME utc = {};
    TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc);
    FILETIME ticks = {};
    SystemTimeToFileTime(&utc, &ticks);
    return (static_cast<int64_t>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime;
}

class ReportWriterTest : public ::testing::Test {
protected:
    ScratchDirectory scratch;
    void SetUp() override {
        SetWallClockForTest(NoonOfTheDay);
        scratch.CopyShippedDataFiles();
        LoadMessageTable("msgtbl_jp.json");
    }
    void TearDown() override {
        SetWallClockForTest(nullptr);
        LoadMessageTable("no-such-file.json");
    }
};

TEST_F(ReportWriterTest, WritesTheDaysAskedForIntoTheDataLogFolder) {
    CreateDirectoryA(scratch.File("DataLog").c_str(), nullptr);
    CreateDirectoryA(scratch.File("EventLog").c_str(), nullptr);
    scratch.WriteFile("DataLog\\20261208.csv",
                      "heading\r\n2026/12/08,00:00:30,100.0,50.0,100.0,50.0,30,25.5,27.2,100\r\n");
    scratch.WriteFile("DataLog\\20261206.csv", "heading\r\n");
    scratch.WriteFile("EventLog\\EventLog.csv", "2026/12/08,00:00:01,UPS connected:Nerva\r\n");

    uint32_t error = 0;
    ASSERT_TRUE(WriteReport(3, true, error)) << error;
    EXPECT_EQ(ReportPath(), scratch.File("DataLog\\Report.html"));
    const std::string html = scratch.ReadFile("DataLog\\Report.html");
    EXPECT_NE(html.find("<html lang=\"ja\">"), std::string::npos);
    EXPECT_NE(html.find("2026/12/08</h2>"), std::string::npos);
    EXPECT_NE(html.find("2026/12/06</h2>"), std::string::npos);
    EXPECT_EQ(html.find("2026/12/05</h2>"), std::string::npos);
    // 2026/12/07 has no file; the Japanese "no data" text, in UTF-8.
    EXPECT_NE(html.find("<p class=\"no-data\">\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\xE3\x81\xAA\xE3\x81\x97</p>"),
              std::string::npos);
    // Today's ribbon ends at noon.
    EXPECT_NE(html.find("<rect class=\"ribbon on-mains\""), std::string::npos);
    // Column 8 is the temperature and column 9 the battery voltage, named by the heading.
    const std::vector<std::string> heading = SplitAtCommas(MessageTextUtf8("Data_logHeader"));
    ASSERT_EQ(heading.size(), 10u);
    EXPECT_NE(html.find("<tr><th>" + heading[7] + "</th><td class=\"n\">25.5</td>"), std::string::npos);
    EXPECT_NE(html.find("<tr><th>" + heading[8] + "</th><td class=\"n\">27.2</td>"), std::string::npos);
    EXPECT_NE(html.find("<b>" + MessageTextUtf8("Report_peak_temperature") + ":</b> 25.5 "), std::string::npos);
}

TEST_F(ReportWriterTest, AFolderThatCannotBeMadeFailsAndSaysWhy) {
    scratch.WriteFile("DataLog", "a plain file where the folder should be");
    uint32_t error = 0;
    EXPECT_FALSE(WriteReport(1, false, error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_DIRECTORY));
    EXPECT_EQ(scratch.ReadFile("DataLog"), "a plain file where the folder should be");
}

TEST_F(ReportWriterTest, AReplacedReportIsWholeAndNoTemporaryFileStays) {
    uint32_t error = 0;
    ASSERT_TRUE(WriteReport(29, false, error)) << error;
    ASSERT_TRUE(WriteReport(1, false, error)) << error;
    const std::string html = scratch.ReadFile("DataLog\\Report.html");
    EXPECT_NE(html.find("</html>"), std::string::npos);
    EXPECT_EQ(html.find("2026/12/07</h2>"), std::string::npos);
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA(scratch.File("DataLog\\*").c_str(), &entry);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int files = 0;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    EXPECT_EQ(files, 1) << "only Report.html";
}

}  // namespace
