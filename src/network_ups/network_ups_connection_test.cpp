// One connection against a scripted server on 127.0.0.1: what each answer means, the
// login exchange, and the time limits and stop that no misbehaving server can outlast.
#include "network_ups/network_ups_connection.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "testing/fake_nut_server.h"

namespace {

const char kStatusRequest[] = "GET VAR ups ups.status";

// Milliseconds since `start` on the monotonic clock.
int64_t ElapsedMs(int64_t start) { return (MonotonicNow() - start) / (kTicksPerSecond / 1000); }

// A server that gives `reply` to every request line.
FakeNutScript Always(const FakeNutReply& reply) {
    return [reply](const std::string&) { return reply; };
}

struct StopEvent {
    ScopedKernelHandle handle{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

TEST(NetworkUpsConnectionTest, EachAnswerToGetVarMeansValueNotSupportedOrLost) {
    const struct {
        const char* name;
        FakeNutReply reply;
        NetworkUpsVarResult result;
        std::string value;
    } cases[] = {
        {"a value", {"VAR ups ups.status \"OL\"\n"}, NetworkUpsVarResult::Value, "OL"},
        {"a value of words", {"VAR ups ups.status \"OB LB\"\n"}, NetworkUpsVarResult::Value, "OB LB"},
        {"CR LF", {"VAR ups ups.status \"OL CHRG\"\r\n"}, NetworkUpsVarResult::Value, "OL CHRG"},
        {"unquoted", {"VAR ups ups.status OL\n"}, NetworkUpsVarResult::Value, "OL"},
        {"an empty value", {"VAR ups ups.status \"\"\n"}, NetworkUpsVarResult::Value, ""},
        {"not supported", {"ERR VAR-NOT-SUPPORTED\n"}, NetworkUpsVarResult::NotSupported, ""},
        {"another refusal", {"ERR ACCESS-DENIED\n"}, NetworkUpsVarResult::NotSupported, ""},
        {"stale", {"ERR DATA-STALE\n"}, NetworkUpsVarResult::Lost, ""},
        {"no driver", {"ERR DRIVER-NOT-CONNECTED\n"}, NetworkUpsVarResult::Lost, ""},
        {"no such UPS", {"ERR UNKNOWN-UPS\n"}, NetworkUpsVarResult::Lost, ""},
        {"another UPS", {"VAR other ups.status \"OL\"\n"}, NetworkUpsVarResult::Lost, ""},
        {"another variable", {"VAR ups ups.load \"OL\"\n"}, NetworkUpsVarResult::Lost, ""},
        {"no value", {"VAR ups ups.status\n"}, NetworkUpsVarResult::Lost, ""},
        {"a word too many", {"VAR ups ups.status \"OL\" x\n"}, NetworkUpsVarResult::Lost, ""},
        {"an answer to something else", {"OK\n"}, NetworkUpsVarResult::Lost, ""},
        {"an open quote", {"VAR ups ups.status \"OL\n"}, NetworkUpsVarResult::Lost, ""},
        {"an empty line", {"\n"}, NetworkUpsVarResult::Lost, ""},
        {"a NUL in the value", {std::string("VAR ups ups.status \"O\0L\"\n", 25)}, NetworkUpsVarResult::Lost, ""},
        {"binary", {"\x01\x02\xfe\xff\x7f\n"}, NetworkUpsVarResult::Lost, ""},
        {"a line over the limit", {"VAR ups ups.status \"" + std::string(600, 'A') + "\"\n"},
         NetworkUpsVarResult::Lost, ""},
        {"1 MB without a line break", {std::string(1 << 20, 'A')}, NetworkUpsVarResult::Lost, ""},
        {"closed without an answer", {"", true}, NetworkUpsVarResult::Lost, ""},
    };
    for (const auto& c : cases) {
        FakeNutServer server(Always(c.reply));
        NetworkUpsConnection connection(nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name << ": ER=" << connection.LastError();
        std::string value = "untouched";
        EXPECT_EQ(connection.GetVar("ups", "ups.status", value), c.result) << c.name;
        if (c.result == NetworkUpsVarResult::Value) {
            EXPECT_EQ(value, c.value) << c.name;
        }
        const bool lost = c.result == NetworkUpsVarResult::Lost;
        EXPECT_EQ(connection.IsLost(), lost) << c.name;
        if (lost) {
            EXPECT_NE(connection.LastError(), 0u) << c.name;
        }
        // A lost connection asks nothing more; a usable one asks and is answered alike.
        const size_t asked = server.Requests().size();
        const NetworkUpsVarResult again = connection.GetVar("ups", "ups.status", value);
        if (lost) {
            EXPECT_EQ(again, NetworkUpsVarResult::Lost) << c.name;
            EXPECT_EQ(server.Requests().size(), asked) << c.name;
        } else {
            EXPECT_EQ(again, c.result) << c.name;
        }
    }
}

TEST(NetworkUpsConnectionTest, TheRequestNamesTheUpsAndTheVariable) {
    FakeUps ups("myups");
    ups.Set("battery.charge", "87");
    FakeNutServer server(ups.Script());
    NetworkUpsConnection connection(nullptr);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    std::string value;
    ASSERT_EQ(connection.GetVar("myups", "battery.charge", value), NetworkUpsVarResult::Value);
    EXPECT_EQ(value, "87");
    EXPECT_EQ(server.Requests(), std::vector<std::string>{"GET VAR myups battery.charge"});
}

TEST(NetworkUpsConnectionTest, ListVarsTakesTheWholeListOrLosesOrIsRefused) {
    const std::string begin = "BEGIN LIST VAR ups\n";
    const std::string end = "END LIST VAR ups\n";
    const struct {
        const char* name;
        FakeNutReply reply;
        NetworkUpsVarResult result;
        std::map<std::string, std::string> values;
    } cases[] = {
        {"a list",
         {begin + "VAR ups battery.charge \"87\"\nVAR ups ups.status \"OB LB\"\r\nVAR ups ups.load 12\n" + end},
         NetworkUpsVarResult::Value,
         {{"battery.charge", "87"}, {"ups.status", "OB LB"}, {"ups.load", "12"}}},
        {"an empty list", {begin + end}, NetworkUpsVarResult::Value, {}},
        {"refused", {"ERR UNKNOWN-COMMAND\n"}, NetworkUpsVarResult::NotSupported, {}},
        {"access denied", {"ERR ACCESS-DENIED\n"}, NetworkUpsVarResult::NotSupported, {}},
        {"stale", {"ERR DATA-STALE\n"}, NetworkUpsVarResult::Lost, {}},
        {"no such UPS", {"ERR UNKNOWN-UPS\n"}, NetworkUpsVarResult::Lost, {}},
        {"the list of another UPS", {"BEGIN LIST VAR other\n" + end}, NetworkUpsVarResult::Lost, {}},
        {"a variable of another UPS", {begin + "VAR other ups.load 12\n" + end}, NetworkUpsVarResult::Lost, {}},
        {"a line of something else", {begin + "OK\n" + end}, NetworkUpsVarResult::Lost, {}},
        {"the end of another list", {begin + "END LIST RW ups\n"}, NetworkUpsVarResult::Lost, {}},
        {"binary inside", {begin + "VAR ups ups.load \"\x01\x02\"\n" + end}, NetworkUpsVarResult::Lost, {}},
        {"no end", {begin + "VAR ups ups.load 12\n", true}, NetworkUpsVarResult::Lost, {}},
        {"more lines than any UPS has", {begin + [] {
             std::string lines;
             for (int i = 0; i <= 1000; ++i) lines += "VAR ups x" + std::to_string(i) + " 1\n";
             return lines;
         }() + end},
         NetworkUpsVarResult::Lost, {}},
    };
    for (const auto& c : cases) {
        FakeNutServer server(Always(c.reply));
        NetworkUpsConnection connection(nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name;
        std::map<std::string, std::string> values = {{"untouched", "1"}};
        EXPECT_EQ(connection.ListVars("ups", values), c.result) << c.name;
        EXPECT_EQ(server.Requests(), std::vector<std::string>{"LIST VAR ups"}) << c.name;
        if (c.result == NetworkUpsVarResult::Value) {
            EXPECT_EQ(values, c.values) << c.name;
        } else {
            EXPECT_EQ(values.count("untouched"), 1u) << c.name << ": nothing taken from a list not read whole";
        }
        EXPECT_EQ(connection.IsLost(), c.result == NetworkUpsVarResult::Lost) << c.name;
    }
}

TEST(NetworkUpsConnectionTest, AListThatTricklesPastTheAnswerLimitIsLost) {
    // The beginning at once, then nothing: the whole list has one answer limit.
    NetworkUpsLimits limits;
    limits.AnswerMs = 300;
    FakeNutServer server(Always({"BEGIN LIST VAR ups\nVAR ups ups.load 12\n"}));
    NetworkUpsConnection connection(nullptr, limits);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    std::map<std::string, std::string> values;
    const int64_t start = MonotonicNow();
    EXPECT_EQ(connection.ListVars("ups", values), NetworkUpsVarResult::Lost);
    EXPECT_EQ(connection.LastError(), kNetworkUpsTimedOutError);
    EXPECT_GE(ElapsedMs(start), 250);
}

TEST(NetworkUpsConnectionTest, LogoutWaitsNoLongerThanItIsAllowed) {
    FakeNutServer server(Always({""}));  // never answers
    NetworkUpsConnection connection(nullptr);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    const int64_t start = MonotonicNow();
    EXPECT_FALSE(connection.Logout(300));
    EXPECT_GE(ElapsedMs(start), 250);
    EXPECT_LT(ElapsedMs(start), static_cast<int64_t>(kNetworkUpsAnswerLimitMs)) << "its own limit, not the answer limit";
    EXPECT_TRUE(connection.IsLost());
}

TEST(NetworkUpsConnectionTest, AServerThatStallsOrSendsHalfALineFailsWithinTheAnswerLimit) {
    const struct {
        const char* name;
        FakeNutReply reply;
    } cases[] = {
        {"silence", {""}},
        {"half a line", {"VAR ups ups.sta"}},
        {"a line without its end, under the line limit", {std::string(400, 'A')}},
    };
    NetworkUpsLimits limits;
    limits.AnswerMs = 500;
    for (const auto& c : cases) {
        FakeNutServer server(Always(c.reply));
        NetworkUpsConnection connection(nullptr, limits);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name;
        const int64_t start = MonotonicNow();
        std::string value;
        EXPECT_EQ(connection.GetVar("ups", "ups.status", value), NetworkUpsVarResult::Lost) << c.name;
        EXPECT_EQ(connection.LastError(), kNetworkUpsTimedOutError) << c.name;
        // Far below the real 10 s limit, however slow the machine: the test's limit was kept.
        EXPECT_LT(ElapsedMs(start), 8000) << c.name;
    }
}

TEST(NetworkUpsConnectionTest, TheStopEventEndsAWaitAtOnce) {
    FakeNutServer server(Always({""}));  // never answers
    NetworkUpsLimits limits;
    limits.AnswerMs = 120000;
    StopEvent stop;
    NetworkUpsConnection connection(stop.handle.Get(), limits);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
    std::thread stopper([&stop] {
        Sleep(300);
        SetEvent(stop.handle.Get());
    });
    const int64_t start = MonotonicNow();
    std::string value;
    EXPECT_EQ(connection.GetVar("ups", "ups.status", value), NetworkUpsVarResult::Lost);
    stopper.join();
    EXPECT_EQ(connection.LastError(), kNetworkUpsStoppedError);
    EXPECT_LT(ElapsedMs(start), 30000) << "the stop, not the two-minute limit, ended the wait";

    // Signalled before the call: the connection gives up at once, the connect included.
    NetworkUpsConnection stopped(stop.handle.Get(), limits);
    EXPECT_FALSE(stopped.Connect("127.0.0.1", server.Port()));
    EXPECT_EQ(stopped.LastError(), kNetworkUpsStoppedError);
    EXPECT_EQ(stopped.GetVar("ups", "ups.status", value), NetworkUpsVarResult::Lost);
}

TEST(NetworkUpsConnectionTest, AConnectionThatCannotBeMadeFailsWithItsError) {
    uint16_t closedPort = 0;
    {
        FakeNutServer gone(Always({""}));
        closedPort = gone.Port();
    }  // nobody listens there any more
    const struct {
        const char* name;
        std::string host;
        uint16_t port;
    } cases[] = {
        {"nobody listening", "127.0.0.1", closedPort},
        {"a name that does not resolve", "no-such-host.invalid", 3493},
    };
    NetworkUpsLimits limits;
    limits.ConnectMs = 3000;
    for (const auto& c : cases) {
        NetworkUpsConnection connection(nullptr, limits);
        EXPECT_FALSE(connection.Connect(c.host, c.port)) << c.name;
        EXPECT_TRUE(connection.IsLost()) << c.name;
        EXPECT_NE(connection.LastError(), 0u) << c.name;
        std::string value;
        EXPECT_EQ(connection.GetVar("ups", "ups.status", value), NetworkUpsVarResult::Lost) << c.name;
    }
}

TEST(NetworkUpsConnectionTest, AHostNameIsResolved) {
    FakeUps ups;
    ups.Set("ups.status", "OL");
    FakeNutServer server(ups.Script());
    NetworkUpsConnection connection(nullptr);
    ASSERT_TRUE(connection.Connect("localhost", server.Port())) << "ER=" << connection.LastError();
    std::string value;
    EXPECT_EQ(connection.GetVar("ups", "ups.status", value), NetworkUpsVarResult::Value);
    EXPECT_EQ(value, "OL");
}

// The answer the scripted server gives to the request starting with `command`; "OK" otherwise.
struct LoginCase {
    const char* name;
    std::string command;
    FakeNutReply reply;
    NetworkUpsLoginResult result;
};

TEST(NetworkUpsConnectionTest, TheLoginExchangeIsAcceptedRefusedUnsupportedOrLost) {
    const LoginCase cases[] = {
        {"accepted", "", {}, NetworkUpsLoginResult::Accepted},
        {"wrong password", "PASSWORD", {"ERR ACCESS-DENIED\n"}, NetworkUpsLoginResult::Refused},
        {"login denied", "LOGIN", {"ERR ACCESS-DENIED\n"}, NetworkUpsLoginResult::Refused},
        {"bad user", "USERNAME", {"ERR INVALID-USERNAME\n"}, NetworkUpsLoginResult::Refused},
        {"bad password", "PASSWORD", {"ERR INVALID-PASSWORD\n"}, NetworkUpsLoginResult::Refused},
        {"user required", "LOGIN", {"ERR USERNAME-REQUIRED\n"}, NetworkUpsLoginResult::Refused},
        {"password required", "LOGIN", {"ERR PASSWORD-REQUIRED\n"}, NetworkUpsLoginResult::Refused},
        {"no USERNAME command", "USERNAME", {"ERR UNKNOWN-COMMAND\n"}, NetworkUpsLoginResult::NotSupported},
        {"no LOGIN command", "LOGIN", {"ERR CMD-NOT-SUPPORTED\n"}, NetworkUpsLoginResult::NotSupported},
        {"no such UPS", "LOGIN", {"ERR UNKNOWN-UPS\n"}, NetworkUpsLoginResult::Lost},
        {"closed after OK", "USERNAME", {"OK\n", true}, NetworkUpsLoginResult::Lost},
        {"closed without an answer", "PASSWORD", {"", true}, NetworkUpsLoginResult::Lost},
        {"garbage", "LOGIN", {"HELLO THERE\n"}, NetworkUpsLoginResult::Lost},
        {"binary", "USERNAME", {std::string("OK\0\n", 4)}, NetworkUpsLoginResult::Lost},
    };
    for (const LoginCase& c : cases) {
        FakeUps ups;
        ups.Set("ups.status", "OL");
        ups.Override([&c](const std::string& line, FakeNutReply& reply) {
            if (c.command.empty() || line.rfind(c.command + " ", 0) != 0) return false;
            reply = c.reply;
            return true;
        });
        FakeNutServer server(ups.Script());
        NetworkUpsConnection connection(nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name;
        EXPECT_EQ(connection.Login("mon", "pw", "ups"), c.result) << c.name;
        std::string value;
        const NetworkUpsVarResult after = connection.GetVar("ups", "ups.status", value);
        if (c.result == NetworkUpsLoginResult::Lost) {
            EXPECT_EQ(after, NetworkUpsVarResult::Lost) << c.name;
        } else {
            // Refused or not: the UPS can still be watched over the same connection.
            EXPECT_EQ(after, NetworkUpsVarResult::Value) << c.name;
            EXPECT_EQ(value, "OL") << c.name;
        }
    }
}

TEST(NetworkUpsConnectionTest, TheLoginSendsItsWordsQuotedOnlyWhenTheyMustBe) {
    const struct {
        std::string user;
        std::string password;
        std::vector<std::string> requests;
    } cases[] = {
        {"mon", "pw", {"USERNAME mon", "PASSWORD pw", "LOGIN ups"}},
        {"mon", "p w", {"USERNAME mon", "PASSWORD \"p w\"", "LOGIN ups"}},
        {"mon", "a\"b\\c", {"USERNAME mon", "PASSWORD \"a\\\"b\\\\c\"", "LOGIN ups"}},
        {"mon", "", {"USERNAME mon", "PASSWORD \"\"", "LOGIN ups"}},
    };
    for (const auto& c : cases) {
        FakeUps ups;
        FakeNutServer server(ups.Script());
        NetworkUpsConnection connection(nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port()));
        EXPECT_EQ(connection.Login(c.user, c.password, "ups"), NetworkUpsLoginResult::Accepted) << c.password;
        EXPECT_EQ(server.Requests(), c.requests);
    }
}

TEST(NetworkUpsConnectionTest, LogoutIsAnsweredOrNotAndClosesEitherWay) {
    const struct {
        const char* name;
        FakeNutReply reply;
        bool answered;
    } cases[] = {
        {"goodbye", {"OK Goodbye\n", true}, true},
        {"anything", {"ERR UNKNOWN-COMMAND\n"}, true},
        {"closed without a word", {"", true}, false},
    };
    for (const auto& c : cases) {
        FakeNutServer server(Always(c.reply));
        NetworkUpsConnection connection(nullptr);
        ASSERT_TRUE(connection.Connect("127.0.0.1", server.Port())) << c.name;
        EXPECT_EQ(connection.Logout(), c.answered) << c.name;
        EXPECT_TRUE(connection.IsLost()) << c.name;
        EXPECT_EQ(server.Requests(), std::vector<std::string>{"LOGOUT"}) << c.name;
    }
}

}  // namespace
