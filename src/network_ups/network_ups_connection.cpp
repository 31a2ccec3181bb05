// Non-blocking throughout: the socket reports to an event (WSAEventSelect), and every
// wait is on that event and the caller's stop event together, up to a deadline on the
// monotonic clock. A host name is resolved on a helper thread of its own, since the
// system's resolver takes no time limit and no stop.
#include "network_ups/network_ups_connection.h"

#include <memory>

#include "common/clock.h"
#include "nut/nut_line_buffer.h"
#include "nut/nut_words.h"

namespace {

constexpr size_t kReceiveChunk = 512;

int64_t DeadlineAfterMs(uint32_t ms) { return MonotonicNow() + static_cast<int64_t>(ms) * (kTicksPerSecond / 1000); }

// What is left of `deadline` in whole milliseconds, rounded up; 0 once it has passed.
DWORD RemainingMs(int64_t deadline) {
    const int64_t remaining = deadline - MonotonicNow();
    if (remaining <= 0) return 0;
    return static_cast<DWORD>((remaining + 9999) / 10000);
}

// One host-name lookup, shared by the thread that makes it and the caller that may stop
// waiting for it: whoever lets go last frees it.
struct Resolution {
    ScopedKernelHandle done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::string host;
    int error = 0;
    std::vector<in_addr> addresses;
};

DWORD WINAPI ResolveThread(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<Resolution>> holder(static_cast<std::shared_ptr<Resolution>*>(parameter));
    const std::shared_ptr<Resolution> resolution = *holder;
    WinsockUse winsock;  // the caller's may end before the lookup does
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    resolution->error = getaddrinfo(resolution->host.c_str(), nullptr, &hints, &list);
    if (resolution->error == 0) {
        for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
                resolution->addresses.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
            }
        }
        freeaddrinfo(list);
    }
    SetEvent(resolution->done.Get());
    return 0;
}

// The IPv4 addresses of `host`, or false with the error. An address in dotted form needs
// no lookup.
bool Resolve(const std::string& host, int64_t deadline, HANDLE stop, std::vector<in_addr>& addresses,
             uint32_t& error) {
    in_addr literal = {};
    if (InetPtonA(AF_INET, host.c_str(), &literal) == 1) {
        addresses.assign(1, literal);
        return true;
    }
    auto resolution = std::make_shared<Resolution>();
    resolution->host = host;
    if (!resolution->done) {
        error = GetLastError();
        return false;
    }
    auto* holder = new std::shared_ptr<Resolution>(resolution);
    HANDLE thread = CreateThread(nullptr, 0, ResolveThread, holder, 0, nullptr);
    if (thread == nullptr) {
        error = GetLastError();
        delete holder;
        return false;
    }
    CloseHandle(thread);  // it ends by itself; a lookup we stop waiting for is left to it
    HANDLE handles[2] = {resolution->done.Get(), stop};
    const DWORD woke = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, RemainingMs(deadline));
    if (woke == WAIT_OBJECT_0 + 1) {
        error = kNetworkUpsStoppedError;
        return false;
    }
    if (woke != WAIT_OBJECT_0) {
        error = kNetworkUpsTimedOutError;
        return false;
    }
    if (resolution->error != 0 || resolution->addresses.empty()) {
        error = resolution->error != 0 ? static_cast<uint32_t>(resolution->error) : WSAHOST_NOT_FOUND;
        return false;
    }
    addresses = resolution->addresses;
    return true;
}

// A value as one word of a request line: quoted only when it must be.
std::string AsWord(const std::string& value) {
    const bool plain = !value.empty() && value.find_first_of(" \t\"\\") == std::string::npos;
    return plain ? value : QuoteNutValue(value);
}

std::string ErrorWord(const std::vector<std::string>& answer) {
    return answer.size() >= 2 && answer[0] == "ERR" ? answer[1] : std::string();
}

// Errors that say the UPS itself is gone, whatever was asked.
bool IsUpsLostError(const std::string& word) {
    return word == "DATA-STALE" || word == "DRIVER-NOT-CONNECTED" || word == "UNKNOWN-UPS";
}

