// What is left of a text the serving machine sends: the safe set, trimmed, at most 64 bytes.
#include "network_ups/network_ups_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NetworkUpsTextTest, OnlyTheSafeSetIsKept) {
    const struct {
        std::string sent;
        std::string kept;
    } cases[] = {
        {"Smart-UPS 1500", "Smart-UPS 1500"},
        {"NV-1500 (rack) 2U/230V_v1.2+", "NV-1500 (rack) 2U/230V_v1.2+"},
        {"x\" & echo PWNED>C:\\v\\pwned.txt & rem \"", "x  echo PWNEDCvpwned.txt  rem"},
        {"a|b<c>d^e&f", "abcdef"},
        {"%PATH%", "PATH"},
        {"!x!", "x"},
        {"=cmd|' /C calc'!A0", "cmd /C calcA0"},
        {"@SUM(1+1),+1,-1", "SUM(1+1)+1-1"},
        {"line\r\nnext\tx", "linenextx"},
        {std::string("NV\0-1500", 8), "NV-1500"},
        {"caf\xc3\xa9 \x95\x5c \x81\x7c", "caf"},
        {"a;b'c`d$e{f}g[h]i#j~k*l?m:n\\o", "abcdefghijklmno"},
        {"\x7f\x01", ""},
        {"", ""},
        {"   ", ""},
        {"  padded  ", "padded"},
        {"\"&\"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(NetworkUpsText(c.sent), c.kept) << "\"" << c.sent << "\"";
}

TEST(NetworkUpsTextTest, ALongTextIsCutToSixtyFourBytes) {
    EXPECT_EQ(NetworkUpsText(std::string(1024, 'A')), std::string(kMaxNetworkUpsTextBytes, 'A'));
    // Dropped bytes do not count towards the limit.
    EXPECT_EQ(NetworkUpsText(std::string(1000, '&') + "NV-1500"), "NV-1500");
    // A blank where the cut falls is not left at the end.
    EXPECT_EQ(NetworkUpsText(std::string(63, 'A') + " B"), std::string(63, 'A'));
    EXPECT_EQ(NetworkUpsText(std::string(64, 'A') + "B"), std::string(64, 'A'));
}

}  // namespace
