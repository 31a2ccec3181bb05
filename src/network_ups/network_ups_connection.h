// The client side of one TCP connection to a network UPS server: connect, then one
// request and its one answer line at a time. Every wait has its time limit and ends at
// once when the caller's stop event is signalled; whatever goes wrong on the way (no
// answer in time, a closed connection, a line too long or binary, an answer out of step)
// leaves the connection lost, and every later call fails at once. Errors are values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nut/nut_socket.h"

constexpr uint32_t kNetworkUpsConnectLimitMs = 5000;  // resolving the host and connecting
constexpr uint32_t kNetworkUpsAnswerLimitMs = 10000;  // from a request to the end of its answer line
constexpr size_t kNetworkUpsMaxLineBytes = 512;       // an answer line, as the server takes a request line
constexpr size_t kNetworkUpsMaxListLines = 1000;      // variables in one LIST VAR answer: far more than any UPS has

// What LastError() holds for a failure that is not the system's own.
constexpr uint32_t kNetworkUpsTimedOutError = 10060;   // WSAETIMEDOUT: no connection or answer in time
constexpr uint32_t kNetworkUpsClosedError = 10101;     // WSAEDISCON: the server closed the connection
constexpr uint32_t kNetworkUpsProtocolError = 13;      // ERROR_INVALID_DATA: an answer no UPS server gives
constexpr uint32_t kNetworkUpsUpsLostError = 1167;     // ERROR_DEVICE_NOT_CONNECTED: stale, no driver, no such UPS
constexpr uint32_t kNetworkUpsStoppedError = 1223;     // ERROR_CANCELLED: the stop event came

struct NetworkUpsLimits {
    uint32_t ConnectMs = kNetworkUpsConnectLimitMs;
    uint32_t AnswerMs = kNetworkUpsAnswerLimitMs;
    size_t MaxLineBytes = kNetworkUpsMaxLineBytes;
    size_t MaxListLines = kNetworkUpsMaxListLines;
};

enum class NetworkUpsVarResult {
    Value,         // the UPS has the variable: here is its value (for a list: here are its variables)
    NotSupported,  // the UPS lacks it (ERR VAR-NOT-SUPPORTED, or another refusal of this one request)
    Lost,          // the UPS or the connection is lost
};

enum class NetworkUpsLoginResult {
    Accepted,
    Refused,       // a wrong or missing user or password, or no right to log in
    NotSupported,  // the server knows no login
    Lost,
};

class NetworkUpsConnection {
public:
    // `stopEvent`, a manual-reset event, outlives the connection (it may be null: no stop).
    explicit NetworkUpsConnection(HANDLE stopEvent, const NetworkUpsLimits& limits = NetworkUpsLimits());
    NetworkUpsConnection(const NetworkUpsConnection&) = delete;
    NetworkUpsConnection& operator=(const NetworkUpsConnection&) = delete;

    // Resolves `host` afresh (IPv4), then connects to the first address that answers,
    // all within the connect limit. False with the reason in LastError().
    bool Connect(const std::string& host, uint16_t port);

    // GET VAR <ups> <variable>; the answer must name the same UPS and variable.
    NetworkUpsVarResult GetVar(const std::string& ups, const std::string& variable, std::string& value);

    // LIST VAR <ups>: every variable of the UPS with its value, in one round trip and
    // within one answer limit. NotSupported when the server refuses the list (it may
    // still answer GET VAR one variable at a time).
    NetworkUpsVarResult ListVars(const std::string& ups, std::map<std::string, std::string>& values);

    // USERNAME, PASSWORD and LOGIN <ups>. After a refusal the connection stays usable.
    NetworkUpsLoginResult Login(const std::string& user, const std::string& password, const std::string& ups);

    // LOGOUT, then the connection is closed. True when the server answered, whatever it
    // said, within the answer limit and `atMostMs`.
    bool Logout(uint32_t atMostMs = UINT32_MAX);

    bool IsLost() const { return lost_; }
    uint32_t LastError() const { return error_; }

private:
    enum class Wait { Ready, TimedOut, Stopped, Failed };

    bool ConnectTo(const sockaddr_in& address, int64_t deadline);
    Wait WaitForSocket(int64_t deadline, WSANETWORKEVENTS& events);
    // After a send or recv that failed: true when it would only have blocked and the
    // socket has signalled since; false, the connection lost, otherwise.
    bool AwaitSocket(int64_t deadline);
    bool Send(const std::string& bytes, int64_t deadline);
    bool ReceiveLine(std::string& line, int64_t deadline);
    // Takes one answer line, split into words; false (lost) for a line that is binary or
    // cannot be split.
    bool ReceiveAnswer(std::vector<std::string>& answer, int64_t deadline);
    // Sends one request line and takes its answer line, by `deadline` (without it: within
    // the answer limit).
    bool Exchange(const std::string& request, std::vector<std::string>& answer, int64_t deadline);
    bool Exchange(const std::string& request, std::vector<std::string>& answer);
    // What an answer other than the one asked for means: an ERR that says the UPS is gone
    // loses it, another ERR refuses this one request, anything else is out of step (lost).
    NetworkUpsVarResult Refusal(const std::vector<std::string>& answer);
    void Lose(uint32_t error);
    bool StopRequested() const;
    uint32_t WaitError(Wait wait) const;

    WinsockUse winsock_;
    HANDLE stop_;
    NetworkUpsLimits limits_;
    ScopedSocket socket_;
    ScopedKernelHandle socketEvent_;
    std::string input_;  // received bytes not yet taken as a line
    bool lost_ = true;   // until connected
    uint32_t error_ = 0;
};
