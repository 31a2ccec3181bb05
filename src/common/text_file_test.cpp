#include "common/text_file.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/win32.h"
#include "testing/scratch_directory.h"

namespace {

std::vector<std::string> LinesOf(const ScratchDirectory& scratch, const std::string& bytes) {
    scratch.WriteFile("lines.txt", bytes);
    std::vector<std::string> lines;
    EXPECT_TRUE(ReadTextLines(scratch.File("lines.txt"), [&lines](const std::string& line) {
        lines.push_back(line);
        return true;
    }));
    return lines;
}

struct LinesCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
};

TEST(ReadTextLines, SplitsAsTextModeDoes) {
    ScratchDirectory scratch;
    const LinesCase cases[] = {
        {"empty file", "", {}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"CR LF", "a\r\nb\r\n", {"a", "b"}},
        {"last line without end", "a\r\nb", {"a", "b"}},
        {"lone CR stays", "a\rb\n", {"a\rb"}},
        {"CR at the end of the file stays", "a\r", {"a\r"}},
        {"only the CR right before LF goes", "a\r\r\n", {"a\r"}},
        {"blank lines count", "\n\r\n\n", {"", "", ""}},
        {"NUL bytes stay", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
    };
    for (const LinesCase& c : cases) {
        EXPECT_EQ(LinesOf(scratch, c.bytes), c.lines) << c.name;
    }
}

TEST(ReadTextLines, JoinsLinesAcrossReadChunks) {
    ScratchDirectory scratch;
    // The reader takes 64 KiB at a time: put a CR LF pair and a long line across the seams.
    std::string first(64 * 1024 - 1, 'x');
    std::string second(200 * 1024, 'y');
    std::vector<std::string> lines = LinesOf(scratch, first + "\r\n" + second + "\r\nz");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], first);
    EXPECT_EQ(lines[1], second);
    EXPECT_EQ(lines[2], "z");
}

TEST(ReadTextLines, StopsWhenTheVisitorSaysSo) {
    ScratchDirectory scratch;
    scratch.WriteFile("lines.txt", "a\nb\nc\n");
    std::vector<std::string> lines;
    EXPECT_TRUE(ReadTextLines(scratch.File("lines.txt"), [&lines](const std::string& line) {
        lines.push_back(line);
        return line != "b";
    }));
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
}

TEST(ReadTextLines, FailsForAMissingFileOrAFolder) {
    ScratchDirectory scratch;
    int calls = 0;
    auto count = [&calls](const std::string&) {
        ++calls;
        return true;
    };
    EXPECT_FALSE(ReadTextLines(scratch.File("missing.txt"), count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ReadTextLines(scratch.Path(), count));
    EXPECT_EQ(calls, 0);
}

TEST(ReadWholeFile, ReturnsTheBytesUnchanged) {
    ScratchDirectory scratch;
    std::string bytes = std::string("\xEF\xBB\xBF{\r\n\0\x1A", 8) + std::string(150 * 1024, 'q');
    scratch.WriteFile("data.bin", bytes);
    std::string content = "stale";
    ASSERT_TRUE(ReadWholeFile(scratch.File("data.bin"), content));
    EXPECT_EQ(content, bytes);

    EXPECT_FALSE(ReadWholeFile(scratch.File("missing.bin"), content));
    EXPECT_TRUE(content.empty());
}

}  // namespace
