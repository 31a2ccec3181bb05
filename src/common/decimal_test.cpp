#include "common/decimal.h"

#include <gtest/gtest.h>

namespace {

struct DecimalCase {
    const char* text;
    bool converts;
    int32_t value;
};

TEST(ParseInt32, FollowsStrtolWithinThe32BitRange) {
    const DecimalCase cases[] = {
        {"60", true, 60},
        {"  42", true, 42},
        {"\t-5", true, -5},
        {"+7", true, 7},
        {"60abc", true, 60},
        {"1 ", true, 1},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999", false, 0},
        {"99999999999999999999999999", false, 0},
        {"", false, 0},
        {"abc", false, 0},
        {"-", false, 0},
        {"+ 5", false, 0},
        {"\xEF\xBB\xBF" "5", false, 0},
    };
    for (const DecimalCase& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(ParseInt32(c.text, value), c.converts) << '"' << c.text << '"';
        EXPECT_EQ(value, c.converts ? c.value : 12345) << '"' << c.text << '"';
    }
}

}  // namespace
