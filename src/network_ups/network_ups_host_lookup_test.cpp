// Host-name lookups through a stand-in resolver: one that never answers costs one thread
// however often the connect is retried, and a finished lookup makes room for a fresh one.
#include "network_ups/network_ups_host_lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/clock.h"
#include "common/scoped_handle.h"
#include "network_ups/network_ups_connection.h"

namespace {

std::atomic<int> lookupsStarted{0};
// Manual-reset: while it is not signalled, the resolver does not answer.
HANDLE resolverAnswers = nullptr;

int HangingLookup(const std::string& host, std::vector<in_addr>& addresses) {
    ++lookupsStarted;
    WaitForSingleObject(resolverAnswers, INFINITE);
    if (host != "ups.example") return WSAHOST_NOT_FOUND;
    in_addr address = {};
    InetPtonA(AF_INET, "192.0.2.7", &address);
    addresses.push_back(address);
    return 0;
}

// The lookups the resolver has been asked for, once every thread started so far has
// had ample time to ask (`atLeast` of them at least).
int LookupsStartedOnceSettled(int atLeast) {
    for (int wait = 0; wait < 600 && lookupsStarted.load() < atLeast; ++wait) Sleep(50);
    Sleep(200);
    return lookupsStarted.load();
}

// Signals `event` after a while, from another thread: the resolver answers, or a stop comes.
std::thread SignalSoon(HANDLE event) {
    return std::thread([event] {
        Sleep(200);
        SetEvent(event);
    });
}

class HostLookupTest : public ::testing::Test {
protected:
    void SetUp() override {
        lookupsStarted = 0;
        resolverAnswers = answers.Get();
        SetHostLookupForTest(&HangingLookup);
    }
    void TearDown() override {
        // Every lookup thread ends before the resolver goes away.
        SetEvent(answers.Get());
        for (int wait = 0; wait < 600 && HostLookupsUnderWay() != 0; ++wait) Sleep(50);
        SetHostLookupForTest(nullptr);
    }
    ScopedKernelHandle answers{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

TEST_F(HostLookupTest, AResolverThatNeverAnswersCostsOneLookupPerHostHoweverOftenItIsAsked) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<in_addr> addresses;
        uint32_t error = 0;
        EXPECT_FALSE(LookUpHostAddresses("ups.example", MonotonicDeadlineAfterMs(50), nullptr, addresses, error));
        EXPECT_EQ(error, kNetworkUpsTimedOutError) << attempt;
    }
    // A connection's own retries go the same way.
    NetworkUpsLimits limits;
    limits.ConnectMs = 50;
    for (int attempt = 0; attempt < 4; ++attempt) {
        NetworkUpsConnection connection(nullptr, limits);
        EXPECT_FALSE(connection.Connect("ups.example", 3493));
        EXPECT_EQ(connection.LastError(), kNetworkUpsTimedOutError);
    }
    EXPECT_EQ(HostLookupsUnderWay(), 1u);
    EXPECT_EQ(LookupsStartedOnceSettled(1), 1);

    // Another host is another lookup.
    std::vector<in_addr> addresses;
    uint32_t error = 0;
    EXPECT_FALSE(LookUpHostAddresses("other.example", MonotonicDeadlineAfterMs(50), nullptr, addresses, error));
    EXPECT_EQ(HostLookupsUnderWay(), 2u);
    EXPECT_EQ(LookupsStartedOnceSettled(2), 2);
}

TEST_F(HostLookupTest, AWaiterTakesTheAnswerOfTheLookupUnderWayAndTheNextAskStartsAfresh) {
    std::vector<in_addr> addresses;
    uint32_t error = 0;
    EXPECT_FALSE(LookUpHostAddresses("ups.example", MonotonicDeadlineAfterMs(50), nullptr, addresses, error));
    // Asked again while the first lookup still hangs: the answer comes to both.
    std::thread answerer = SignalSoon(answers.Get());
    const bool resolved =
        LookUpHostAddresses("ups.example", MonotonicDeadlineAfterMs(30000), nullptr, addresses, error);
    answerer.join();
    ASSERT_TRUE(resolved) << "ER=" << error;
    ASSERT_EQ(addresses.size(), 1u);
    char text[INET_ADDRSTRLEN] = {};
    InetNtopA(AF_INET, &addresses[0], text, sizeof(text));
    EXPECT_STREQ(text, "192.0.2.7");
    EXPECT_EQ(LookupsStartedOnceSettled(1), 1) << "the waiter joined the lookup already asked";

    for (int wait = 0; wait < 600 && HostLookupsUnderWay() != 0; ++wait) Sleep(50);
    EXPECT_EQ(HostLookupsUnderWay(), 0u);
    addresses.clear();
    EXPECT_TRUE(LookUpHostAddresses("ups.example", MonotonicDeadlineAfterMs(30000), nullptr, addresses, error));
    EXPECT_EQ(LookupsStartedOnceSettled(2), 2) << "an answer is not kept: each connection looks the name up afresh";
    EXPECT_FALSE(LookUpHostAddresses("unknown.example", MonotonicDeadlineAfterMs(30000), nullptr, addresses, error));
    EXPECT_EQ(error, static_cast<uint32_t>(WSAHOST_NOT_FOUND));
}

TEST_F(HostLookupTest, AStopEndsTheWaitAndADottedAddressNeedsNoLookup) {
    ScopedKernelHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread stopper = SignalSoon(stop.Get());  // the stop comes while the resolver hangs
    std::vector<in_addr> addresses;
    uint32_t error = 0;
    const int64_t started = MonotonicNow();
    EXPECT_FALSE(LookUpHostAddresses("ups.example", MonotonicDeadlineAfterMs(60000), stop.Get(), addresses, error));
    stopper.join();
    EXPECT_EQ(error, kNetworkUpsStoppedError);
    EXPECT_LT(MonotonicNow() - started, 30 * kTicksPerSecond) << "the stop, not the limit";
    EXPECT_EQ(HostLookupsUnderWay(), 1u);
    // Once stopped, nothing new is started.
    EXPECT_FALSE(LookUpHostAddresses("other.example", MonotonicDeadlineAfterMs(60000), stop.Get(), addresses, error));
    EXPECT_EQ(error, kNetworkUpsStoppedError);

    EXPECT_TRUE(LookUpHostAddresses("127.0.0.1", MonotonicDeadlineAfterMs(50), nullptr, addresses, error));
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(addresses[0].s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(HostLookupsUnderWay(), 1u) << "only the host name was looked up";
    EXPECT_EQ(LookupsStartedOnceSettled(1), 1);
}

}  // namespace
