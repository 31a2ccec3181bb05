#include "nut/nut_server_rules.h"

#include <algorithm>

namespace {

// The longest-silent open connection that has not proved itself, of `address` when one is given.
NutConnectionState* LongestSilentUnproved(const std::vector<NutConnectionState*>& connections,
                                          const std::string* address) {
    NutConnectionState* found = nullptr;
    for (NutConnectionState* c : connections) {
        if (c->Closed || NutProved(*c) || (address != nullptr && c->Address != *address)) continue;
        if (found == nullptr || c->LastHeard < found->LastHeard) found = c;
    }
    return found;
}

}  // namespace

bool NutProved(const NutConnectionState& connection) { return connection.Session.LoggedIn; }

int64_t NutNextDeadline(const std::vector<const NutConnectionState*>& connections, int64_t nextBindAttempt,
                        int64_t now, const NutServerLimits& limits) {
    int64_t next = nextBindAttempt;
    for (const NutConnectionState* c : connections) {
        if (c->Closed) continue;  // removed before the wait
        next = std::min(next, c->LastHeard + limits.IdleTicks + 1);
        if (c->AnswerNotBefore > now) next = std::min(next, c->AnswerNotBefore);
    }
    return next;
}

bool NutMakeRoomFor(const std::vector<NutConnectionState*>& connections, const std::string& address,
                    const NutServerLimits& limits) {
    const auto unprovedFromAddress =
        std::count_if(connections.begin(), connections.end(), [&](const NutConnectionState* c) {
            return !c->Closed && c->Address == address && !NutProved(*c);
        });
    if (static_cast<size_t>(unprovedFromAddress) >= limits.MaxUnprovedPerAddress) {
        NutConnectionState* oldest = LongestSilentUnproved(connections, &address);
        if (oldest != nullptr) oldest->Closed = true;
    }
    const auto open = std::count_if(connections.begin(), connections.end(),
                                    [](const NutConnectionState* c) { return !c->Closed; });
    if (static_cast<size_t>(open) < limits.MaxConnections) return true;
    NutConnectionState* oldest = LongestSilentUnproved(connections, nullptr);
    if (oldest == nullptr) return false;
    oldest->Closed = true;
    return true;
}