// Errors of a server that has no login at all.
bool IsNoLoginError(const std::string& word) {
    return word == "UNKNOWN-COMMAND" || word == "CMD-NOT-SUPPORTED" || word == "FEATURE-NOT-SUPPORTED" ||
           word == "FEATURE-NOT-CONFIGURED";
}

}  // namespace

NetworkUpsConnection::NetworkUpsConnection(HANDLE stopEvent, const NetworkUpsLimits& limits)
    : stop_(stopEvent), limits_(limits) {}

bool NetworkUpsConnection::Connect(const std::string& host, uint16_t port) {
    socket_.Close();
    input_.clear();
    lost_ = true;
    if (!winsock_.Started()) {
        error_ = winsock_.Error();
        return false;
    }
    // A connect on the same machine may complete at once, with no wait to see the stop in.
    if (StopRequested()) {
        error_ = kNetworkUpsStoppedError;
        return false;
    }
    const int64_t deadline = DeadlineAfterMs(limits_.ConnectMs);
    std::vector<in_addr> addresses;
    if (!Resolve(host, deadline, stop_, addresses, error_)) return false;
    for (const in_addr& address : addresses) {
        sockaddr_in target = {};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr = address;
        if (ConnectTo(target, deadline)) {
            lost_ = false;
            error_ = 0;
            return true;
        }
        if (error_ == kNetworkUpsStoppedError || error_ == kNetworkUpsTimedOutError) return false;
    }
    return false;
}

bool NetworkUpsConnection::ConnectTo(const sockaddr_in& address, int64_t deadline) {
    socket_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket_) {
        error_ = static_cast<uint32_t>(WSAGetLastError());
        return false;
    }
    if (!socketEvent_) socketEvent_.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    // Also makes the socket non-blocking.
    if (!socketEvent_ ||
        WSAEventSelect(socket_.Get(), socketEvent_.Get(), FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        error_ = socketEvent_ ? static_cast<uint32_t>(WSAGetLastError()) : GetLastError();
        socket_.Close();
        return false;
    }
    if (connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return true;
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK) {
        error_ = static_cast<uint32_t>(started);
        socket_.Close();
        return false;
    }
    for (;;) {
        WSANETWORKEVENTS events = {};
        const Wait wait = WaitForSocket(deadline, events);
        if (wait != Wait::Ready) {
            error_ = WaitError(wait);
            socket_.Close();
            return false;
        }
        if ((events.lNetworkEvents & FD_CONNECT) != 0) {
            const int result = events.iErrorCode[FD_CONNECT_BIT];
            if (result == 0) return true;
            error_ = static_cast<uint32_t>(result);
            socket_.Close();
            return false;
        }
    }
}

NetworkUpsConnection::Wait NetworkUpsConnection::WaitForSocket(int64_t deadline, WSANETWORKEVENTS& events) {
    const DWORD remaining = RemainingMs(deadline);
    if (remaining == 0) return Wait::TimedOut;  // a passed deadline is never waited for again
    HANDLE handles[2] = {socketEvent_.Get(), stop_};
    const DWORD woke = WaitForMultipleObjects(stop_ != nullptr ? 2 : 1, handles, FALSE, remaining);
    if (woke == WAIT_OBJECT_0 + 1) return Wait::Stopped;
    if (woke == WAIT_TIMEOUT) return Wait::TimedOut;
    if (woke != WAIT_OBJECT_0) return Wait::Failed;
    if (WSAEnumNetworkEvents(socket_.Get(), socketEvent_.Get(), &events) != 0) return Wait::Failed;
    return Wait::Ready;
}

uint32_t NetworkUpsConnection::WaitError(Wait wait) const {
    switch (wait) {
        case Wait::TimedOut:
            return kNetworkUpsTimedOutError;
        case Wait::Stopped:
            return kNetworkUpsStoppedError;
        default:
            return static_cast<uint32_t>(WSAGetLastError());
    }
}

void NetworkUpsConnection::Lose(uint32_t error) {
    if (!lost_) error_ = error;
    lost_ = true;
    socket_.Close();
    input_.clear();
}

