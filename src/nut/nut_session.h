// The login rules of one client connection: USERNAME and PASSWORD once each, then
// LOGIN for the one UPS with the configured user and password.
#pragma once

#include <string>

#include "nut/nut_config.h"

struct NutSession {
    bool HasUser = false;
    bool HasPassword = false;
    bool LoggedIn = false;
    std::string User;
    std::string Password;
};

// Each returns the answer line without its line end: "OK" or "ERR <reason>".
std::string NutSetUser(NutSession& session, const std::string& user);
std::string NutSetPassword(NutSession& session, const std::string& password);
// `failedLogin` is set when the credentials were refused (for the throttled log line).
std::string NutLogin(NutSession& session, const std::string& upsName, const NutServerConfig& config,
                     bool& failedLogin);

// True when the session has given the configured user and password (a client that
// has proved itself, LOGIN or not).
bool NutCredentialsMatch(const NutSession& session, const NutServerConfig& config);

// Compares in a time that depends only on the lengths, never on where the texts differ.
bool SameSecret(const std::string& given, const std::string& expected);
