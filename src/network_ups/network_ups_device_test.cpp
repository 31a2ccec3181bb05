// The DEVICE forms of a UPS on another machine: what names one, what is accepted and
// what each part becomes.
#include "network_ups/network_ups_device.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NetworkUpsDeviceTest, AnAtNamesANetworkUpsAndNothingElseDoes) {
    const struct {
        const char* text;
        bool network;
    } cases[] = {
        {"ups@nas", true}, {"@", true}, {"ups@", true}, {"bad@@", true},
        {"USB", false}, {"COM_AUTO", false}, {"AUTO", false}, {"COM3", false}, {"\\\\.\\COM12", false}, {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsNetworkUpsDevice(c.text), c.network) << c.text;
}

TEST(NetworkUpsDeviceTest, ValidFormsGiveTheirUpsHostAndPort) {
    const struct {
        const char* text;
        const char* ups;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"ups@nas.example", "ups", "nas.example", 3493},
        {"ups@nas.example:3493", "ups", "nas.example", 3493},
        {"myups@192.168.1.20", "myups", "192.168.1.20", 3493},
        {"myups@192.168.1.20:13493", "myups", "192.168.1.20", 13493},
        {"ups@localhost:1", "ups", "localhost", 1},
        {"ups@localhost:65535", "ups", "localhost", 65535},
        {"ups@localhost:03493", "ups", "localhost", 3493},
        {"UPS-1_a.b@NAS_01", "UPS-1_a.b", "NAS_01", 3493},
        {"ups@nas", "ups", "nas", 3493},
    };
    for (const auto& c : cases) {
        NetworkUpsDevice device;
        ASSERT_TRUE(ParseNetworkUpsDevice(c.text, device)) << c.text;
        EXPECT_EQ(device.Ups, c.ups) << c.text;
        EXPECT_EQ(device.Host, c.host) << c.text;
        EXPECT_EQ(device.Port, c.port) << c.text;
    }
}

TEST(NetworkUpsDeviceTest, MalformedFormsAreRefusedAndLeaveTheRecordAlone) {
    const char* const cases[] = {
        "@", "ups@", "@nas", "@:3493", "ups@:3493",
        "ups@nas:", "ups@nas:0", "ups@nas:65536", "ups@nas:123456", "ups@nas:-1", "ups@nas:+80",
        "ups@nas:34a3", "ups@nas: 3493", "ups@nas:3493:1",
        "ups@nas@other", "u ps@nas", "ups@n as", " ups@nas", "ups@nas ", "ups\t@nas", "ups@nas\n",
        "u\"ps@nas", "u\\ps@nas", "ups@na/s", "ups@.", "ups@.nas", "ups@nas.", "ups@na..s", "ups@-nas",
        "ups@::1", "ups@[::1]", "ups@[::1]:3493", "ups@fe80::1%4", "ups@2001:db8::1",
        "COM3",
    };
    for (const char* text : cases) {
        NetworkUpsDevice device;
        device.Ups = "kept";
        EXPECT_FALSE(ParseNetworkUpsDevice(text, device)) << text;
        EXPECT_EQ(device.Ups, "kept") << text;
    }
    NetworkUpsDevice device;
    EXPECT_FALSE(ParseNetworkUpsDevice(std::string("ups@nas") + '\0', device)) << "a NUL byte";
    EXPECT_FALSE(ParseNetworkUpsDevice("ups@" + std::string(254, 'a'), device)) << "a host longer than DNS allows";
    EXPECT_TRUE(ParseNetworkUpsDevice("ups@" + std::string(253, 'a'), device)) << "the longest host DNS allows";
}

}  // namespace
