#include "config/status_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/text_file.h"
#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

class StatusFileTest : public ::testing::Test {
protected:
    void SetUp() override { ResetStatusForTest(); }
    void TearDown() override { ResetStatusForTest(); }
    ScratchDirectory scratch;
};

TEST_F(StatusFileTest, PathIsBesideTheExecutable) { EXPECT_EQ(StatusFilePath(), scratch.Path() + "Status.ini"); }

TEST_F(StatusFileTest, PublishWritesExactlyThreeLinesInOrder) {
    EXPECT_TRUE(PublishStatus([](StatusFile& s) {
        s.AcFail = 1;
        s.Connection = 1;
        s.Model = "NV-1500 Pro";
    }));
    EXPECT_EQ(scratch.ReadFile("Status.ini"), "ACFAIL=1\r\nCONNECTION=1\r\nMODEL=NV-1500 Pro\r\n");

    // Each publish carries the latest value of every field, not only the changed one.
    EXPECT_TRUE(PublishStatus([](StatusFile& s) { s.AcFail = 0; }));
    EXPECT_EQ(scratch.ReadFile("Status.ini"), "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=NV-1500 Pro\r\n");
    StatusFile current = CurrentStatus();
    EXPECT_EQ(current.AcFail, 0);
    EXPECT_EQ(current.Connection, 1);
    EXPECT_EQ(current.Model, "NV-1500 Pro");
}

TEST_F(StatusFileTest, ResetRestoresTheStartingValues) {
    PublishStatus([](StatusFile& s) {
        s.AcFail = 1;
        s.Connection = 1;
        s.Model = "x";
    });
    ResetStatusForTest();
    EXPECT_TRUE(PublishStatus([](StatusFile&) {}));
    EXPECT_EQ(scratch.ReadFile("Status.ini"), "ACFAIL=0\r\nCONNECTION=0\r\nMODEL=\r\n");
}

TEST_F(StatusFileTest, AModelNameCannotForgeALine) {
    EXPECT_TRUE(PublishStatus([](StatusFile& s) {
        s.Connection = 1;
        s.Model = "Evil\r\nCONNECTION=0\nX";
    }));
    EXPECT_EQ(scratch.ReadFile("Status.ini"), "ACFAIL=0\r\nCONNECTION=1\r\nMODEL=Evil  CONNECTION=0 X\r\n");
    StatusFile read;
    EXPECT_TRUE(ReadStatusFile(read));
    EXPECT_EQ(read.Connection, 1);
}

TEST_F(StatusFileTest, PublishReportsAFileThatCannotBeWrittenButKeepsTheChange) {
    ASSERT_TRUE(CreateDirectoryA(scratch.File("Status.ini").c_str(), nullptr));
    EXPECT_FALSE(PublishStatus([](StatusFile& s) { s.Connection = 1; }));
    EXPECT_EQ(CurrentStatus().Connection, 1);
}

struct ReadCase {
    const char* name;
    std::string bytes;
    bool result;
    int32_t acFail;
    int32_t connection;
    const char* model;
};

