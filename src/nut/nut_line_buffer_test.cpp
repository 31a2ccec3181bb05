// The one line reader of the protocol's server and client: where a line ends, what is
// left for later, and where a line is too long.
#include "nut/nut_line_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LineCase {
    const char* name;
    std::string buffer;
    size_t maxLineBytes;
    NutLineStatus status;
    std::string text;
    size_t length;
};

TEST(NutLineBufferTest, CutsTheFirstLineAndSaysHowMuchItTakes) {
    const LineCase cases[] = {
        {"LF", "GET VAR ups ups.status\nNEXT", 512, NutLineStatus::Complete, "GET VAR ups ups.status", 23},
        {"CR LF", "LOGOUT\r\nNEXT\n", 512, NutLineStatus::Complete, "LOGOUT", 8},
        {"CR CR LF", "VER\r\r\n", 512, NutLineStatus::Complete, "VER", 6},
        {"a CR inside the line stays", "A\rB\n", 512, NutLineStatus::Complete, "A\rB", 4},
        {"an empty line", "\nVER\n", 512, NutLineStatus::Complete, "", 1},
        {"a line of CRs alone", "\r\r\n", 512, NutLineStatus::Complete, "", 3},
        {"no line end yet", "GET VAR ups", 512, NutLineStatus::Incomplete, "", 0},
        {"nothing yet", "", 512, NutLineStatus::Incomplete, "", 0},
        {"a CR is no line end", "VER\r", 512, NutLineStatus::Incomplete, "", 0},
        {"exactly the limit, complete", std::string(8, 'A') + "\n", 8, NutLineStatus::Complete, std::string(8, 'A'), 9},
        {"exactly the limit, no end yet", std::string(8, 'A'), 8, NutLineStatus::Incomplete, "", 0},
        {"one byte over, complete", std::string(9, 'A') + "\n", 8, NutLineStatus::TooLong, "", 0},
        {"one byte over, no end yet", std::string(9, 'A'), 8, NutLineStatus::TooLong, "", 0},
        {"the CRs count towards the limit", std::string(7, 'A') + "\r\r\n", 8, NutLineStatus::TooLong, "", 0},
        {"a short line before a long rest", "OK\n" + std::string(100, 'A'), 8, NutLineStatus::Complete, "OK", 3},
        {"binary bytes are left to the caller", std::string("A\0B\n", 4), 8, NutLineStatus::Complete,
         std::string("A\0B", 3), 4},
    };
    for (const LineCase& c : cases) {
        const NutLine line = NextNutLine(c.buffer, c.maxLineBytes);
        EXPECT_EQ(line.Status, c.status) << c.name;
        EXPECT_EQ(line.Text, c.text) << c.name;
        EXPECT_EQ(line.Length, c.length) << c.name;
    }
}

}  // namespace
