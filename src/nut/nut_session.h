// The login rules of one client connection: USERNAME and PASSWORD once each, then
// LOGIN for the one UPS with the configured user and password.
#pragma once

#include <string>

#include "nut/nut_config.h"

struct NutSession {
    bool HasUser = false;
    bool HasPassword = false;
    // Set once both are given, by the one judgement of the pair: the configured user and
    // password. Nothing but LOGIN reads it; it makes no client "proved" by itself.
    bool PairRight = false;
    bool LoggedIn = false;
    // SET TRACKING ON|OFF, read back by GET TRACKING: what this connection asked for.
    bool Tracking = false;
    std::string User;
    std::string Password;
};

// Whether giving this user (or this password) now would complete the pair, so that it is
// judged: the caller lets that happen only when the client's address may be judged now
// (one wrong password a second per address).
bool NutCompletesPair(const NutSession& session, bool isUser, const std::string& value);

// Each returns the answer line without its line end: "OK" or "ERR <reason>". The one
// that completes the pair judges it; `wrongPair` is set when it was judged wrong (a
// refusal, for the address's spacing and the throttled log line). The answer is "OK"
// either way, as the reference server answers: the refusal is told by LOGIN.
std::string NutSetUser(NutSession& session, const std::string& user, const NutServerConfig& config, bool& wrongPair);
std::string NutSetPassword(NutSession& session, const std::string& password, const NutServerConfig& config,
                           bool& wrongPair);
// LOGIN after the pair was judged: ERR ACCESS-DENIED for a wrong pair (its refusal was
// counted when it was judged, not again here).
std::string NutLogin(NutSession& session, const std::string& upsName, const NutServerConfig& config);

// True when the given user and password are the configured ones (never when either is
// not configured).
bool NutCredentialsMatch(const NutSession& session, const NutServerConfig& config);

// Compares in a time that depends only on the lengths, never on where the texts differ.
bool SameSecret(const std::string& given, const std::string& expected);
