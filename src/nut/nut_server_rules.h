// The network server's rules over its connections, apart from the sockets and the
// clock: when the loop must wake up next, which connection has proved itself, and
// which connection is closed to make room for a new one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nut/nut_server.h"
#include "nut/nut_session.h"

// What the rules look at in one client connection.
struct NutConnectionState {
    std::string Address;          // the client's IPv4 address as text
    NutSession Session;
    int64_t LastHeard = 0;        // when it connected or last sent something
    // A line of this client waits for its address's refusal spacing until then (it gives
    // a user or password that completes the pair to be judged); 0 when nothing waits.
    int64_t AnswerNotBefore = 0;
    bool Closed = false;
};

// A connection has proved itself only by a successful LOGIN (the configured user and
// password, then LOGIN for our UPS). A password given without it, right or wrong, proves
// nothing: nothing the server does to a connection that has not logged in may depend on it.
bool NutProved(const NutConnectionState& connection);

// The next moment the loop has something to do without a socket being ready: the bind
// attempt at `nextBindAttempt` (INT64_MAX when every address is bound), a client's idle
// limit, or a held line whose time has not come yet. A held time that has passed no longer
// counts: the line is answered in the round that sees it passed, and waits for nothing
// more (a socket that cannot take the answer is waited on by select()). A moment that has
// come (`now` or before) is due at once, and the round that follows acts on it: closing the
// idle client or binding again. INT64_MAX when there is none.
int64_t NutNextDeadline(const std::vector<const NutConnectionState*>& connections, int64_t nextBindAttempt,
                        int64_t now, const NutServerLimits& limits);

// Makes room for a new connection from `address`: marks Closed what has to go and says
// whether the new one may be taken. An address keeps at most MaxUnprovedPerAddress
// connections that have not proved themselves (one more replaces its longest-silent one);
// when every slot is taken, the longest-silent unproved connection of any address goes;
// a connection that has proved itself is never closed for room.
bool NutMakeRoomFor(const std::vector<NutConnectionState*>& connections, const std::string& address,
                    const NutServerLimits& limits);
