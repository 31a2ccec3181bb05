// The server thread: one select() loop over the listening sockets, the clients and a
// wake socket, non-blocking throughout. It sleeps until a socket is ready, the next
// deadline (an idle client, a line held for its address's refusal spacing, a bind
// attempt) comes, or the service stops it through the wake socket: nothing wakes it
// while nothing happens, and a deadline that has passed is acted on, never waited for
// again.
#include "nut/nut_server.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "log/repeated_failure_log.h"
#include "nut/nut_commands.h"
#include "nut/nut_line_buffer.h"
#include "nut/nut_server_rules.h"
#include "nut/nut_session.h"
#include "nut/nut_socket.h"
#include "nut/nut_ups_view.h"

namespace {

// The pause before the loop goes on after a failed select() or an escaped exception.
constexpr DWORD kBackOffMs = 200;
constexpr DWORD kThreadEndWaitMs = 5000;
constexpr size_t kReceiveChunk = 512;

// The address, session, times and Closed flag the rules look at, with the socket and
// the bytes in and out.
struct Client : NutConnectionState {
    ScopedSocket socket;
    std::string input;
    std::string output;
    bool closeWhenSent = false;
};

struct Server {
    NutServerConfig config;
    NutServerLimits limits;
    std::vector<ScopedSocket> listeners;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<NutEndpoint> unbound;  // to be tried again at `nextBindAttempt`
    int64_t nextBindAttempt = 0;
    // One throttle per address: two failing addresses must not make each other news.
    std::map<std::string, std::unique_ptr<RepeatedFailureLog>> bindFailures;
    // When each address's last wrong user and password were judged.
    std::map<std::string, int64_t> lastRefusal;
    // A loopback datagram socket in every select(): a byte sent to it ends the wait.
    ScopedSocket wake;
    sockaddr_in wakeAddress = {};
};

std::unique_ptr<Server> server;  // touched only by Start/Stop and the thread they own
std::unique_ptr<WinsockUse> serverWinsock;  // held while the server runs
ScopedKernelHandle serverThread;
std::atomic<bool> stopRequested{false};
std::atomic<bool> running{false};
std::atomic<int32_t> loggedIn{0};
std::atomic<uint64_t> rounds{0};  // of the loop, for the tests

// Signalled whenever the number of logged-in clients changes; made once, lives with the process.
HANDLE LoginsChangedEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// A client guessing passwords would otherwise write a line per attempt. Never
// destroyed, like the other objects the service's threads share.
RepeatedFailureLog& FailedLoginLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

std::string EndpointName(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address.sin_addr);
    snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

bool SetNonBlocking(SOCKET s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Binds and listens; on failure `error` is the Winsock error.
ScopedSocket Listen(const NutEndpoint& endpoint, uint32_t& error) {
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) {
        error = static_cast<uint32_t>(WSAGetLastError());
        return ScopedSocket();
    }
    // Another program must not be able to take over the port beside us.
    BOOL exclusive = TRUE;
    setsockopt(s.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.Port);
    address.sin_addr.s_addr = htonl(endpoint.Address);
    if (bind(s.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s.Get(), SOMAXCONN) != 0 || !SetNonBlocking(s.Get())) {
        error = static_cast<uint32_t>(WSAGetLastError());
        return ScopedSocket();
    }
    return s;
}

// Tries every endpoint not bound yet; what fails stays for the next attempt.
void BindWhatIsUnbound(Server& srv, int64_t now) {
    std::vector<NutEndpoint> stillUnbound;
    for (const NutEndpoint& endpoint : srv.unbound) {
        std::unique_ptr<RepeatedFailureLog>& failures = srv.bindFailures[endpoint.Text];
        if (failures == nullptr) failures = std::make_unique<RepeatedFailureLog>();
        uint32_t error = 0;
        ScopedSocket listener = Listen(endpoint, error);
        if (listener) {
            failures->Succeeded();
            srv.listeners.push_back(std::move(listener));
        } else {
            failures->Failed("NutListen(" + endpoint.Text + "):ER=" + std::to_string(error));
            stillUnbound.push_back(endpoint);
        }
    }
    srv.unbound = std::move(stillUnbound);
    srv.nextBindAttempt = now + srv.limits.BindRetryTicks;
}

std::vector<NutConnectionState*> Connections(const Server& srv) {
    std::vector<NutConnectionState*> connections;
    for (const auto& c : srv.clients) connections.push_back(c.get());
    return connections;
}

void RemoveClosedClients(Server& srv) {
    for (size_t i = srv.clients.size(); i-- > 0;) {
        if (srv.clients[i]->Closed) srv.clients.erase(srv.clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void AcceptFrom(Server& srv, SOCKET listener, int64_t now) {
    // Everything waiting is taken at once, so a flood of connects never fills the backlog.
    for (;;) {
        sockaddr_in peer = {};
        int length = sizeof(peer);
        ScopedSocket s(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
        if (!s) break;
        const std::string address = EndpointName(peer);
        if (!NutMakeRoomFor(Connections(srv), address, srv.limits) || !SetNonBlocking(s.Get())) continue;  // closed
        auto client = std::make_unique<Client>();
        client->socket = std::move(s);
        client->Address = address;
        client->LastHeard = now;
        srv.clients.push_back(std::move(client));
    }
    RemoveClosedClients(srv);
}

void Receive(Client& client, int64_t now) {
    char buffer[kReceiveChunk];
    const int got = recv(client.socket.Get(), buffer, sizeof(buffer), 0);
    if (got > 0) {
        client.input.append(buffer, static_cast<size_t>(got));
        client.LastHeard = now;
    } else if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        client.Closed = true;
    }
}

std::vector<std::string> LoggedInAddresses(const Server& srv) {
    std::vector<std::string> addresses;
    for (const auto& c : srv.clients) {
        if (c->Session.LoggedIn && !c->Closed) addresses.push_back(c->Address);
    }
    return addresses;
}

// The first moment the address's next user and password may be judged: the spacing
// after its last wrong ones, so that it tests at most one wrong password a second
// however many connections it opens. The wait comes before the judgement, right or wrong,
// so that no answer comes sooner for the right password. Spacings long past are forgotten.
int64_t JudgementAllowedAt(Server& srv, const std::string& address, int64_t now) {
    for (auto it = srv.lastRefusal.begin(); it != srv.lastRefusal.end();) {
        it = now - it->second >= srv.limits.RefusalSpacingTicks ? srv.lastRefusal.erase(it) : std::next(it);
    }
    const auto last = srv.lastRefusal.find(address);
    return last == srv.lastRefusal.end() ? now : last->second + srv.limits.RefusalSpacingTicks;
}

// Answers the complete lines waiting, as long as the answers do not pile up unsent. A
// line that would judge the user and password while its address must wait stays where
// it is, with the client's AnswerNotBefore set to the moment it may be judged.
void AnswerLines(Server& srv, Client& client, int64_t now) {
    if (client.AnswerNotBefore <= now) client.AnswerNotBefore = 0;  // passed: it counts no more
    while (!client.Closed && !client.closeWhenSent && client.output.size() < srv.limits.MaxPendingOutput &&
           client.AnswerNotBefore == 0) {
        const NutLine next = NextNutLine(client.input, srv.limits.MaxLineBytes);
        if (next.Status == NutLineStatus::TooLong) {
            client.output += "ERR INVALID-ARGUMENT\n";
            client.input.clear();
            client.closeWhenSent = true;
            return;
        }
        if (next.Status == NutLineStatus::Incomplete) return;
        const std::string& line = next.Text;

        const NutUpsView view = CurrentNutUpsView();
        const std::vector<std::string> addresses = LoggedInAddresses(srv);
        const int64_t judgeAt = JudgementAllowedAt(srv, client.Address, now);
        NutContext context{srv.config, view, static_cast<int>(addresses.size()), addresses};
        context.MayJudgePair = judgeAt <= now;
        NutAnswer answer = AnswerNutLine(client.Session, line, context);
        if (answer.Deferred) {
            client.AnswerNotBefore = judgeAt;
            return;
        }
        client.input.erase(0, next.Length);
        if (answer.WrongPair) {
            FailedLoginLog().Failed("NutLogin:NG");
            srv.lastRefusal[client.Address] = now;
        }
        client.output += answer.Text;
        if (answer.Close) client.closeWhenSent = true;
    }
}

void Send(Client& client) {
    if (client.output.empty()) return;
    const int sent = send(client.socket.Get(), client.output.data(), static_cast<int>(client.output.size()), 0);
    if (sent > 0) {
        client.output.erase(0, static_cast<size_t>(sent));
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        client.Closed = true;
    }
}

void PublishLogins(const Server& srv) {
    int32_t count = 0;
    for (const auto& c : srv.clients) {
        if (c->Session.LoggedIn && !c->Closed) ++count;
    }
    if (loggedIn.exchange(count) != count) SetEvent(LoginsChangedEvent());
}

int64_t NextDeadline(const Server& srv, int64_t now) {
    std::vector<const NutConnectionState*> connections;
    for (const auto& c : srv.clients) connections.push_back(c.get());
    return NutNextDeadline(connections, srv.unbound.empty() ? INT64_MAX : srv.nextBindAttempt, now, srv.limits);
}

// select()'s time-out for `deadline`: null (no limit) when there is none.
timeval* TimeoutUntil(int64_t deadline, int64_t now, timeval& storage) {
    if (deadline == INT64_MAX) return nullptr;
    const int64_t remaining = std::max<int64_t>(0, deadline - now);
    const int64_t microseconds = (remaining + 9) / 10;  // ticks of 100 ns, rounded up
    storage.tv_sec = static_cast<long>(microseconds / 1000000);
    storage.tv_usec = static_cast<long>(microseconds % 1000000);
    return &storage;
}

void DrainWake(const Server& srv) {
    char bytes[16];
    while (recv(srv.wake.Get(), bytes, sizeof(bytes), 0) > 0) {
    }
}

void ServeOnce(Server& srv) {
    rounds.fetch_add(1, std::memory_order_relaxed);
    if (!srv.unbound.empty() && MonotonicNow() >= srv.nextBindAttempt) BindWhatIsUnbound(srv, MonotonicNow());
    // A line held for its address's spacing whose time has come since the last round is
    // answered before the wait: the wait counts only the held times still to come from this
    // same moment, so a time that passes between two rounds is never slept through.
    const int64_t before = MonotonicNow();
    for (auto& c : srv.clients) {
        if (c->AnswerNotBefore != 0 && c->AnswerNotBefore <= before) AnswerLines(srv, *c, before);
    }
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(srv.wake.Get(), &readable);
    for (const ScopedSocket& l : srv.listeners) FD_SET(l.Get(), &readable);
    for (const auto& c : srv.clients) {
        // A client is read again only once its earlier lines are answered and sent.
        if (c->output.empty() && c->input.find('\n') == std::string::npos) FD_SET(c->socket.Get(), &readable);
        if (!c->output.empty()) FD_SET(c->socket.Get(), &writable);
    }
    timeval storage = {};
    if (select(0, &readable, &writable, nullptr, TimeoutUntil(NextDeadline(srv, before), before, storage)) ==
        SOCKET_ERROR) {
        Sleep(kBackOffMs);
        return;
    }
    if (FD_ISSET(srv.wake.Get(), &readable)) DrainWake(srv);
    const int64_t now = MonotonicNow();
    for (auto& c : srv.clients) {
        if (FD_ISSET(c->socket.Get(), &readable)) Receive(*c, now);
        AnswerLines(srv, *c, now);
        Send(*c);
        if (c->closeWhenSent && c->output.empty()) c->Closed = true;
        if (now - c->LastHeard > srv.limits.IdleTicks) c->Closed = true;
    }
    RemoveClosedClients(srv);
    PublishLogins(srv);
    for (const ScopedSocket& l : srv.listeners) {
        if (FD_ISSET(l.Get(), &readable)) AcceptFrom(srv, l.Get(), now);
    }
    PublishLogins(srv);
}

// A loopback datagram socket for StopNutServer to wake the loop with.
bool OpenWakeSocket(Server& srv) {
    srv.wake.Reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!srv.wake) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (bind(srv.wake.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(srv.wake.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        !SetNonBlocking(srv.wake.Get())) {
        return false;
    }
    srv.wakeAddress = address;
    return true;
}

void WakeServer(const Server& srv) {
    ScopedSocket sender(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sender) return;
    const char byte = 1;
    sendto(sender.Get(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&srv.wakeAddress), sizeof(srv.wakeAddress));
}

// Whatever escapes one round of the loop (out of memory, say) is written and the
// loop goes on: the process, and with it the shutdown sequence, never ends for it.
void ServeOnceCatching(Server& srv) {
    try {
        ServeOnce(srv);
    } catch (...) {
        try {
            TraceLog("NutServer:Exception");
        } catch (...) {
        }
        Sleep(kBackOffMs);  // never a spin, should it repeat
    }
}

DWORD WINAPI ServerThread(LPVOID) {
    while (!stopRequested.load()) ServeOnceCatching(*server);
    try {
        server->clients.clear();
    } catch (...) {
    }
    PublishLogins(*server);
    return 0;
}

}  // namespace

bool StartNutServer(const NutServerConfig& config, const NutServerLimits& limits) {
    if (running.load() || config.Endpoints.empty()) return false;
    auto winsock = std::make_unique<WinsockUse>();
    if (!winsock->Started()) {
        TraceLogError("WSAStartup():ER=", winsock->Error());
        return false;
    }
    auto srv = std::make_unique<Server>();
    srv->config = config;
    srv->limits = limits;
    if (!OpenWakeSocket(*srv)) {
        TraceLogError("NutWake():ER=", static_cast<uint32_t>(WSAGetLastError()));
        return false;
    }
    srv->unbound = config.Endpoints;
    BindWhatIsUnbound(*srv, MonotonicNow());
    LoginsChangedEvent();
    stopRequested = false;
    loggedIn = 0;
    server = std::move(srv);
    HANDLE thread = CreateThread(nullptr, 0, ServerThread, nullptr, 0, nullptr);
    if (thread == nullptr) {
        TraceLogError("CreateThread():ER=", GetLastError());
        server.reset();
        return false;
    }
    serverThread.Reset(thread);
    serverWinsock = std::move(winsock);
    running = true;
    return true;
}

void StartNutServerFromSettingsFile() {
    Settings settings;
    if (ReadSettings(settings) == 0 || settings.NutListen.empty()) return;
    NutServerConfig config;
    std::string badKey;
    if (!NutConfigFromSettings(settings, config, badKey)) {
        TraceLog("NutSetting:Err=" + badKey);
        return;
    }
    StartNutServer(config);
}

void StopNutServer() {
    if (!running.load()) return;
    stopRequested = true;
    WakeServer(*server);
    const bool ended = WaitForSingleObject(serverThread.Get(), kThreadEndWaitMs) == WAIT_OBJECT_0;
    serverThread.Close();
    running = false;
    // A thread that did not end may still use the record: it is left to it.
    if (ended) {
        server.reset();
    } else {
        server.release();
    }
    loggedIn = 0;
    serverWinsock.reset();
}

bool NutServerRunning() { return running.load(); }

void ResetNutServerForTest() { FailedLoginLog().Succeeded(); }

uint64_t NutServerRoundsForTest() { return rounds.load(); }

int32_t NutLoggedInClients() { return loggedIn.load(); }

int32_t NutWaitForClientsToLogOut(int64_t deadlineMonotonicTicks, HANDLE wakeEvent) {
    if (!running.load()) return 0;
    for (;;) {
        const int32_t count = loggedIn.load();
        const int64_t remaining = deadlineMonotonicTicks - MonotonicNow();
        if (count == 0 || remaining <= 0) {
            TraceLog("NutClients:LoggedIn=" + std::to_string(count));
            return count;
        }
        int64_t waitMs = (remaining + 9999) / 10000;
        if (waitMs > 1000) waitMs = 1000;
        HANDLE handles[2] = {LoginsChangedEvent(), wakeEvent};
        const DWORD woke = WaitForMultipleObjects(wakeEvent != nullptr ? 2 : 1, handles, FALSE,
                                                  static_cast<DWORD>(waitMs));
        if (woke == WAIT_OBJECT_0 + 1) {
            const int32_t left = loggedIn.load();
            TraceLog("NutClients:LoggedIn=" + std::to_string(left));
            return left;
        }
    }
}
