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
};

struct NutAnswer {
    std::string Text;          // whole lines, each ending in "\n"; empty for a blank line
    bool Close = false;        // LOGOUT: close the connection once the answer is sent
    bool FailedLogin = false;  // LOGIN refused for wrong credentials
};

// `line` is one line as received, without its line end.
NutAnswer AnswerNutLine(NutSession& session, const std::string& line, const NutContext& context);
