// Non-blocking throughout: the socket reports to an event (WSAEventSelect), and every
// wait is on that event and the caller's stop event together, up to a deadline on the
// monotonic clock. A host name is resolved as network_ups_host_lookup.h does it.
#include "network_ups/network_ups_connection.h"

#include "common/clock.h"
#include "network_ups/network_ups_host_lookup.h"
#include "nut/nut_line_buffer.h"
#include "nut/nut_words.h"

namespace {

constexpr size_t kReceiveChunk = 512;

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
    const int64_t deadline = MonotonicDeadlineAfterMs(limits_.ConnectMs);
    std::vector<in_addr> addresses;
    if (!LookUpHostAddresses(host, deadline, stop_, addresses, error_)) return false;
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
    const DWORD remaining = MsUntilMonotonic(deadline);
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

bool NetworkUpsConnection::ReceiveAnswer(std::vector<std::string>& answer, int64_t deadline) {
    std::string line;
    if (!ReceiveLine(line, deadline)) return false;
    answer.clear();
    if (HasNutControlBytes(line) || !SplitNutWords(line, answer) || answer.empty()) {
        Lose(kNetworkUpsProtocolError);
        return false;
    }
    return true;
}

bool NetworkUpsConnection::Exchange(const std::string& request, std::vector<std::string>& answer, int64_t deadline) {
    if (lost_) return false;
    // An answer already received must not let a stopped caller go on.
    if (StopRequested()) {
        Lose(kNetworkUpsStoppedError);
        return false;
    }
    return Send(request + "\n", deadline) && ReceiveAnswer(answer, deadline);
}

bool NetworkUpsConnection::Exchange(const std::string& request, std::vector<std::string>& answer) {
    return Exchange(request, answer, MonotonicDeadlineAfterMs(limits_.AnswerMs));
}

NetworkUpsVarResult NetworkUpsConnection::Refusal(const std::vector<std::string>& answer) {
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

NetworkUpsVarResult NetworkUpsConnection::GetVar(const std::string& ups, const std::string& variable,
                                                 std::string& value) {
    std::vector<std::string> answer;
    if (!Exchange("GET VAR " + ups + " " + variable, answer)) return NetworkUpsVarResult::Lost;
    if (answer.size() == 4 && answer[0] == "VAR" && answer[1] == ups && answer[2] == variable) {
        value = answer[3];
        return NetworkUpsVarResult::Value;
    }
    return Refusal(answer);
}

NetworkUpsVarResult NetworkUpsConnection::ListVars(const std::string& ups,
                                                   std::map<std::string, std::string>& values) {
    // The whole list within one answer limit: a server that trickles it is a slow one.
    const int64_t deadline = MonotonicDeadlineAfterMs(limits_.AnswerMs);
    std::vector<std::string> answer;
    if (!Exchange("LIST VAR " + ups, answer, deadline)) return NetworkUpsVarResult::Lost;
    const std::vector<std::string> begin = {"BEGIN", "LIST", "VAR", ups};
    if (answer != begin) return Refusal(answer);
    std::map<std::string, std::string> read;
    for (size_t lines = 0; lines <= limits_.MaxListLines; ++lines) {
        if (!ReceiveAnswer(answer, deadline)) return NetworkUpsVarResult::Lost;
        if (answer.size() == 4 && answer[0] == "END" && answer[1] == "LIST" && answer[2] == "VAR" &&
            answer[3] == ups) {
            values = std::move(read);
            return NetworkUpsVarResult::Value;
        }
        if (answer.size() != 4 || answer[0] != "VAR" || answer[1] != ups) break;
        read[answer[2]] = answer[3];
    }
    // A line that belongs to no list of this UPS's variables, or a list without end.
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

bool NetworkUpsConnection::Logout(uint32_t atMostMs) {
    if (lost_) return false;
    const int64_t deadline = MonotonicDeadlineAfterMs(atMostMs < limits_.AnswerMs ? atMostMs : limits_.AnswerMs);
    std::string line;
    const bool answered = Send("LOGOUT\n", deadline) && ReceiveLine(line, deadline);
    Lose(0);
    return answered;
}
