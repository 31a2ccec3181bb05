// The server over real loopback sockets: what a client sees, and the limits that keep a
// hostile client from holding it.
#include "nut/nut_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/clock.h"
#include "log/event_log.h"
#include "monitor/monitor_state.h"
#include "monitor/ups_reading.h"
#include "nut/nut_socket.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

constexpr int64_t kDevice = 7;

// A port nobody listens on now: the system's choice for a socket bound to port 0.
uint16_t FreePort() {
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(s.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

class Client {
public:
    // `bufferBytes`, when given, sizes the socket's buffers (small: a client that does not
    // read fills them soon).
    explicit Client(uint16_t port, int bufferBytes = 0) : socket_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        DWORD timeoutMs = 30000;  // generous: a loaded machine may stall Wine for seconds
        setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
        if (bufferBytes > 0) {
            for (int option : {SO_RCVBUF, SO_SNDBUF}) {
                setsockopt(socket_.Get(), SOL_SOCKET, option, reinterpret_cast<const char*>(&bufferBytes),
                           sizeof(bufferBytes));
            }
        }
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) { send(socket_.Get(), bytes.data(), static_cast<int>(bytes.size()), 0); }
    // One answer line without its line end; "<closed>" when the server closed the connection.
    std::string Line() {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            char buffer[256];
            const int got = recv(socket_.Get(), buffer, sizeof(buffer), 0);
            if (got <= 0) return "<closed>";
            pending_.append(buffer, static_cast<size_t>(got));
        }
    }
    std::string Ask(const std::string& line) {
        Send(line + "\n");
        return Line();
    }
    // Sends `line` again and again without reading an answer, until neither the server nor
    // the connection takes more for half a second (or 30 s have passed). Returns the bytes sent.
    size_t FloodWithoutReading(const std::string& line) {
        u_long on = 1;
        ioctlsocket(socket_.Get(), FIONBIO, &on);
        std::string chunk;
        while (chunk.size() < 4096) chunk += line + "\n";
        size_t sent = 0;
        int refusedInARow = 0;
        const ULONGLONG started = GetTickCount64();
        while (refusedInARow < 10 && GetTickCount64() - started < 30000) {
            const int n = send(socket_.Get(), chunk.data(), static_cast<int>(chunk.size()), 0);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                refusedInARow = 0;
            } else {
                ++refusedInARow;
                Sleep(50);
            }
        }
        return sent;
    }
    void Close() { socket_.Close(); }

private:
    ScopedSocket socket_;
    bool connected_ = false;
    std::string pending_;
};

class NutServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        RestartEventLogEmpty(scratch);
        ResetNutServerForTest();
        ResetMonitorStateForTest();
        ResetUpsReadingForTest();
        MonitorState& state = TheMonitorState();
        state.DeviceHandle = kDevice;
        state.Disconnected = 0;
        state.MainsStateKnown = 1;  // its record says what holds now
        StatusRecord record = {};
        std::strcpy(record.Field1, "100.4");
        StoreUpsRecord(kDevice, record, true, 87);
        port = FreePort();
        config.UpsName = "ups";
        config.User = "mon";
        config.Password = "pw";
        ASSERT_TRUE(ParseNutListen("127.0.0.1:" + std::to_string(port), config.Endpoints));
    }
    void TearDown() override {
        StopNutServer();
        ResetMonitorStateForTest();
        ResetUpsReadingForTest();
        CloseEventLogFileForTest();
    }
    void LogIn(Client& client) {
        ASSERT_EQ(client.Ask("USERNAME mon"), "OK");
        ASSERT_EQ(client.Ask("PASSWORD pw"), "OK");
        ASSERT_EQ(client.Ask("LOGIN ups"), "OK");
    }
    // Polls until the server's count of logged-in clients is `count`.
    bool LoginsBecome(int32_t count) {
        for (int i = 0; i < 200; ++i) {
            if (NutLoggedInClients() == count) return true;
            Sleep(25);
        }
        return false;
    }

    WinsockUse winsock;
    ScratchDirectory scratch;
    uint16_t port = 0;
    NutServerConfig config;
};

