// Test support: a small network UPS server on 127.0.0.1 with a scripted answer to every
// request line, for the client's tests. It serves one connection after another, each
// until the script closes it or the client goes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nut/nut_socket.h"

struct FakeNutReply {
    std::string Bytes;   // sent as they are: whole lines, half a line, binary, or nothing (a stall)
    bool Close = false;  // close the connection once they are sent
};

using FakeNutScript = std::function<FakeNutReply(const std::string& line)>;

class FakeNutServer {
public:
    explicit FakeNutServer(FakeNutScript script);
    ~FakeNutServer();
    FakeNutServer(const FakeNutServer&) = delete;
    FakeNutServer& operator=(const FakeNutServer&) = delete;

    uint16_t Port() const { return port_; }
    // Every request line received so far, without its line end, in order.
    std::vector<std::string> Requests() const;
    int Connections() const { return connections_.load(); }

private:
    void Serve();
    void ServeClient(ScopedSocket& client);

    WinsockUse winsock_;
    FakeNutScript script_;
    ScopedSocket listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// A script for the common case: a UPS named `Name` whose variables the test sets, with
// the answers of a real server to GET VAR, LIST VAR, USERNAME, PASSWORD, LOGIN and LOGOUT,
// and every request line answered by `Override` first when it gives an answer.
class FakeUps {
public:
    explicit FakeUps(std::string name = "ups") : name_(std::move(name)) {}
    void Set(const std::string& variable, const std::string& value);
    void Unset(const std::string& variable);
    // Answers in place of the usual one while it returns true.
    void Override(std::function<bool(const std::string& line, FakeNutReply& reply)> override);
    FakeNutReply Answer(const std::string& line);
    FakeNutScript Script() {
        return [this](const std::string& line) { return Answer(line); };
    }

private:
    std::string name_;
    std::mutex lock_;
    std::map<std::string, std::string> variables_;
    std::function<bool(const std::string&, FakeNutReply&)> override_;
};
