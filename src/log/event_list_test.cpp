#include "log/event_list.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

class EventListTest : public ::testing::Test {
protected:
    void TearDown() override { LoadEventListFile(scratch.File("none.csv")); }
    ScratchDirectory scratch;

    void Load(const std::string& bytes) {
        scratch.WriteFile("list.csv", bytes);
        ASSERT_TRUE(LoadEventListFile(scratch.File("list.csv")));
    }
};

struct Lookup {
    int32_t number;
    std::string text;
};

struct GrammarCase {
    const char* name;
    std::string bytes;
    std::vector<Lookup> lookups;
};

TEST_F(EventListTest, ReadsEachLineAsNumberCommaText) {
    const GrammarCase cases[] = {
        {"plain lines", "2,Lost\r\n3,Mains failed\r\n", {{2, "Lost"}, {3, "Mains failed"}, {4, ""}}},
        {"LF only and no last line end", "2,Lost\n3,Failed", {{2, "Lost"}, {3, "Failed"}}},
        {"first line with a number wins", "5,First\r\n5,Second\r\n", {{5, "First"}}},
        {"empty text shadows a later one", "7,,\r\n7,Later\r\n", {{7, ""}}},
        {"nothing after the only comma skips the line", "7,\r\n7,Later\r\n", {{7, "Later"}}},
        {"digits then junk", "12abc,Battery test\r\n", {{12, "Battery test"}}},
        {"title and out-of-range lines skipped",
         "Number,Text\r\n99999999999,x\r\n6,Overload\r\n", {{6, "Overload"}}},
        {"commas inside the text stay", "9,Input,voltage,high\r\n", {{9, "Input,voltage,high"}}},
        {"one trailing comma dropped", "9,a,b,\r\n", {{9, "a,b"}}},
        {"only the last trailing comma dropped", "9,a,,\r\n", {{9, "a,"}}},
        {"leading blank before the number, blank after the comma kept", " 5, Battery low\r\n",
         {{5, " Battery low"}}},
        {"signs", "-3,minus\r\n+4,plus\r\n", {{-3, "minus"}, {4, "plus"}}},
        {"line without a comma skipped", "8 UPS fault\r\n8,Fault\r\n", {{8, "Fault"}}},
        {"empty first field skipped", ",x\r\n", {{0, ""}}},
        {"blank lines skipped", "\r\n\n2,Lost\r\n", {{2, "Lost"}}},
        {"code 1 with an empty text writes nothing", "1,\r\n", {{1, ""}}},
        {"byte-order mark skips the first line only", "\xEF\xBB\xBF" "2,Lost\r\n3,Failed\r\n", {{2, ""}, {3, "Failed"}}},
        {"bytes pass unconverted", "3,\x92\xe2\x93\x64\r\n", {{3, "\x92\xe2\x93\x64"}}},
        {"a lone CR stays in the text", "3,a\rb\r\n", {{3, "a\rb"}}},
        {"empty file", "", {{2, ""}}},
        {"binary", std::string("\x00\x01,\xFF\n\x1A,,\n", 9), {{0, ""}}},
    };
    for (const GrammarCase& c : cases) {
        Load(c.bytes);
        for (const Lookup& l : c.lookups) EXPECT_EQ(EventListText(l.number), l.text) << c.name << ", " << l.number;
    }
}

TEST_F(EventListTest, AHugeFileLoadsToItsEnd) {
    std::string bytes;
    for (int i = 1000; bytes.size() < 2 * 1024 * 1024; ++i) bytes += std::to_string(i) + ",filler text\r\n";
    bytes += "42,Last line";
    Load(bytes);
    EXPECT_EQ(EventListText(1000), "filler text");
    EXPECT_EQ(EventListText(42), "Last line");
}

TEST_F(EventListTest, AMissingFileLeavesTheListEmpty) {
    Load("2,Lost\r\n");
    EXPECT_FALSE(LoadEventListFile(scratch.File("missing.csv")));
    EXPECT_EQ(EventListText(2), "");
}

struct LangCase {
    const char* settings;  // nullptr: no Setting.ini at all
    const char* text;      // what event 3 reads as
};