TEST_F(StatusFileTest, ReadFillsAFreshRecordByTheSharedGrammar) {
    const ReadCase cases[] = {
        {"as written", "ACFAIL=1\r\nCONNECTION=1\r\nMODEL=NV-1500\r\n", true, 1, 1, "NV-1500"},
        {"only CONNECTION", "CONNECTION=1\r\n", true, 0, 1, ""},
        {"model holding =", "MODEL=A=B=C\r\n", true, 0, 0, "A=B=C"},
        {"ACFAIL of letters fails even with valid lines", "CONNECTION=1\r\nACFAIL=on\r\nMODEL=M\r\n", false, 0, 1, ""},
        {"ACFAIL 1 and a space reads 1", "ACFAIL=1 \r\n", true, 1, 0, ""},
        {"huge number fails", "CONNECTION=99999999999\r\n", false, 0, 0, ""},
        {"lower-case keys ignored", "acfail=1\r\nconnection=1\r\nmodel=m\r\n", true, 0, 0, ""},
        {"last occurrence wins", "CONNECTION=1\nCONNECTION=0\n", true, 0, 0, ""},
        {"LF only, no final line end", "ACFAIL=1\nMODEL=M", true, 1, 0, "M"},
        {"lines without = ignored", "[status]\r\n\r\nCONNECTION=1\r\n", true, 0, 1, ""},
        {"empty file", "", true, 0, 0, ""},
        {"byte-order mark hides the first key", "\xEF\xBB\xBF" "CONNECTION=1\r\nACFAIL=1\r\n", true, 1, 0, ""},
        {"binary", std::string("\x01\x02\xFF\n\x00=\x00\n", 8), true, 0, 0, ""},
    };
    for (const ReadCase& c : cases) {
        scratch.WriteFile("Status.ini", c.bytes);
        StatusFile status;
        EXPECT_EQ(ReadStatusFile(status), c.result) << c.name;
        EXPECT_EQ(status.AcFail, c.acFail) << c.name;
        EXPECT_EQ(status.Connection, c.connection) << c.name;
        EXPECT_EQ(status.Model, c.model) << c.name;
    }
}

TEST_F(StatusFileTest, ReadFailsWithoutAFile) {
    StatusFile status;
    status.Model = "before";
    EXPECT_FALSE(ReadStatusFile(status));
    EXPECT_EQ(status.Model, "before");
}

TEST_F(StatusFileTest, ReadFindsTheFileFromAnyCurrentFolder) {
    ScratchDirectory exeFolder;  // the exe folder from now on; `scratch` becomes a stranger
    SetCurrentDirectoryA(scratch.Path().c_str());
    scratch.WriteFile("Status.ini", "CONNECTION=0\r\n");
    exeFolder.WriteFile("Status.ini", "CONNECTION=1\r\nMODEL=Real\r\n");
    StatusFile status;
    EXPECT_TRUE(ReadStatusFile(status));
    EXPECT_EQ(status.Connection, 1);
    EXPECT_EQ(status.Model, "Real");
    SetCurrentDirectoryA("C:\\");
}

TEST_F(StatusFileTest, ConcurrentPublishersNeverLeaveAHalfFileForAReader) {
    constexpr int kRounds = 100;
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::atomic<int> goodReads{0};
    PublishStatus([](StatusFile& s) { s.Model = "start"; });

    std::thread reader([&] {
        while (!done) {
            std::string bytes;
            ReadWholeFile(scratch.File("Status.ini"), bytes);
            // Whatever moment it is read at, the file is one of the whole three-line forms.
            bool whole = bytes.size() > 20 && bytes.compare(0, 7, "ACFAIL=") == 0 &&
                         bytes.find("\r\nCONNECTION=") != std::string::npos &&
                         bytes.find("\r\nMODEL=") != std::string::npos && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0;
            StatusFile status;
            if (whole && ReadStatusFile(status)) {
                ++goodReads;
            } else if (!bytes.empty()) {
                ++badReads;
            }
            Sleep(2);  // a console refreshing its screen, not a busy loop that starves the writers
        }
    });
    std::atomic<int> failedPublishes{0};
    std::thread monitor([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!PublishStatus([i](StatusFile& s) { s.Connection = i % 2; })) ++failedPublishes;
        }
    });
    std::thread callback([&] {
        for (int i = 0; i < kRounds; ++i) {
            bool written = PublishStatus([i](StatusFile& s) {
                s.AcFail = i % 2;
                s.Model = "model-" + std::to_string(i) + std::string(i * 10, 'm');
            });
            if (!written) ++failedPublishes;
        }
    });
    monitor.join();
    callback.join();
    done = true;
    reader.join();

    EXPECT_EQ(failedPublishes.load(), 0) << "a reader of the console's kind must never block the service";
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_GT(goodReads.load(), 0);
    StatusFile last = CurrentStatus();
    EXPECT_EQ(scratch.ReadFile("Status.ini"), "ACFAIL=" + std::to_string(last.AcFail) + "\r\nCONNECTION=" +
                                                  std::to_string(last.Connection) + "\r\nMODEL=" + last.Model + "\r\n");
}

}  // namespace