TEST_F(NutServerTest, AnswersTheStatusAndFollowsTheShutdownSequence) {
    ASSERT_TRUE(StartNutServer(config));
    Client client(port);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"OL\"");
    TheMonitorState().AcFail = 1;
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"OB\"");
    TheMonitorState().ShutdownSequenceStarted = 1;
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"FSD OB\"");
    EXPECT_EQ(client.Ask("GET VAR ups input.voltage"), "VAR ups input.voltage \"100.4\"");
    TheMonitorState().Disconnected = 1;
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"FSD OB\"") << "the last state stands";
    EXPECT_EQ(client.Ask("LOGOUT"), "OK Goodbye");
    EXPECT_EQ(client.Line(), "<closed>");
}

TEST_F(NutServerTest, APortInUseIsWrittenWithItsWinsockErrorAndTriedAgainUntilItIsFree) {
    ASSERT_TRUE(StartNutServer(config));
    StopNutServer();
    ScopedSocket holder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(holder.Get(), 1), 0);

    NutServerLimits limits;
    limits.BindRetryTicks = kTicksPerSecond / 5;
    ASSERT_TRUE(StartNutServer(config, limits));
    EXPECT_TRUE(NutServerRunning());
    Sleep(1500);  // several attempts, all refused
    const std::string expected = "NutListen(127.0.0.1:" + std::to_string(port) + "):ER=";
    const std::vector<std::string> lines = EventLogTexts(scratch);
    ASSERT_EQ(lines.size(), 1u) << "the same failure is written once an hour";
    EXPECT_EQ(lines[0].rfind(expected, 0), 0u) << lines[0];
    EXPECT_NE(lines[0], expected + "0");

    holder.Close();
    Sleep(1000);
    Client client(port);
    ASSERT_TRUE(client.Connected()) << "bound once the port was free";
    EXPECT_EQ(client.Ask("NETVER"), "1.3");
}

// LF, CR LF and CR CR LF end the same command (a Windows tray client sends the last).
TEST_F(NutServerTest, EveryCrBeforeTheLineFeedIsDropped) {
    ASSERT_TRUE(StartNutServer(config));
    Client client(port);
    ASSERT_TRUE(client.Connected());
    for (const char* end : {"\n", "\r\n", "\r\r\n"}) {
        client.Send(std::string("NETVER") + end);
        EXPECT_EQ(client.Line(), "1.3") << "line end of " << std::string(end).size() << " bytes";
    }
    client.Send("NET\rVER\n");
    EXPECT_EQ(client.Line().rfind("ERR ", 0), 0u) << "a CR inside the line is still refused";
}

// Once the shutdown sequence has started, a UPS that is lost or silent still shows its
// last state with FSD, so that the other machines shut down too.
TEST_F(NutServerTest, FsdIsAnsweredEvenWhenTheUpsIsLost) {
    ASSERT_TRUE(StartNutServer(config));
    MonitorState& state = TheMonitorState();
    state.AcFail = 1;
    state.Disconnected = 1;
    state.DeviceHandle = -1;
    Client client(port);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "ERR DATA-STALE") << "before the sequence";
    state.ShutdownSequenceStarted = 1;
    EXPECT_EQ(client.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"FSD OB\"");
}