bool NetworkUpsConnection::AwaitSocket(int64_t deadline) {
    const int failed = WSAGetLastError();
    if (failed != WSAEWOULDBLOCK) {
        Lose(static_cast<uint32_t>(failed));
        return false;
    }
    WSANETWORKEVENTS events = {};
    const Wait wait = WaitForSocket(deadline, events);
    if (wait != Wait::Ready) {
        Lose(WaitError(wait));
        return false;
    }
    return true;
}

bool NetworkUpsConnection::Send(const std::string& bytes, int64_t deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = send(socket_.Get(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (!AwaitSocket(deadline)) return false;
    }
    return true;
}

bool NetworkUpsConnection::ReceiveLine(std::string& line, int64_t deadline) {
    for (;;) {
        const NutLine next = NextNutLine(input_, limits_.MaxLineBytes);
        if (next.Status == NutLineStatus::Complete) {
            line = next.Text;
            input_.erase(0, next.Length);
            return true;
        }
        if (next.Status == NutLineStatus::TooLong) {
            Lose(kNetworkUpsProtocolError);
            return false;
        }
        char buffer[kReceiveChunk];
        const int got = recv(socket_.Get(), buffer, sizeof(buffer), 0);
        if (got > 0) {
            input_.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got == 0) {
            Lose(kNetworkUpsClosedError);
            return false;
        }
        if (!AwaitSocket(deadline)) return false;
    }
}

bool NetworkUpsConnection::StopRequested() const {
    return stop_ != nullptr && WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0;
}

bool NetworkUpsConnection::Exchange(const std::string& request, std::vector<std::string>& answer) {
    if (lost_) return false;
    // An answer already received must not let a stopped caller go on.
    if (StopRequested()) {
        Lose(kNetworkUpsStoppedError);
        return false;
    }
    const int64_t deadline = DeadlineAfterMs(limits_.AnswerMs);
    std::string line;
    if (!Send(request + "\n", deadline) || !ReceiveLine(line, deadline)) return false;
    if (HasNutControlBytes(line) || !SplitNutWords(line, answer) || answer.empty()) {
        Lose(kNetworkUpsProtocolError);
        return false;
    }
    return true;
}

NetworkUpsVarResult NetworkUpsConnection::GetVar(const std::string& ups, const std::string& variable,
                                                 std::string& value) {
    std::vector<std::string> answer;
    if (!Exchange("GET VAR " + ups + " " + variable, answer)) return NetworkUpsVarResult::Lost;
    if (answer.size() == 4 && answer[0] == "VAR" && answer[1] == ups && answer[2] == variable) {
        value = answer[3];
        return NetworkUpsVarResult::Value;
    }
    const std::string error = ErrorWord(answer);
    if (IsUpsLostError(error)) {
        Lose(kNetworkUpsUpsLostError);
        return NetworkUpsVarResult::Lost;
    }
    if (!error.empty()) return NetworkUpsVarResult::NotSupported;
    // An answer to some other question: the conversation is out of step.
    Lose(kNetworkUpsProtocolError);
    return NetworkUpsVarResult::Lost;
}

NetworkUpsLoginResult NetworkUpsConnection::Login(const std::string& user, const std::string& password,
                                                  const std::string& ups) {
    const std::string requests[] = {"USERNAME " + AsWord(user), "PASSWORD " + AsWord(password), "LOGIN " + ups};
    for (const std::string& request : requests) {
        std::vector<std::string> answer;
        if (!Exchange(request, answer)) return NetworkUpsLoginResult::Lost;
        if (answer[0] == "OK") continue;
        const std::string error = ErrorWord(answer);
        if (IsUpsLostError(error)) {
            Lose(kNetworkUpsUpsLostError);
            return NetworkUpsLoginResult::Lost;
        }
        if (IsNoLoginError(error)) return NetworkUpsLoginResult::NotSupported;
        if (!error.empty()) return NetworkUpsLoginResult::Refused;
        Lose(kNetworkUpsProtocolError);
        return NetworkUpsLoginResult::Lost;
    }
    return NetworkUpsLoginResult::Accepted;
}

bool NetworkUpsConnection::Logout() {
    if (lost_) return false;
    const int64_t deadline = DeadlineAfterMs(limits_.AnswerMs);
    std::string line;
    const bool answered = Send("LOGOUT\n", deadline) && ReceiveLine(line, deadline);
    Lose(0);
    return answered;
}