TEST_F(EventListTest, LoadEventListChoosesTheFileByLang) {
    const LangCase cases[] = {
        {nullptr, "jp-text"},         {"LANG=jp\r\n", "jp-text"},   {"LANG=JP\r\n", "en-text"},
        {"LANG=en\r\n", "en-text"},  {"LANG=jpn\r\n", "en-text"},  {"LANG=\r\n", "en-text"},
        {"WAIT_TIME=5\r\n", "jp-text"},
    };
    for (const LangCase& c : cases) {
        ScratchDirectory exe;
        exe.WriteFile("EventList_jp.csv", "3,jp-text\r\n");
        exe.WriteFile("EventList_en.csv", "3,en-text\r\n");
        if (c.settings != nullptr) exe.WriteFile("Setting.ini", c.settings);
        EXPECT_TRUE(LoadEventList()) << (c.settings ? c.settings : "no Setting.ini");
        EXPECT_EQ(EventListText(3), c.text) << (c.settings ? c.settings : "no Setting.ini");
    }
}

TEST_F(EventListTest, LoadEventListWithoutItsFileFails) {
    scratch.WriteFile("Setting.ini", "LANG=en\r\n");
    scratch.WriteFile("EventList_jp.csv", "3,jp-text\r\n");
    EXPECT_FALSE(LoadEventList());
    EXPECT_EQ(EventListText(3), "");
}

// What a UTF-8 text becomes in the Japanese ANSI code page.
std::string ToCodePage932(const std::string& utf8) {
    std::wstring wide(utf8.size(), L'\0');
    int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                                         static_cast<int>(wide.size()));
    std::string ansi(utf8.size() * 2, '\0');
    int length = WideCharToMultiByte(932, 0, wide.data(), wideLength, &ansi[0], static_cast<int>(ansi.size()), nullptr,
                                     nullptr);
    ansi.resize(length > 0 ? length : 0);
    return ansi;
}

TEST_F(EventListTest, DeliveredJapaneseListIsInTheJapaneseCodePage) {
    ASSERT_TRUE(LoadEventListFile(VW_SOURCE_DIR "/data/EventList_jp.csv"));
    // "停電を検出しました（バッテリ運転）" and "バッテリ残量が低下しました"
    EXPECT_EQ(EventListText(3), ToCodePage932("\xE5\x81\x9C\xE9\x9B\xBB\xE3\x82\x92\xE6\xA4\x9C\xE5\x87\xBA\xE3\x81"
                                              "\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\xEF\xBC\x88\xE3\x83\x90\xE3"
                                              "\x83\x83\xE3\x83\x86\xE3\x83\xAA\xE9\x81\x8B\xE8\xBB\xA2\xEF\xBC\x89"));
    EXPECT_EQ(EventListText(5), ToCodePage932("\xE3\x83\x90\xE3\x83\x83\xE3\x83\x86\xE3\x83\xAA\xE6\xAE\x8B\xE9\x87"
                                              "\x8F\xE3\x81\x8C\xE4\xBD\x8E\xE4\xB8\x8B\xE3\x81\x97\xE3\x81\xBE\xE3"
                                              "\x81\x97\xE3\x81\x9F"));
}

TEST_F(EventListTest, DeliveredListsWordTheSameEvents) {
    std::vector<std::string> english(101);
    ASSERT_TRUE(LoadEventListFile(VW_SOURCE_DIR "/data/EventList_en.csv"));
    for (int32_t n = 0; n <= 100; ++n) english[n] = EventListText(n);
    ASSERT_TRUE(LoadEventListFile(VW_SOURCE_DIR "/data/EventList_jp.csv"));
    for (int32_t n = 0; n <= 100; ++n) {
        EXPECT_EQ(EventListText(n).empty(), english[n].empty()) << "event " << n;
    }
    // The sign of life arrives every second and must write nothing; the events the
    // callback always words must have a text.
    EXPECT_EQ(english[1], "");
    for (int32_t n : {2, 3, 4, 5}) EXPECT_NE(english[n], "") << "event " << n;
}

}  // namespace
