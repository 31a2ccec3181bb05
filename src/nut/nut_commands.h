// The answers of the read-only network UPS protocol server: one client line in, the
// answer lines out, over a copy of the UPS's state. No network, no clock, no lock.
#pragma once

#include <string>
#include <vector>

#include "nut/nut_config.h"
#include "nut/nut_session.h"
#include "nut/nut_ups_view.h"

struct NutContext {
    const NutServerConfig& Config;
    const NutUpsView& View;
    int LoggedInClients;                          // for GET NUMLOGINS
    const std::vector<std::string>& ClientAddresses;  // of the logged-in clients, for LIST CLIENT
    // False while the client's address must wait before a user and password are judged
    // (its last wrong one was judged less than the refusal spacing ago).
    bool MayJudgePair = true;
};

struct NutAnswer {
    std::string Text;          // whole lines, each ending in "\n"; empty for a blank line
    bool Close = false;        // LOGOUT: close the connection once the answer is sent
    // The line gave the user or password that completed the pair, and the pair was wrong:
    // a refusal (the address waits the spacing before its next judgement; the throttled
    // log line), whether LOGIN follows or not.
    bool WrongPair = false;
    // The line would have judged the pair while MayJudgePair was false: nothing was done
    // and nothing is answered; the line is to be given again once the address may be judged.
    bool Deferred = false;
};

// `line` is one line as received, without its line end.
NutAnswer AnswerNutLine(NutSession& session, const std::string& line, const NutContext& context);
