#include "app/command_line_value.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLineValue, IsOneWordAsTheCRuntimeReadsItOrTheRestAsTyped) {
    const struct {
        const char* name;
        const char* line;
        size_t skip;
        const char* value;
    } cases[] = {
        {"plain value", "Voltwarden.exe SET 5 C:\\Tools\\notify.cmd", 3, "C:\\Tools\\notify.cmd"},
        {"quoted value with a blank", "Voltwarden.exe SET 5 \"C:\\Tools\\notify admins.cmd\"", 3,
         "C:\\Tools\\notify admins.cmd"},
        // What an installer makes of SET 5 "[EXCMD]" when the command has quotes of its own.
        {"quotes inside the enclosing pair", "\"C:\\Program Files\\Voltwarden\\Voltwarden.exe\" SET 5 "
         "\"\"C:\\Program Files\\x\\y.cmd\" /a \"b c\"\"", 3, "\"C:\\Program Files\\x\\y.cmd\" /a \"b c\""},
        {"installer's line, a backslash before a quote", "V.exe SET 5 \"xcopy \"C:\\a b\\\" D:\\\"", 3,
         "xcopy \"C:\\a b\\\" D:\\"},
        // What a script's argument list makes of the same (Python, PowerShell, Wine's loader).
        {"escaped quotes in one word", "V.exe SET 5 \"cmd /c echo saved> \\\"Z:\\p q\\proof.txt\\\"\"", 3,
         "cmd /c echo saved> \"Z:\\p q\\proof.txt\""},
        {"escaped quote after a backslash", "V.exe SET 5 \"xcopy \\\"C:\\a b\\\\\\\" D:\\\\\"", 3,
         "xcopy \"C:\\a b\\\" D:\\"},
        {"unenclosed words kept whole", "Voltwarden.exe SET 5 \"C:\\x y\\z.cmd\" /a  /b", 3,
         "\"C:\\x y\\z.cmd\" /a  /b"},
        {"arguments after the command kept", "Voltwarden.exe SET 5 C:\\Tools\\notify.cmd arg", 3,
         "C:\\Tools\\notify.cmd arg"},
        // One word either way: the quotes around a path without blanks change nothing.
        {"quoted path without blanks in the enclosing pair", "V.exe SET 5 \"\"C:\\Tools\\notify.cmd\"\"", 3,
         "C:\\Tools\\notify.cmd"},
        {"empty quoted value clears", "Voltwarden.exe SET 5 \"\"", 3, ""},
        {"a lone quote is an empty word", "Voltwarden.exe SET 5 \"", 3, ""},
        {"no value", "Voltwarden.exe SET 5", 3, ""},
        {"no value, trailing blanks", "Voltwarden.exe SET 5   \t", 3, ""},
        {"blanks around the value", "Voltwarden.exe  SET\t5 \t cmd /c exit \t ", 3, "cmd /c exit"},
        {"blanks inside an enclosed value kept", "Voltwarden.exe SET 5 \" cmd /c exit \"", 3, " cmd /c exit "},
        // The program path: quoted up to the next quote, backslashes and all.
        {"quoted program path ending in a backslash", "\"C:\\odd\\\" SET 5 x", 3, "x"},
        {"quoted program path with blanks", "\"C:\\Program Files\\V\\Voltwarden.exe\" SET 5 a b", 3, "a b"},
        // Later words follow the C runtime: quotes group blanks, \" is a literal quote.
        {"quoted command word", "Voltwarden.exe \"SET\" \"5\" value", 3, "value"},
        {"word with an escaped quote", "Voltwarden.exe S\\\"E\\\" T 5 value", 3, "5 value"},
        {"word with a quoted blank", "Voltwarden.exe S\"E T\" 5 value", 3, "value"},
        {"nothing to skip", "  a b ", 0, "a b"},
        {"empty line", "", 3, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CommandLineValue(c.line, c.skip), c.value) << c.name;
}

TEST(ProcessCommandLine, IsTheTestsLineWhileOneIsSet) {
    SetProcessCommandLineForTest("x.exe SET 5 y");
    EXPECT_EQ(ProcessCommandLine(), "x.exe SET 5 y");
    SetProcessCommandLineForTest(nullptr);
    EXPECT_NE(ProcessCommandLine(), "x.exe SET 5 y");
    EXPECT_FALSE(ProcessCommandLine().empty());
}

}  // namespace
