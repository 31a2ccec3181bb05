#include "nut/nut_session.h"

namespace {

// The one judgement of the pair, once both are given.
void JudgePairIfComplete(NutSession& session, const NutServerConfig& config, bool& wrongPair) {
    wrongPair = false;
    if (!session.HasUser || !session.HasPassword) return;
    session.PairRight = NutCredentialsMatch(session, config);
    wrongPair = !session.PairRight;
}

}  // namespace

bool NutCompletesPair(const NutSession& session, bool isUser, const std::string& value) {
    if (value.empty()) return false;  // refused, nothing is set
    return isUser ? !session.HasUser && session.HasPassword : !session.HasPassword && session.HasUser;
}

std::string NutSetUser(NutSession& session, const std::string& user, const NutServerConfig& config, bool& wrongPair) {
    wrongPair = false;
    if (session.HasUser) return "ERR ALREADY-SET-USERNAME";
    if (user.empty()) return "ERR INVALID-USERNAME";
    session.HasUser = true;
    session.User = user;
    JudgePairIfComplete(session, config, wrongPair);
    return "OK";
}

std::string NutSetPassword(NutSession& session, const std::string& password, const NutServerConfig& config,
                           bool& wrongPair) {
    wrongPair = false;
    if (session.HasPassword) return "ERR ALREADY-SET-PASSWORD";
    if (password.empty()) return "ERR INVALID-PASSWORD";
    session.HasPassword = true;
    session.Password = password;
    JudgePairIfComplete(session, config, wrongPair);
    return "OK";
}

std::string NutLogin(NutSession& session, const std::string& upsName, const NutServerConfig& config) {
    if (session.LoggedIn) return "ERR ALREADY-LOGGED-IN";
    if (!session.HasUser) return "ERR USERNAME-REQUIRED";
    if (!session.HasPassword) return "ERR PASSWORD-REQUIRED";
    if (!session.PairRight) return "ERR ACCESS-DENIED";
    if (upsName != config.UpsName) return "ERR UNKNOWN-UPS";
    session.LoggedIn = true;
    return "OK";
}

bool NutCredentialsMatch(const NutSession& session, const NutServerConfig& config) {
    if (!session.HasUser || !session.HasPassword) return false;
    // Both are compared whatever the first gives, and a wrong user answers as a wrong
    // password does, so neither the answer nor its time tells which one was wrong.
    const bool userMatches = SameSecret(session.User, config.User);
    const bool passwordMatches = SameSecret(session.Password, config.Password);
    return !config.User.empty() && !config.Password.empty() && userMatches && passwordMatches;
}

bool SameSecret(const std::string& given, const std::string& expected) {
    // Every byte of the given text is looked at, against the expected text repeated,
    // so the time depends on the given length alone.
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i) {
        const unsigned char want = expected.empty() ? 0 : static_cast<unsigned char>(expected[i % expected.size()]);
        difference |= static_cast<unsigned char>(static_cast<unsigned char>(given[i]) ^ want);
    }
    return difference == 0;
}
