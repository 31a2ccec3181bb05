#include "testing/fake_nut_server.h"

#include "nut/nut_line_buffer.h"
#include "nut/nut_words.h"

namespace {

constexpr long kPollMicroseconds = 20000;
constexpr size_t kLineLimit = 4096;

// Waits up to one poll for `s` to be readable; false on a time-out.
bool Readable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {0, kPollMicroseconds};
    return select(0, &set, nullptr, nullptr, &timeout) > 0;
}

// Waits up to one poll for `s` to take more bytes.
void Writable(SOCKET s) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout = {0, kPollMicroseconds};
    select(0, nullptr, &set, nullptr, &timeout);
}

// Non-blocking, so that a client that stops reading (it has given up on a flood) never
// holds the server's thread beyond its stop: a blocked send may not see the client close.
void SendAll(SOCKET s, const std::string& bytes, const std::atomic<bool>& stop) {
    size_t sent = 0;
    while (sent < bytes.size() && !stop.load()) {
        const int n = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            Writable(s);
        } else {
            return;
        }
    }
}

}  // namespace

FakeNutServer::FakeNutServer(FakeNutScript script)
    : script_(std::move(script)), listener_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_.Get(), SOMAXCONN);
    thread_ = std::thread([this] { Serve(); });
}

FakeNutServer::~FakeNutServer() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> FakeNutServer::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

void FakeNutServer::Serve() {
    while (!stop_.load()) {
        if (!Readable(listener_.Get())) continue;
        ScopedSocket client(accept(listener_.Get(), nullptr, nullptr));
        if (!client) continue;
        u_long nonBlocking = 1;
        ioctlsocket(client.Get(), FIONBIO, &nonBlocking);
        ++connections_;
        ServeClient(client);
    }
}

void FakeNutServer::ServeClient(ScopedSocket& client) {
    std::string input;
    while (!stop_.load()) {
        const NutLine line = NextNutLine(input, kLineLimit);
        if (line.Status == NutLineStatus::Complete) {
            input.erase(0, line.Length);
            {
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back(line.Text);
            }
            const FakeNutReply reply = script_(line.Text);
            SendAll(client.Get(), reply.Bytes, stop_);
            if (reply.Close) return;
            continue;
        }
        if (line.Status == NutLineStatus::TooLong) return;
        if (!Readable(client.Get())) continue;
        char buffer[512];
        const int got = recv(client.Get(), buffer, sizeof(buffer), 0);
        if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) continue;
        if (got <= 0) return;  // the client went
        input.append(buffer, static_cast<size_t>(got));
    }
}

void FakeUps::Set(const std::string& variable, const std::string& value) {
    std::lock_guard<std::mutex> guard(lock_);
    variables_[variable] = value;
}

void FakeUps::Unset(const std::string& variable) {
    std::lock_guard<std::mutex> guard(lock_);
    variables_.erase(variable);
}

void FakeUps::Override(std::function<bool(const std::string& line, FakeNutReply& reply)> override) {
    std::lock_guard<std::mutex> guard(lock_);
    override_ = std::move(override);
}

FakeNutReply FakeUps::Answer(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    FakeNutReply reply;
    if (override_ && override_(line, reply)) return reply;
    std::vector<std::string> words;
    SplitNutWords(line, words);
    if (words.empty()) return FakeNutReply{"ERR UNKNOWN-COMMAND\n"};
    if (words[0] == "USERNAME" || words[0] == "PASSWORD" || words[0] == "LOGIN") return FakeNutReply{"OK\n"};
    if (words[0] == "LOGOUT") return FakeNutReply{"OK Goodbye\n", true};
    if (words.size() == 4 && words[0] == "GET" && words[1] == "VAR") {
        if (words[2] != name_) return FakeNutReply{"ERR UNKNOWN-UPS\n"};
        const auto found = variables_.find(words[3]);
        if (found == variables_.end()) return FakeNutReply{"ERR VAR-NOT-SUPPORTED\n"};
        return FakeNutReply{"VAR " + name_ + " " + words[3] + " " + QuoteNutValue(found->second) + "\n"};
    }
    if (words.size() == 3 && words[0] == "LIST" && words[1] == "VAR") {
        if (words[2] != name_) return FakeNutReply{"ERR UNKNOWN-UPS\n"};
        std::string list = "BEGIN LIST VAR " + name_ + "\n";
        for (const auto& variable : variables_) {
            list += "VAR " + name_ + " " + variable.first + " " + QuoteNutValue(variable.second) + "\n";
        }
        return FakeNutReply{list + "END LIST VAR " + name_ + "\n"};
    }
    return FakeNutReply{"ERR UNKNOWN-COMMAND\n"};
}