TEST_F(NutServerTest, HostileClientsAreCutOffAndANormalClientIsStillAnswered) {
    NutServerLimits limits;
    limits.MaxLineBytes = 64;
    limits.MaxConnections = 3;
    limits.IdleTicks = kTicksPerSecond / 2;
    ASSERT_TRUE(StartNutServer(config, limits));

    Client tooLong(port);
    tooLong.Send(std::string(65, 'A'));  // no line end: the line can only grow
    EXPECT_EQ(tooLong.Line(), "ERR INVALID-ARGUMENT");
    EXPECT_EQ(tooLong.Line(), "<closed>");

    Client binary(port);
    binary.Send(std::string("\x00\xff\x01junk\r\n", 9));
    EXPECT_EQ(binary.Line(), "ERR INVALID-ARGUMENT");
    binary.Close();

    Client silent(port);  // closed once it has said nothing for the idle time
    EXPECT_EQ(silent.Line(), "<closed>");

    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<Client>(port));
        EXPECT_EQ(held.back()->Ask("NETVER"), "1.3");
    }
    // Every slot taken by a client that has not proved itself: a new connection takes
    // the slot of the longest-silent one.
    Client normal(port);
    EXPECT_EQ(normal.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"OL\"");
    EXPECT_EQ(held[0]->Line(), "<closed>");
    EXPECT_EQ(held[1]->Ask("NETVER"), "1.3");
}

// A client that has logged in is never closed to make room; with every slot held by
// such clients a new connection is closed at once. One address keeps at most so many
// clients that have not proved themselves.
TEST_F(NutServerTest, ProvedClientsAreNeverEvictedAndOneAddressHoldsFewUnproved) {
    NutServerLimits limits;
    limits.MaxConnections = 3;
    limits.MaxUnprovedPerAddress = 2;
    ASSERT_TRUE(StartNutServer(config, limits));

    Client unproved1(port);
    EXPECT_EQ(unproved1.Ask("NETVER"), "1.3");
    Client unproved2(port);
    EXPECT_EQ(unproved2.Ask("NETVER"), "1.3");
    Client unproved3(port);  // a third from the same address replaces its longest-silent one
    EXPECT_EQ(unproved3.Ask("NETVER"), "1.3");
    EXPECT_EQ(unproved1.Line(), "<closed>");

    std::vector<std::unique_ptr<Client>> proved;
    for (int i = 0; i < 3; ++i) {
        proved.push_back(std::make_unique<Client>(port));
        LogIn(*proved.back());
    }
    EXPECT_EQ(unproved2.Line(), "<closed>");
    EXPECT_EQ(unproved3.Line(), "<closed>");
    Client refused(port);
    EXPECT_EQ(refused.Line(), "<closed>") << "no room: every client has proved itself";
    for (auto& c : proved) EXPECT_EQ(c->Ask("NETVER"), "1.3");
}

