#include "nut/nut_commands.h"

#include <algorithm>
#include <cctype>

#include "common/product_version.h"
#include "nut/nut_words.h"

namespace {

// A Windows tray client takes the fifth word for the server's version, as in the
// reference server's "Network UPS Tools upsd <version> - <address>".
const char kVersionLine[] =
    "Voltwarden Basic Edition server " VW_PRODUCT_VERSION " - read-only Network UPS Tools protocol server";
// The protocol level of the reference server 2.8, whose commands we answer (LIST CLIENT,
// SET and GET TRACKING).
const char kProtocolVersion[] = "1.3";
// The commands that can succeed here, in the reference server's form and order: SET for
// TRACKING alone; not INSTCMD, always refused, nor STARTTLS, never configured.
const char kHelpLine[] = "Commands: HELP VER NETVER GET LIST SET LOGIN LOGOUT USERNAME PASSWORD";

const char* const kTextVariables[] = {"device.type", "ups.model", "ups.status"};
constexpr size_t kTextVariableLength = 64;

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool IsKnownVariable(const std::string& name) {
    return IsNumericNutVariable(name) ||
           std::find(std::begin(kTextVariables), std::end(kTextVariables), name) != std::end(kTextVariables);
}

std::string UpsDescription(const NutUpsView& view) { return view.Model.empty() ? "Unavailable" : view.Model; }

std::string List(const std::string& query, const std::vector<std::string>& items) {
    std::string text = "BEGIN LIST " + query + "\n";
    for (const std::string& item : items) text += item + "\n";
    return text + "END LIST " + query + "\n";
}

class Answering {
public:
    Answering(NutSession& session, const std::vector<std::string>& words, const NutContext& context)
        : session_(session), w_(words), c_(context) {}

    NutAnswer Run() {
        const std::string command = Upper(w_[0]);
        if (command == "HELP" && Args(0)) return Line(kHelpLine);
        if (command == "VER" && Args(0)) return Line(kVersionLine);
        if (command == "NETVER" && Args(0)) return Line(kProtocolVersion);
        if (command == "STARTTLS" && Args(0)) return Line("ERR FEATURE-NOT-CONFIGURED");
        if (command == "USERNAME" || command == "PASSWORD") {
            return Args(1) ? Credential(command == "USERNAME") : Invalid();
        }
        if (command == "LOGIN") return Args(1) ? Login() : Invalid();
        if (command == "LOGOUT") {
            NutAnswer answer = Line("OK Goodbye");
            answer.Close = true;
            return answer;
        }
        if (command == "GET") return Get();
        if (command == "LIST") return ListCommand();
        if (command == "SET" && w_.size() >= 2 && Upper(w_[1]) == "TRACKING") return SetTracking();
        // The server is read-only: no client may change the UPS, command it or force a shutdown.
        if (command == "SET" || command == "INSTCMD" || command == "FSD" || command == "PRIMARY" ||
            command == "MASTER") {
            return Line("ERR ACCESS-DENIED");
        }
        return Line("ERR UNKNOWN-COMMAND");
    }

private:
    bool Args(size_t count) const { return w_.size() == count + 1; }
    static NutAnswer Line(const std::string& text) { return NutAnswer{text + "\n"}; }
    static NutAnswer Invalid() { return Line("ERR INVALID-ARGUMENT"); }
    bool KnownUps(size_t index) const { return w_[index] == c_.Config.UpsName; }

    // USERNAME or PASSWORD. The one that completes the pair has it judged, which waits
    // while the client's address may not be judged yet.
    NutAnswer Credential(bool isUser) {
        NutAnswer answer;
        if (NutCompletesPair(session_, isUser, w_[1]) && !c_.MayJudgePair) {
            answer.Deferred = true;
            return answer;
        }
        answer.Text = (isUser ? NutSetUser(session_, w_[1], c_.Config, answer.WrongPair)
                              : NutSetPassword(session_, w_[1], c_.Config, answer.WrongPair)) +
                      "\n";
        return answer;
    }

    NutAnswer Login() { return Line(NutLogin(session_, w_[1], c_.Config)); }

    // Clients that want their writes and commands tracked (upsrw -w, upscmd -w) turn
    // tracking on first, and give up at once when that is refused: so it is granted as
    // the reference server grants it (a user and a password given, right or wrong, since
    // it changes only what this connection is told), and the refusal of the write or the
    // command itself is what they show.
    NutAnswer SetTracking() {
        if (!session_.HasUser) return Line("ERR USERNAME-REQUIRED");
        if (!session_.HasPassword) return Line("ERR PASSWORD-REQUIRED");
        if (!Args(2)) return Invalid();
        const std::string value = Upper(w_[2]);
        if (value != "ON" && value != "OFF") return Invalid();
        session_.Tracking = value == "ON";
        return Line("OK");
    }

