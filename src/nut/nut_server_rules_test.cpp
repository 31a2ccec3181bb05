// The server's rules apart from the sockets: the wait of its loop and the choice of the
// connection closed for room.
#include "nut/nut_server_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nut/nut_test_config.h"

namespace {

// The sessions a connection can be in, as the commands leave them.
enum class Given { Nothing, UserOnly, WrongPassword, RightPasswordNoLogin, WrongPasswordThenLogin, LoggedIn };

const Given kNotLoggedIn[] = {Given::Nothing, Given::UserOnly, Given::WrongPassword, Given::RightPasswordNoLogin,
                              Given::WrongPasswordThenLogin};

const char* Name(Given given) {
    switch (given) {
        case Given::Nothing: return "nothing";
        case Given::UserOnly: return "user only";
        case Given::WrongPassword: return "wrong password";
        case Given::RightPasswordNoLogin: return "right password, no LOGIN";
        case Given::WrongPasswordThenLogin: return "wrong password, then LOGIN";
        case Given::LoggedIn: return "logged in";
    }
    return "?";
}

NutSession SessionOf(Given given) {
    const NutServerConfig config = Config();
    NutSession session;
    bool wrong = false;
    if (given == Given::Nothing) return session;
    NutSetUser(session, "mon", config, wrong);
    if (given == Given::UserOnly) return session;
    const bool right = given == Given::RightPasswordNoLogin || given == Given::LoggedIn;
    NutSetPassword(session, right ? "s3cret" : "guess", config, wrong);
    if (given == Given::WrongPasswordThenLogin || given == Given::LoggedIn) NutLogin(session, "ups", config);
    return session;
}

NutConnectionState Connection(const std::string& address, Given given, int64_t lastHeard,
                              int64_t answerNotBefore = 0) {
    NutConnectionState c;
    c.Address = address;
    c.Session = SessionOf(given);
    c.LastHeard = lastHeard;
    c.AnswerNotBefore = answerNotBefore;
    return c;
}

TEST(NutServerRules, OnlyASuccessfulLoginProves) {
    for (Given given : kNotLoggedIn) EXPECT_FALSE(NutProved(Connection("a", given, 0))) << Name(given);
    EXPECT_TRUE(NutProved(Connection("a", Given::LoggedIn, 0)));
}

// The wait of the loop for each mix of clients. `Now` is the moment the wait is worked
// out; "settled" marks the states a round leaves behind (every due moment acted on): from
// them the loop must never be woken at once, or it would spin.
TEST(NutServerRules, NextDeadline) {
    constexpr int64_t kNow = 100000;
    NutServerLimits limits;
    limits.IdleTicks = 1000;
    constexpr int64_t kNone = INT64_MAX;
    struct Case {
        const char* what;
        std::vector<NutConnectionState> connections;
        int64_t nextBindAttempt;
        int64_t expected;
        bool settled;
    };
    std::vector<NutConnectionState> many;
    for (int i = 0; i < 32; ++i) {
        // Refused once long ago, not reading, half lines, the right password without LOGIN:
        // none of their past held times counts.
        const Given given = i % 2 == 0 ? Given::WrongPasswordThenLogin : Given::RightPasswordNoLogin;
        many.push_back(Connection("10.0.0." + std::to_string(i % 4), given, kNow - 400 + i, kNow - 5000 + i));
    }
    std::vector<NutConnectionState> manyAndOneHeld = many;
    manyAndOneHeld.push_back(Connection("10.0.0.9", Given::UserOnly, kNow - 10, kNow + 300));
    const std::vector<Case> cases = {
        {"no client, every address bound", {}, kNone, kNone, true},
        {"no client, an address to bind again", {}, kNow + 3000, kNow + 3000, true},
        {"a bind attempt due: at once (the round binds and moves it on)", {}, kNow - 1, kNow - 1, false},
        {"a client heard just now: its idle limit", {Connection("a", Given::Nothing, kNow)}, kNone, kNow + 1001, true},
        {"a logged-in client: its idle limit", {Connection("a", Given::LoggedIn, kNow - 200)}, kNone, kNow + 801,
         true},
        {"a line held for its address's spacing: its time",
         {Connection("a", Given::UserOnly, kNow - 100, kNow + 300)}, kNone, kNow + 300, true},
        {"refused once, its held time passed, now sending without reading: the idle limit only",
         {Connection("a", Given::WrongPasswordThenLogin, kNow - 50, kNow - 900)}, kNone, kNow + 951, true},
        {"a wrong password alone, its held time passed long ago",
         {Connection("a", Given::WrongPassword, kNow - 10, 1)}, kNone, kNow + 991, true},
        {"a held time that comes just now counts no more",
         {Connection("a", Given::WrongPassword, kNow - 10, kNow)}, kNone, kNow + 991, true},
        {"a half line and nothing more: the idle limit", {Connection("a", Given::Nothing, kNow - 600)}, kNone,
         kNow + 401, true},
        {"a client past its idle limit: at once (the round closes it)",
         {Connection("a", Given::Nothing, kNow - 1001)}, kNone, kNow, false},
        {"a closed client does not count", {[&] {
             NutConnectionState closed = Connection("a", Given::Nothing, kNow - 5000, kNow - 100);
             closed.Closed = true;
             return closed;
         }()},
         kNone, kNone, true},
        {"32 clients refused or not reading, past held times: the earliest idle limit", many, kNone,
         kNow - 400 + 1001, true},
        {"the same and one line held", manyAndOneHeld, kNone, kNow + 300, true},
        {"the same, a bind attempt sooner", manyAndOneHeld, kNow + 20, kNow + 20, true},
    };
    for (const Case& c : cases) {
        std::vector<const NutConnectionState*> connections;
        for (const NutConnectionState& state : c.connections) connections.push_back(&state);
        const int64_t deadline = NutNextDeadline(connections, c.nextBindAttempt, kNow, limits);
        EXPECT_EQ(deadline, c.expected) << c.what;
        if (c.settled) {
            EXPECT_GT(deadline, kNow) << c.what << ": a zero wait after a round";
        }
    }
}

// The choice of the connection closed for room, with MaxConnections 4 and 2 unproved per address.
TEST(NutServerRules, RoomForANewConnection) {
    NutServerLimits limits;
    limits.MaxConnections = 4;
    limits.MaxUnprovedPerAddress = 2;
    struct Case {
        const char* what;
        std::vector<NutConnectionState> connections;
        std::string newAddress;
        bool taken;
        int closed;  // index of the connection closed for room, -1 for none
    };
    using G = Given;
    const std::vector<Case> cases = {
        {"room left", {Connection("a", G::Nothing, 10), Connection("b", G::Nothing, 5)}, "c", true, -1},
        {"the address's limit: its own longest-silent goes, not another's",
         {Connection("b", G::Nothing, 1), Connection("a", G::Nothing, 20), Connection("a", G::Nothing, 10)}, "a",
         true, 2},
        {"every slot taken: the longest-silent of any address goes",
         {Connection("a", G::Nothing, 10), Connection("b", G::Nothing, 5), Connection("c", G::UserOnly, 7),
          Connection("d", G::Nothing, 8)},
         "e", true, 1},
        {"the right password without LOGIN protects nothing",
         {Connection("a", G::Nothing, 10), Connection("b", G::RightPasswordNoLogin, 5), Connection("c", G::Nothing, 7),
          Connection("d", G::Nothing, 8)},
         "e", true, 1},
        {"a logged-in client is never closed for room",
         {Connection("a", G::Nothing, 10), Connection("b", G::LoggedIn, 5), Connection("c", G::Nothing, 7),
          Connection("d", G::Nothing, 8)},
         "e", true, 2},
        {"logged-in clients do not count against their address's limit",
         {Connection("a", G::LoggedIn, 1), Connection("a", G::LoggedIn, 2), Connection("a", G::Nothing, 3)}, "a",
         true, -1},
        {"every slot held by logged-in clients: the new one is refused",
         {Connection("a", G::LoggedIn, 10), Connection("b", G::LoggedIn, 5), Connection("c", G::LoggedIn, 7),
          Connection("d", G::LoggedIn, 8)},
         "e", false, -1},
        {"an address at its limit with two guesses: the longest-silent goes, whatever its password",
         {Connection("a", G::WrongPassword, 1), Connection("a", G::RightPasswordNoLogin, 2)}, "a", true, 0},
        {"the same, the other way round",
         {Connection("a", G::RightPasswordNoLogin, 1), Connection("a", G::WrongPassword, 2)}, "a", true, 0},
    };
    for (const Case& c : cases) {
        std::vector<NutConnectionState> states = c.connections;
        std::vector<NutConnectionState*> connections;
        for (NutConnectionState& state : states) connections.push_back(&state);
        EXPECT_EQ(NutMakeRoomFor(connections, c.newAddress, limits), c.taken) << c.what;
        for (size_t i = 0; i < states.size(); ++i) {
            EXPECT_EQ(states[i].Closed, static_cast<int>(i) == c.closed) << c.what << ": connection " << i;
        }

        // The same with every connection that has not logged in in each other state: the
        // choice never depends on a password that was not followed by a successful LOGIN.
        for (Given instead : kNotLoggedIn) {
            std::vector<NutConnectionState> others = c.connections;
            std::vector<NutConnectionState*> pointers;
            for (NutConnectionState& state : others) {
                if (!NutProved(state)) state.Session = SessionOf(instead);
                pointers.push_back(&state);
            }
            EXPECT_EQ(NutMakeRoomFor(pointers, c.newAddress, limits), c.taken) << c.what << ", all " << Name(instead);
            for (size_t i = 0; i < others.size(); ++i) {
                EXPECT_EQ(others[i].Closed, states[i].Closed) << c.what << ", all " << Name(instead) << ": " << i;
            }
        }
    }
}

}  // namespace
