// The server thread: one select() loop over the listening sockets and the clients,
// non-blocking throughout, waking at least five times a second to notice a stop.
#include "nut/nut_server.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "log/repeated_failure_log.h"
#include "nut/nut_commands.h"
#include "nut/nut_socket.h"
#include "nut/nut_ups_view.h"

namespace {

constexpr long kSelectTimeoutUs = 200000;
constexpr DWORD kThreadEndWaitMs = 5000;
constexpr size_t kReceiveChunk = 512;

struct Client {
    ScopedSocket socket;
    std::string address;
    std::string input;
    std::string output;
    NutSession session;
    int64_t lastHeard = 0;
    bool closeWhenSent = false;
    bool closed = false;
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
};

std::unique_ptr<Server> server;  // touched only by Start/Stop and the thread they own
ScopedKernelHandle serverThread;
std::atomic<bool> stopRequested{false};
std::atomic<bool> running{false};
std::atomic<int32_t> loggedIn{0};

// Signalled whenever the number of logged-in clients changes; made once, lives with the process.
HANDLE LoginsChangedEvent() {
    static HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// A client guessing passwords would otherwise write a line per attempt.
RepeatedFailureLog& FailedLoginLog() {
    static RepeatedFailureLog log;
    return log;
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

void AcceptFrom(Server& srv, SOCKET listener, int64_t now) {
    // Everything waiting is taken at once, so a flood of connects never fills the backlog.
    for (;;) {
        sockaddr_in peer = {};
        int length = sizeof(peer);
        ScopedSocket s(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
        if (!s) return;
        if (srv.clients.size() >= srv.limits.MaxConnections || !SetNonBlocking(s.Get())) continue;  // closed here
        auto client = std::make_unique<Client>();
        client->socket = std::move(s);
        client->address = EndpointName(peer);
        client->lastHeard = now;
        srv.clients.push_back(std::move(client));
    }
}

void Receive(Client& client, int64_t now) {
    char buffer[kReceiveChunk];
    const int got = recv(client.socket.Get(), buffer, sizeof(buffer), 0);
    if (got > 0) {
        client.input.append(buffer, static_cast<size_t>(got));
        client.lastHeard = now;
    } else if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
        client.closed = true;
    }
}

std::vector<std::string> LoggedInAddresses(const Server& srv) {
    std::vector<std::string> addresses;
    for (const auto& c : srv.clients) {
        if (c->session.LoggedIn && !c->closed) addresses.push_back(c->address);
    }
    return addresses;
}

// Answers the complete lines waiting, as long as the answers do not pile up unsent.
void AnswerLines(Server& srv, Client& client) {
    while (!client.closed && !client.closeWhenSent && client.output.size() < srv.limits.MaxPendingOutput) {
        const size_t end = client.input.find('\n');
        if (end == std::string::npos ? client.input.size() > srv.limits.MaxLineBytes
                                     : end > srv.limits.MaxLineBytes) {
            client.output += "ERR INVALID-ARGUMENT\n";
            client.input.clear();
            client.closeWhenSent = true;
            return;
        }
        if (end == std::string::npos) return;
        std::string line = client.input.substr(0, end);
        client.input.erase(0, end + 1);
        // LF, CR LF and CR CR LF (a Windows tray client's WriteLine of a line ending in CR)
        // all end the same command.
        while (!line.empty() && line.back() == '\r') line.pop_back();

        const NutUpsView view = CurrentNutUpsView();
        const std::vector<std::string> addresses = LoggedInAddresses(srv);
        const NutContext context{srv.config, view, static_cast<int>(addresses.size()), addresses};
        NutAnswer answer = AnswerNutLine(client.session, line, context);
        if (answer.FailedLogin) FailedLoginLog().Failed("NutLogin:NG");
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
        client.closed = true;
    }
}

void PublishLogins(const Server& srv) {
    int32_t count = 0;
    for (const auto& c : srv.clients) {
        if (c->session.LoggedIn && !c->closed) ++count;
    }
    if (loggedIn.exchange(count) != count) SetEvent(LoginsChangedEvent());
}

void ServeOnce(Server& srv) {
    if (!srv.unbound.empty() && MonotonicNow() >= srv.nextBindAttempt) BindWhatIsUnbound(srv, MonotonicNow());
    if (srv.listeners.empty() && srv.clients.empty()) {
        Sleep(kSelectTimeoutUs / 1000);  // nothing to wait on yet but the next attempt
        return;
    }
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    for (const ScopedSocket& l : srv.listeners) FD_SET(l.Get(), &readable);
    for (const auto& c : srv.clients) {
        // A client is read again only once its earlier lines are answered and sent.
        if (c->output.empty() && c->input.find('\n') == std::string::npos) FD_SET(c->socket.Get(), &readable);
        if (!c->output.empty()) FD_SET(c->socket.Get(), &writable);
    }
    timeval timeout = {0, kSelectTimeoutUs};
    if (select(0, &readable, &writable, nullptr, &timeout) == SOCKET_ERROR) {
        Sleep(kSelectTimeoutUs / 1000);
        return;
    }
    const int64_t now = MonotonicNow();
    for (auto& c : srv.clients) {
        if (FD_ISSET(c->socket.Get(), &readable)) Receive(*c, now);
        AnswerLines(srv, *c);
        Send(*c);
        if (c->closeWhenSent && c->output.empty()) c->closed = true;
        if (now - c->lastHeard > srv.limits.IdleTicks) c->closed = true;
    }
    for (size_t i = srv.clients.size(); i-- > 0;) {
        if (srv.clients[i]->closed) srv.clients.erase(srv.clients.begin() + static_cast<std::ptrdiff_t>(i));
    }
    PublishLogins(srv);
    for (const ScopedSocket& l : srv.listeners) {
        if (FD_ISSET(l.Get(), &readable)) AcceptFrom(srv, l.Get(), now);
    }
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
        Sleep(kSelectTimeoutUs / 1000);  // never a spin, should it repeat
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
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 2), &data);
    if (started != 0) {
        TraceLogError("WSAStartup():ER=", static_cast<uint32_t>(started));
        return false;
    }
    auto srv = std::make_unique<Server>();
    srv->config = config;
    srv->limits = limits;
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
        WSACleanup();
        return false;
    }
    serverThread.Reset(thread);
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
    WSACleanup();
}

bool NutServerRunning() { return running.load(); }

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
