// Host names of the serving machine turned into IPv4 addresses. The system's resolver
// takes no time limit and no stop, so each lookup runs on a thread of its own that the
// caller may stop waiting for; and at most one lookup per host name runs at a time: a
// caller that finds one under way waits for that one instead of starting another, so a
// resolver that never answers costs one thread, however often the connect is retried.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nut/nut_socket.h"

// One blocking lookup: 0 with the addresses, or the resolver's error.
using HostLookupFn = int (*)(const std::string& host, std::vector<in_addr>& addresses);

// The addresses of `host` (a dotted address needs no lookup), waiting until the
// MonotonicNow() `deadline` or until `stop` (a manual-reset event, may be null) is
// signalled. False with `error`: the resolver's, kNetworkUpsTimedOutError or
// kNetworkUpsStoppedError (network_ups_connection.h).
bool LookUpHostAddresses(const std::string& host, int64_t deadline, HANDLE stop, std::vector<in_addr>& addresses,
                         uint32_t& error);

// How many lookups are under way now (one per host name at most).
size_t HostLookupsUnderWay();

// Tests: the lookup made on the helper thread from now on; nullptr restores the system's.
void SetHostLookupForTest(HostLookupFn lookup);
