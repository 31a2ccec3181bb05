#include "app/console_input.h"

#include <gtest/gtest.h>

#include <climits>

#include "messages/message_table.h"
#include "testing/scratch_directory.h"
#include "testing/scripted_console.h"

namespace {

// With no message table every text is its key, so the expected output is exact.
class ConsoleInputTest : public ::testing::Test {
protected:
    void SetUp() override { LoadMessageTable("no-message-table.json"); }
    ScratchDirectory scratch_;
};

const std::string kPrompt = "[ESC:Cancel]\n>";

std::string RangeRefusal(int32_t maximum) {
    return "\nInput_value_is_abnormalRange_start0To" + std::to_string(maximum) + "Range_end\n>";
}

struct NumberCase {
    const char* what;
    int32_t maximum;
    std::deque<int> keys;
    std::string result;
    bool cancelled;
    std::string output;  // after the "[ESC:Cancel]" prompt
};

TEST_F(ConsoleInputTest, ReadNumberTakesDigitKeysWithinTheRange) {
    using K = ScriptedConsole;
    const NumberCase cases[] = {
        {"typed value", 30, K::Keys("25\r"), "25", false, "25"},
        {"maximum itself", 30, K::Keys("30\r"), "30", false, "30"},
        {"zero", 0, K::Keys("0\r"), "0", false, "0"},
        {"leading zeros kept", 36000, K::Keys("007\r"), "007", false, "007"},
        {"backspace erases the last digit", 30, K::Keys("31\b0\r"), "30", false, "31\b \b0"},
        {"backspace down to empty", 30, K::Keys("3\b0\r"), "0", false, "3\b \b0"},
        {"delete key erases too", 30, K::Keys("12\x7f\r"), "1", false, "12\b \b"},
        {"backspace on empty entry prints nothing", 30, K::Keys("\b\b\x7f" "1\r"), "1", false, "1"},
        {"one above the maximum, then a good value", 30, K::Keys("31\r30\r"), "30", false,
         "31" + RangeRefusal(30) + "30"},
        {"enter on an empty entry", 9, K::Keys("\r5\r"), "5", false, RangeRefusal(9) + "5"},
        {"maximum 0 refuses 1", 0, K::Keys("1\r0\r"), "0", false, "1" + RangeRefusal(0) + "0"},
        {"largest 32-bit value", INT32_MAX, K::Keys("2147483647\r"), "2147483647", false, "2147483647"},
        {"beyond 32 bits", INT32_MAX, K::Keys("2147483648\r1\r"), "1", false,
         "2147483648" + RangeRefusal(INT32_MAX) + "1"},
        {"eleven nines", INT32_MAX, K::Keys("99999999999\r7\r"), "7", false,
         "99999999999" + RangeRefusal(INT32_MAX) + "7"},
        {"letters, signs, spaces and tabs ignored", 99, K::Keys("a+- \t-1x2\r"), "12", false, "12"},
        {"extended key prefixes ignored", 99, {0xE0, 'H', 0x00, ';', '4', '\r'}, "4", false, "4"},
        {"only the low 8 bits count", 99, {0x100 | '6', 0x200 | '\r'}, "6", false, "6"},
        {"keys without a character ignored", 99, {kKeyWithoutCharacter, '4', kKeyWithoutCharacter, '\r'}, "4",
         false, "4"},
        {"escape after digits", 30, K::Keys("12\x1b" "5\r"), "", true, "12Cancel\n"},
        {"escape at once", 30, K::Keys("\x1b"), "", true, "Cancel\n"},
        {"escape after a refusal", 30, K::Keys("99\r\x1b"), "", true, "99" + RangeRefusal(30) + "Cancel\n"},
        {"keys run out: cancel", 30, K::Keys("12"), "", true, "12Cancel\n"},
        {"no keyboard at all: cancel", 30, {}, "", true, "Cancel\n"},
    };
    for (const NumberCase& c : cases) {
        ScriptedConsole console("", c.keys);
        bool cancelled = !c.cancelled;
        EXPECT_EQ(ReadNumber(c.maximum, cancelled), c.result) << c.what;
        EXPECT_EQ(cancelled, c.cancelled) << c.what;
        EXPECT_EQ(console.Output(), kPrompt + c.output) << c.what;
        EXPECT_LE(console.ReadsPastEnd(), 1) << c.what;
    }
}

TEST_F(ConsoleInputTest, ReadNumberLeavesTheKeysAfterEnterForTheNextReader) {
    ScriptedConsole console("", ScriptedConsole::Keys("5\rX"));
    bool cancelled = true;
    EXPECT_EQ(ReadNumber(9, cancelled), "5");
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(console.KeysLeft(), 1u);
}

TEST_F(ConsoleInputTest, ARangeRefusalDropsTheStandardInputWaiting) {
    struct Case {
        const char* what;
        std::string keys;
        std::string nextWord;  // what standard input gives afterwards
    };
    const Case cases[] = {
        {"refused once", "99\r5\r", ""},
        {"accepted at once", "5\r", "4"},
    };
    for (const Case& c : cases) {
        ScriptedConsole console("4\n7\n", ScriptedConsole::Keys(c.keys));
        bool cancelled = true;
        EXPECT_EQ(ReadNumber(9, cancelled), "5") << c.what;
        std::string word;
        console.In() >> word;
        EXPECT_EQ(word, c.nextWord) << c.what;
    }
}

TEST_F(ConsoleInputTest, AskYesNoReadsZeroOrOneFromStandardInput) {
    struct Case {
        const char* what;
        std::string stdinText;
        bool yes;
        int refusals;          // lines of "Input_value_is_abnormal_1or0_msg"
        std::string nextWord;  // standard input afterwards is usable and at this word
    };
    const Case cases[] = {
        {"one", "1\nnext\n", true, 0, "next"},
        {"zero", "0\nnext\n", false, 0, "next"},
        {"blank lines and spaces before the reply", "\n  \n  1\nnext\n", true, 0, "next"},
        {"two, then one", "2\n1\nnext\n", true, 1, "next"},
        {"minus one, then 7, then zero", "-1\n7\n0\nnext\n", false, 2, "next"},
        {"not a number counts as no", "abc def\nnext\n", false, 0, "next"},
        {"yes in words is still no", "yes\nnext\n", false, 0, "next"},
        {"beyond 32 bits counts as no", "99999999999\nnext\n", false, 0, "next"},
        {"other number, then not a number", "5\nx\nnext\n", false, 1, "next"},
        {"input ended", "", false, 0, ""},
        {"input ended after a refusal", "3\n", false, 1, ""},
    };
    for (const Case& c : cases) {
        ScriptedConsole console(c.stdinText);
        EXPECT_EQ(AskYesNo(), c.yes) << c.what;
        std::string expected = "0:(NO)\n1:(YES)\n>";
        for (int i = 0; i < c.refusals; ++i) expected += "Input_value_is_abnormal_1or0_msg\n>";
        EXPECT_EQ(console.Output(), expected) << c.what;
        std::string word;
        console.In() >> word;
        EXPECT_EQ(word, c.nextWord) << c.what;
        EXPECT_EQ(console.KeysLeft(), 0u) << c.what;
    }
}

TEST_F(ConsoleInputTest, PrintBannerOnlyForShowFlagOne) {
    const struct {
        int show;
        std::string output;
    } cases[] = {
        {1, "\n----Voltwarden Basic Edition Version:1.1.1----\n"},
        {0, ""},
        {2, ""},
        {-1, ""},
    };
    for (const auto& c : cases) {
        ScriptedConsole console;
        PrintBanner(c.show);
        EXPECT_EQ(console.Output(), c.output) << c.show;
    }
}

TEST_F(ConsoleInputTest, WaitForKeyTakesOneKeyUnlessTheShowFlagIsZero) {
    const struct {
        int show;
        std::deque<int> keys;
        std::string output;
        size_t keysLeft;
        int readsPastEnd;
    } cases[] = {
        {1, {'x', 'y'}, "Press_any_key\n", 1, 0},
        {1, {27, 'y'}, "Press_any_key\n", 1, 0},
        {1, {kKeyWithoutCharacter, 'y'}, "Press_any_key\n", 1, 0},
        {2, {'x'}, "Press_any_key\n", 0, 0},
        {0, {'x'}, "", 1, 0},
        // No keyboard: it asks once and goes on instead of waiting for ever.
        {1, {}, "Press_any_key\n", 0, 1},
    };
    for (const auto& c : cases) {
        ScriptedConsole console("", c.keys);
        WaitForKey(c.show);
        EXPECT_EQ(console.Output(), c.output) << c.show;
        EXPECT_EQ(console.KeysLeft(), c.keysLeft) << c.show;
        EXPECT_EQ(console.ReadsPastEnd(), c.readsPastEnd) << c.show;
    }
}

TEST(KeyFromEvent, EveryKeyPressCountsButModifiersAndReleases) {
    const struct {
        const char* what;
        BOOL down;
        WORD virtualKey;
        char character;
        int key;
    } cases[] = {
        {"digit", TRUE, '7', '7', '7'},
        {"escape", TRUE, VK_ESCAPE, 27, 27},
        {"enter", TRUE, VK_RETURN, 13, 13},
        {"backspace", TRUE, VK_BACK, 8, 8},
        {"high ANSI byte", TRUE, 0, '\xE9', 0xE9},
        {"arrow", TRUE, VK_LEFT, 0, kKeyWithoutCharacter},
        {"function key", TRUE, VK_F1, 0, kKeyWithoutCharacter},
        {"home", TRUE, VK_HOME, 0, kKeyWithoutCharacter},
        {"shift alone", TRUE, VK_SHIFT, 0, -1},
        {"control alone", TRUE, VK_CONTROL, 0, -1},
        {"alt alone", TRUE, VK_MENU, 0, -1},
        {"caps lock", TRUE, VK_CAPITAL, 0, -1},
        {"windows key", TRUE, VK_LWIN, 0, -1},
        {"release of a digit", FALSE, '7', '7', -1},
    };
    for (const auto& c : cases) {
        KEY_EVENT_RECORD event = {};
        event.bKeyDown = c.down;
        event.wRepeatCount = 1;
        event.wVirtualKeyCode = c.virtualKey;
        event.uChar.AsciiChar = c.character;
        EXPECT_EQ(KeyFromEvent(event), c.key) << c.what;
    }
}

}  // namespace