// The right user and password without LOGIN prove nothing: such a client is closed for
// room like any other that has not logged in (it learns nothing of its password so).
TEST_F(NutServerTest, TheRightPasswordWithoutLoginDoesNotProtectFromEviction) {
    NutServerLimits limits;
    limits.MaxConnections = 2;
    ASSERT_TRUE(StartNutServer(config, limits));
    Client rightPassword(port);
    ASSERT_EQ(rightPassword.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(rightPassword.Ask("PASSWORD pw"), "OK");
    Sleep(50);
    Client other(port);
    EXPECT_EQ(other.Ask("NETVER"), "1.3");
    Client filler(port);
    EXPECT_EQ(filler.Ask("NETVER"), "1.3");
    EXPECT_EQ(rightPassword.Line(), "<closed>") << "the longest-silent unproved client made room";
    EXPECT_EQ(other.Ask("NETVER"), "1.3");
}

// Wrong passwords from one address are judged at most one per spacing, however many
// connections the address opens and whether LOGIN follows or not; a right one that comes
// meanwhile waits for the spacing too, so no answer comes sooner for the right password.
TEST_F(NutServerTest, WrongPasswordsOfOneAddressAreSpacedOut) {
    NutServerLimits limits;
    limits.RefusalSpacingTicks = kTicksPerSecond / 2;
    ASSERT_TRUE(StartNutServer(config, limits));
    std::vector<std::unique_ptr<Client>> guessers;
    for (int i = 0; i < 3; ++i) {
        guessers.push_back(std::make_unique<Client>(port));
        ASSERT_EQ(guessers.back()->Ask("USERNAME mon"), "OK");
    }
    const ULONGLONG started = GetTickCount64();
    for (auto& g : guessers) g->Send("PASSWORD wrong\nLOGIN ups\n");
    for (auto& g : guessers) {
        EXPECT_EQ(g->Line(), "OK");
        EXPECT_EQ(g->Line(), "ERR ACCESS-DENIED");
    }
    EXPECT_GE(GetTickCount64() - started, 900u) << "three wrong passwords take at least two spacings";
    Client right(port);
    ASSERT_EQ(right.Ask("USERNAME mon"), "OK");
    const ULONGLONG rightAt = GetTickCount64();
    ASSERT_EQ(right.Ask("PASSWORD pw"), "OK");
    EXPECT_GE(GetTickCount64() - rightAt, 300u) << "the right password waits for the spacing too";
    EXPECT_EQ(right.Ask("LOGIN ups"), "OK");

    // A wrong password alone, without LOGIN: the same spacing.
    Client alone1(port);
    Client alone2(port);
    ASSERT_EQ(alone1.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(alone2.Ask("USERNAME mon"), "OK");
    Sleep(600);  // past the spacing of the guesses above
    const ULONGLONG aloneAt = GetTickCount64();
    EXPECT_EQ(alone1.Ask("PASSWORD wrong"), "OK");
    EXPECT_EQ(alone2.Ask("PASSWORD wrong"), "OK");
    EXPECT_GE(GetTickCount64() - aloneAt, 450u);
    EXPECT_EQ(alone1.Ask("GET VAR ups ups.status"), "VAR ups ups.status \"OL\"") << "it goes on reading";
}

// A wrong password is written like a refused login, LOGIN or not (and the line is
// throttled the same way).
TEST_F(NutServerTest, AWrongPasswordWithoutLoginIsWrittenAsARefusal) {
    ASSERT_TRUE(StartNutServer(config));
    Client client(port);
    ASSERT_EQ(client.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(client.Ask("PASSWORD wrong"), "OK");
    EXPECT_EQ(client.Ask("NETVER"), "1.3");
    EXPECT_EQ(EventLogTexts(scratch), std::vector<std::string>{"NutLogin:NG"});
    Client right(port);
    ASSERT_EQ(right.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(right.Ask("PASSWORD pw"), "OK");
    EXPECT_EQ(EventLogTexts(scratch), std::vector<std::string>{"NutLogin:NG"}) << "the right one is not a refusal";
}

// Whatever its clients do (refused once and then sending without reading, a wrong password
// without reading, half lines, silence, many connections), the server thread sleeps
// between the events that need it: never a zero wait round after round.
TEST_F(NutServerTest, TheThreadSleepsWhateverItsClientsDo) {
    NutServerLimits limits;
    limits.RefusalSpacingTicks = kTicksPerSecond / 5;
    limits.MaxUnprovedPerAddress = 32;
    ASSERT_TRUE(StartNutServer(config, limits));
    Client refused(port, 4096);
    ASSERT_EQ(refused.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(refused.Ask("PASSWORD wrong"), "OK");
    ASSERT_EQ(refused.Ask("LOGIN ups"), "ERR ACCESS-DENIED");
    Client wrongAlone(port, 4096);
    ASSERT_EQ(wrongAlone.Ask("USERNAME mon"), "OK");
    ASSERT_EQ(wrongAlone.Ask("PASSWORD wrong"), "OK");
    Client loggedIn(port, 4096);
    LogIn(loggedIn);
    std::vector<std::unique_ptr<Client>> others;
    for (int i = 0; i < 24; ++i) {
        others.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(others.back()->Connected());
        if (i % 2 == 0) others.back()->Send("GET VAR ups ups.sta");  // a half line, and nothing more
    }
    // Two more guesses behind the held spacing, then nothing read.
    Client guess1(port);
    Client guess2(port, 4096);
    guess1.Send("USERNAME mon\nPASSWORD a\nLOGIN ups\n");
    guess2.Send("USERNAME mon\nPASSWORD b\nLOGIN ups\n");
    EXPECT_GT(refused.FloodWithoutReading("LIST VAR ups"), 0u);
    EXPECT_GT(wrongAlone.FloodWithoutReading("LIST VAR ups"), 0u);
    EXPECT_GT(loggedIn.FloodWithoutReading("LIST VAR ups"), 0u);
    EXPECT_GT(guess2.FloodWithoutReading("LIST VAR ups"), 0u);  // its line was held; the time has passed

    // On a loaded machine the thread may still be working through what the floods sent:
    // that is work. It is given up to 30 s to reach the point where nothing is left (a
    // half second with at most two rounds); a loop that spins never gets there, and the
    // two seconds counted next show it.
    for (int look = 0; look < 60; ++look) {
        const uint64_t start = NutServerRoundsForTest();
        Sleep(500);
        if (NutServerRoundsForTest() - start <= 2) break;
    }
    const uint64_t before = NutServerRoundsForTest();
    Sleep(2000);
    const uint64_t rounds = NutServerRoundsForTest() - before;
    EXPECT_LT(rounds, 10u) << "the loop went round " << rounds << " times in 2 s with nothing to do";

    Client normal(port);
    EXPECT_EQ(normal.Ask("NETVER"), "1.3") << "and it still answers";
}

TEST_F(NutServerTest, FailedLoginsAreWrittenOnceAndTheCountFollowsTheLogins) {
    NutServerLimits limits;
    limits.RefusalSpacingTicks = kTicksPerSecond / 100;  // the spacing has a test of its own
    ASSERT_TRUE(StartNutServer(config, limits));
    for (int i = 0; i < 20; ++i) {
        Client guesser(port);
        ASSERT_EQ(guesser.Ask("USERNAME mon"), "OK");
        ASSERT_EQ(guesser.Ask("PASSWORD guess" + std::to_string(i)), "OK");
        EXPECT_EQ(guesser.Ask("LOGIN ups"), "ERR ACCESS-DENIED");
    }
    EXPECT_EQ(EventLogTexts(scratch), std::vector<std::string>{"NutLogin:NG"});

    Client first(port);
    Client second(port);
    LogIn(first);
    LogIn(second);
    EXPECT_TRUE(LoginsBecome(2));
    EXPECT_EQ(first.Ask("GET NUMLOGINS ups"), "NUMLOGINS ups 2");
    EXPECT_EQ(first.Ask("LIST CLIENT ups"), "BEGIN LIST CLIENT ups");
    EXPECT_EQ(first.Line(), "CLIENT ups 127.0.0.1");
    second.Close();
    EXPECT_TRUE(LoginsBecome(1));
}

TEST_F(NutServerTest, TheWaitBeforeTheOutputOffEndsAtTheLastLogoutTheDeadlineOrAStop) {
    EXPECT_EQ(NutWaitForClientsToLogOut(MonotonicNow() + 60 * kTicksPerSecond, nullptr), 0);
    EXPECT_TRUE(EventLogTexts(scratch).empty()) << "the server is off: nothing is written";

    ASSERT_TRUE(StartNutServer(config));
    Client client(port);
    LogIn(client);
    ASSERT_TRUE(LoginsBecome(1));

    const int64_t started = MonotonicNow();
    EXPECT_EQ(NutWaitForClientsToLogOut(started + kTicksPerSecond / 5, nullptr), 1);
    EXPECT_GE(MonotonicNow() - started, kTicksPerSecond / 5);

    ScopedKernelHandle stop(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(NutWaitForClientsToLogOut(MonotonicNow() + 60 * kTicksPerSecond, stop.Get()), 1);

    client.Send("LOGOUT\n");
    EXPECT_EQ(NutWaitForClientsToLogOut(MonotonicNow() + 60 * kTicksPerSecond, nullptr), 0);
    EXPECT_LT(MonotonicNow() - started, 30 * kTicksPerSecond);
    EXPECT_EQ(EventLogTexts(scratch), (std::vector<std::string>{"NutClients:LoggedIn=1", "NutClients:LoggedIn=1",
                                                                "NutClients:LoggedIn=0"}));
}

}  // namespace
