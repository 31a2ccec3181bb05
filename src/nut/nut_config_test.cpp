#include "nut/nut_config.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseNutListen, TakesIpv4AddressAndPortListsOnly) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::string> endpoints;
    };
    const Case cases[] = {
        {"", true, {}},
        {"   ", true, {}},
        {"0.0.0.0:3493", true, {"0.0.0.0:3493"}},
        {"127.0.0.1:3493, 192.168.1.5:3493", true, {"127.0.0.1:3493", "192.168.1.5:3493"}},
        {"255.255.255.255:65535", true, {"255.255.255.255:65535"}},
        {"127.0.0.1", false, {}},
        {"127.0.0.1:0", false, {}},
        {"127.0.0.1:65536", false, {}},
        {"127.0.0.1:-1", false, {}},
        {"127.0.0.1:34x", false, {}},
        {"256.0.0.1:3493", false, {}},
        {"1.2.3:3493", false, {}},
        {"1.2.3.4.5:3493", false, {}},
        {"1..3.4:3493", false, {}},
        {"localhost:3493", false, {}},
        {"[::1]:3493", false, {}},
        {"127.0.0.1:3493,", false, {}},
        {"1.1.1.1:1,1.1.1.1:2,1.1.1.1:3,1.1.1.1:4,1.1.1.1:5,1.1.1.1:6,1.1.1.1:7,1.1.1.1:8", true,
         {"1.1.1.1:1", "1.1.1.1:2", "1.1.1.1:3", "1.1.1.1:4", "1.1.1.1:5", "1.1.1.1:6", "1.1.1.1:7", "1.1.1.1:8"}},
        {"1.1.1.1:1,1.1.1.1:2,1.1.1.1:3,1.1.1.1:4,1.1.1.1:5,1.1.1.1:6,1.1.1.1:7,1.1.1.1:8,1.1.1.1:9", false, {}},
    };
    for (const Case& c : cases) {
        std::vector<NutEndpoint> endpoints;
        EXPECT_EQ(ParseNutListen(c.text, endpoints), c.ok) << c.text;
        std::vector<std::string> texts;
        for (const NutEndpoint& e : endpoints) texts.push_back(e.Text);
        EXPECT_EQ(texts, c.endpoints) << c.text;
    }
    std::vector<NutEndpoint> one;
    ASSERT_TRUE(ParseNutListen("192.168.1.5:3493", one));
    EXPECT_EQ(one[0].Address, 0xC0A80105u);
    EXPECT_EQ(one[0].Port, 3493);
}

TEST(NutNames, RefuseWhatAClientCannotSend) {
    for (const char* good : {"ups", "Rack-1_a.b", "A"}) EXPECT_TRUE(IsValidNutUpsName(good)) << good;
    for (const char* bad : {"", "my ups", "ups@host", "ups:1", "u\"ps", "\xe6\x97\xa5",
                            "123456789012345678901234567890123"}) {
        EXPECT_FALSE(IsValidNutUpsName(bad)) << bad;
    }
    for (const char* good : {"", "monuser", "p@ss:w0rd!#$%&'()*+,-./;<=>?[]^_`{|}~"}) {
        EXPECT_TRUE(IsValidNutCredential(good)) << good;
    }
    for (const char* bad : {"two words", "tab\there", "q\"uote", "back\\slash", "line\nbreak", "\x7f", "\xe9t\xe9",
                            "12345678901234567890123456789012345678901234567890123456789012345"}) {
        EXPECT_FALSE(IsValidNutCredential(bad)) << bad;
    }
}

TEST(NutConfigFromSettings, NamesTheFirstBadKey) {
    Settings s;
    s.NutListen = "127.0.0.1:3493";
    s.NutUser = "mon";
    s.NutPassword = "pw";
    NutServerConfig config;
    std::string bad;
    ASSERT_TRUE(NutConfigFromSettings(s, config, bad));
    EXPECT_EQ(config.Endpoints.size(), 1u);
    EXPECT_EQ(config.UpsName, "ups");
    EXPECT_EQ(config.User, "mon");
    EXPECT_EQ(config.Password, "pw");

    struct Case {
        std::string Settings::*field;
        const char* value;
        const char* key;
    };
    const Case cases[] = {
        {&Settings::NutListen, "nowhere", "NUT_LISTEN"},
        {&Settings::NutUpsName, "", "NUT_UPSNAME"},
        {&Settings::NutUser, "a b", "NUT_USER"},
        {&Settings::NutPassword, "a\"b", "NUT_PASSWORD"},
    };
    for (const Case& c : cases) {
        Settings broken = s;
        broken.*c.field = c.value;
        EXPECT_FALSE(NutConfigFromSettings(broken, config, bad)) << c.key;
        EXPECT_EQ(bad, c.key);
    }
}

}  // namespace
