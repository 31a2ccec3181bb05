#include "log/event_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

// 2026-12-08 11:52:35 UTC.
int64_t FixedClock() { return kUnixEpochTicks + int64_t{1796730755} * kTicksPerSecond; }

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseEventLogFileForTest();
        SetWallClockForTest(&FixedClock);
    }
    void TearDown() override {
        CloseEventLogFileForTest();
        SetEventLogWriteForTest(nullptr);
        SetWallClockForTest(nullptr);
    }
    std::string Log() const { return scratch.ReadFile("EventLog\\EventLog.csv"); }
    std::string Line(const std::string& text) const { return LocalTimeStamp(1796730755) + "," + text + "\r\n"; }

    ScratchDirectory scratch;
};

TEST_F(EventLogTest, OpenCreatesTheFolderAndTheFile) {
    EXPECT_TRUE(OpenEventLogFile());
    DWORD attributes = GetFileAttributesA(scratch.File("EventLog").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(scratch.Exists("EventLog\\EventLog.csv"));
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(OpenEventLogFile()) << "a second open keeps the open file";
}

TEST_F(EventLogTest, EachLineIsDateTimeCommaTextCrLf) {
    ASSERT_TRUE(OpenEventLogFile());
    TraceLog("Install:OK");
    TraceLog("External command started:(cmd /c a,b)");
    TraceLog("");
    EXPECT_EQ(Log(), Line("Install:OK") + Line("External command started:(cmd /c a,b)") + Line(""));
    EXPECT_TRUE(std::regex_match(Line("x"), std::regex("\\d{4}/\\d\\d/\\d\\d,\\d\\d:\\d\\d:\\d\\d,x\r\n")));
}

TEST_F(EventLogTest, AppendsToWhatIsThere) {
    ASSERT_TRUE(CreateDirectoryA(scratch.File("EventLog").c_str(), nullptr));
    scratch.WriteFile("EventLog\\EventLog.csv", "earlier line\r\n");
    ASSERT_TRUE(OpenEventLogFile());
    TraceLog("Service started");
    EXPECT_EQ(Log(), "earlier line\r\n" + Line("Service started"));
}

struct ErrorCase {
    const char* prefix;
    uint32_t code;
    const char* text;
};

TEST_F(EventLogTest, ErrorLinesCarryTheCodeUnsigned) {
    ASSERT_TRUE(OpenEventLogFile());
    const ErrorCase cases[] = {
        {"CreateService():ER=", 1073, "CreateService():ER=1073"},
        {"DllLoad:ER=", 0, "DllLoad:ER=0"},
        {"UPSShutdown:ER=", 0xFFFFFFFFu, "UPSShutdown:ER=4294967295"},
    };
    std::string expected;
    for (const ErrorCase& c : cases) {
        TraceLogError(c.prefix, c.code);
        expected += Line(c.text);
    }
    EXPECT_EQ(Log(), expected);
}

TEST_F(EventLogTest, ALineBreakInATextCannotStartALineWithoutDate) {
    ASSERT_TRUE(OpenEventLogFile());
    TraceLog("UPS connected:Model\r\n2000/01/01,00:00:00,forged\nx");
    EXPECT_EQ(Log(), Line("UPS connected:Model  2000/01/01,00:00:00,forged x"));
}

TEST_F(EventLogTest, NothingIsWrittenBeforeTheLogIsOpen) {
    TraceLog("lost");
    EXPECT_FALSE(scratch.Exists("EventLog"));
    ASSERT_TRUE(OpenEventLogFile());
    TraceLog("kept");
    EXPECT_EQ(Log(), Line("kept"));
}

TEST_F(EventLogTest, APlainFileNamedEventLogMeansNoLog) {
    scratch.WriteFile("EventLog", "not a folder");
    EXPECT_FALSE(OpenEventLogFile());
    TraceLog("nowhere to go");
    TraceLogError("DllLoad:ER=", 126);
    EXPECT_EQ(scratch.ReadFile("EventLog"), "not a folder");
}

TEST_F(EventLogTest, KeepsTheCallersLastError) {
    ASSERT_TRUE(OpenEventLogFile());
    SetLastError(1060);
    TraceLog("Service Stop:ER=1060");
    EXPECT_EQ(GetLastError(), 1060u);
}

TEST_F(EventLogTest, AnotherWriterAppendingToTheSameFileIsNotOverwritten) {
    ASSERT_TRUE(OpenEventLogFile());
    // The service and a console command each hold their own append handle.
    ScopedFileHandle other(CreateFileA(scratch.File("EventLog\\EventLog.csv").c_str(), FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(other.IsValid()) << GetLastError();
    TraceLog("first");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(other.Get(), "other\r\n", 7, &written, nullptr));
    TraceLog("second");
    EXPECT_EQ(Log(), Line("first") + "other\r\n" + Line("second"));
}

bool DiskFull(void*, const std::string&) {
    SetLastError(ERROR_DISK_FULL);
    return false;
}

TEST_F(EventLogTest, AFailedWriteDoesNotSilenceTheFollowingLines) {
    ASSERT_TRUE(OpenEventLogFile());
    TraceLog("before");
    SetEventLogWriteForTest(&DiskFull);
    TraceLog("dropped");
    TraceLog("dropped too");
    SetEventLogWriteForTest(nullptr);
    TraceLog("after");
    EXPECT_EQ(Log(), Line("before") + Line("after"));
}

TEST_F(EventLogTest, LinesOfManyThreadsNeverInterleave) {
    ASSERT_TRUE(OpenEventLogFile());
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) TraceLog("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                                      " " + std::string(200, static_cast<char>('a' + t)));
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::string log = Log();
    std::vector<int> next(kThreads, 0);
    size_t start = 0;
    int lines = 0;
    while (start < log.size()) {
        size_t end = log.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = log.substr(start, end - start);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, std::regex("[0-9/]{10},[0-9:]{8},thread (\\d) line (\\d+) ([a-d]+)")))
            << line;
        int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++) << "each thread's lines stay in order";
        EXPECT_EQ(match[3].str(), std::string(200, static_cast<char>('a' + t)));
        start = end + 2;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