    // GET TRACKING: ON or OFF for this connection. GET TRACKING <id>: no write or command
    // is ever carried out here, so no id is known, answered as the reference server does.
    NutAnswer GetTracking() const {
        if (Args(1)) return Line(session_.Tracking ? "ON" : "OFF");
        return Line(session_.Tracking ? "ERR UNKNOWN" : "ERR FEATURE-NOT-CONFIGURED");
    }

    NutAnswer Get() {
        if (w_.size() >= 2 && Upper(w_[1]) == "TRACKING") return GetTracking();
        if (w_.size() < 3) return Invalid();
        const std::string what = Upper(w_[1]);
        const std::string& ups = w_[2];
        if (what == "NUMLOGINS" || what == "UPSDESC") {
            if (!Args(2)) return Invalid();
            if (!KnownUps(2)) return Line("ERR UNKNOWN-UPS");
            if (what == "NUMLOGINS") return Line("NUMLOGINS " + ups + " " + std::to_string(c_.LoggedInClients));
            return Line("UPSDESC " + ups + " " + QuoteNutValue(UpsDescription(c_.View)));
        }
        if (what == "VAR" || what == "TYPE" || what == "DESC" || what == "CMDDESC") {
            if (!Args(3)) return Invalid();
            if (!KnownUps(2)) return Line("ERR UNKNOWN-UPS");
            const std::string& name = w_[3];
            if (what == "CMDDESC") return Line("ERR CMD-NOT-SUPPORTED");
            if (what == "VAR") return Variable(name);
            if (!IsKnownVariable(name)) return Line("ERR VAR-NOT-SUPPORTED");
            if (what == "DESC") return Line("DESC " + ups + " " + name + " \"Unavailable\"");
            return Line("TYPE " + ups + " " + name + " " +
                        (IsNumericNutVariable(name) ? std::string("NUMBER")
                                                    : "STRING:" + std::to_string(kTextVariableLength)));
        }
        return Invalid();
    }

    NutAnswer Variable(const std::string& name) {
        if (c_.View.Stale) return Line("ERR DATA-STALE");
        for (const auto& variable : NutVariables(c_.View)) {
            if (variable.first == name) {
                return Line("VAR " + w_[2] + " " + name + " " + QuoteNutValue(variable.second));
            }
        }
        return Line("ERR VAR-NOT-SUPPORTED");
    }

    NutAnswer ListCommand() {
        if (w_.size() < 2) return Invalid();
        const std::string what = Upper(w_[1]);
        if (what == "UPS") {
            if (!Args(1)) return Invalid();
            return NutAnswer{List("UPS", {"UPS " + c_.Config.UpsName + " " + QuoteNutValue(UpsDescription(c_.View))})};
        }
        if (what == "VAR" || what == "RW" || what == "CMD" || what == "CLIENT") {
            if (!Args(2)) return Invalid();
            if (!KnownUps(2)) return Line("ERR UNKNOWN-UPS");
            const std::string query = what + " " + w_[2];
            std::vector<std::string> items;
            if (what == "VAR") {
                if (c_.View.Stale) return Line("ERR DATA-STALE");
                for (const auto& variable : NutVariables(c_.View)) {
                    items.push_back("VAR " + w_[2] + " " + variable.first + " " + QuoteNutValue(variable.second));
                }
            } else if (what == "CLIENT") {
                for (const std::string& address : c_.ClientAddresses) items.push_back("CLIENT " + w_[2] + " " + address);
            }
            return NutAnswer{List(query, items)};
        }
        if (what == "ENUM" || what == "RANGE") {
            if (!Args(3)) return Invalid();
            if (!KnownUps(2)) return Line("ERR UNKNOWN-UPS");
            if (!IsKnownVariable(w_[3])) return Line("ERR VAR-NOT-SUPPORTED");
            return NutAnswer{List(what + " " + w_[2] + " " + w_[3], {})};
        }
        return Invalid();
    }

    NutSession& session_;
    const std::vector<std::string>& w_;
    const NutContext& c_;
};

}  // namespace

NutAnswer AnswerNutLine(NutSession& session, const std::string& line, const NutContext& context) {
    std::vector<std::string> words;
    // Binary junk is refused as a whole, before any word of it can reach a comparison.
    if (HasNutControlBytes(line) || !SplitNutWords(line, words)) return NutAnswer{"ERR INVALID-ARGUMENT\n"};
    if (words.empty()) return NutAnswer{};
    return Answering(session, words, context).Run();
}
