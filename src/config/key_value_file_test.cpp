#include "config/key_value_file.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "testing/scratch_directory.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

struct GrammarCase {
    const char* name;
    std::string bytes;
    Pairs pairs;
};

TEST(ReadKeyValueFile, SplitsEachLineAtItsFirstEqualsSign) {
    ScratchDirectory scratch;
    const GrammarCase cases[] = {
        {"plain", "A=1\r\nB=two\r\n", {{"A", "1"}, {"B", "two"}}},
        {"LF only", "A=1\nB=two\n", {{"A", "1"}, {"B", "two"}}},
        {"last line without line end", "A=1\r\nB=2", {{"A", "1"}, {"B", "2"}}},
        {"further = belong to the value", "EXCMD=set X=1 && run.cmd\r\n", {{"EXCMD", "set X=1 && run.cmd"}}},
        {"nothing trimmed", " A = 1 \r\n", {{" A ", " 1 "}}},
        {"empty value", "A=\r\n", {{"A", ""}}},
        {"empty key", "=x\r\n", {{"", "x"}}},
        {"lines without = skipped", "[Section]\r\n; comment\r\n\r\nA=1\r\n", {{"A", "1"}}},
        {"lone CR kept in value", "A=1\rB=2\r\n", {{"A", "1\rB=2"}}},
        {"case kept", "wait_time=5\r\n", {{"wait_time", "5"}}},
        {"byte-order mark stays on the first key", "\xEF\xBB\xBF" "A=1\r\nB=2\r\n", {{"\xEF\xBB\xBF" "A", "1"}, {"B", "2"}}},
        {"duplicates all delivered in order", "A=1\nA=2\n", {{"A", "1"}, {"A", "2"}}},
        {"empty file", "", {}},
    };
    for (const GrammarCase& c : cases) {
        scratch.WriteFile("kv.ini", c.bytes);
        Pairs seen;
        EXPECT_TRUE(ReadKeyValueFile(scratch.File("kv.ini"), [&seen](const std::string& key, const std::string& value) {
            seen.emplace_back(key, value);
            return true;
        })) << c.name;
        EXPECT_EQ(seen, c.pairs) << c.name;
    }
}

TEST(ReadKeyValueFile, StopsWhenTheVisitorSaysSoAndStillSucceeds) {
    ScratchDirectory scratch;
    scratch.WriteFile("kv.ini", "A=1\nSTOP=here\nB=2\n");
    Pairs seen;
    EXPECT_TRUE(ReadKeyValueFile(scratch.File("kv.ini"), [&seen](const std::string& key, const std::string& value) {
        seen.emplace_back(key, value);
        return key != "STOP";
    }));
    EXPECT_EQ(seen, (Pairs{{"A", "1"}, {"STOP", "here"}}));
}

TEST(ReadKeyValueFile, FailsWhenTheFileCannotBeOpened) {
    ScratchDirectory scratch;
    bool called = false;
    auto visit = [&called](const std::string&, const std::string&) {
        called = true;
        return true;
    };
    EXPECT_FALSE(ReadKeyValueFile(scratch.File("missing.ini"), visit));
    EXPECT_FALSE(ReadKeyValueFile(scratch.Path(), visit));  // a folder
    EXPECT_FALSE(called);
}

}  // namespace
