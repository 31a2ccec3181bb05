#include "nut/nut_commands.h"

#include <gtest/gtest.h>

#include "nut/nut_test_config.h"
#include "nut/nut_words.h"
#include "testing/status_record.h"

namespace {

// The view of a library record: field 6 is the temperature, field 7 the battery voltage.
NutUpsView FreshView() {
    NutUpsView view;
    view.Stale = false;
    view.Model = "NV-1500 \"Sim\"";
    UpsReading& r = view.Reading;
    r.HasRecord = true;
    r.Measurements = RecordMeasurementTexts(StatusRecordOf("100.4", "60.0", "100.0", "60.0", "27", "28", "13.6"));
    r.BatteryChargeKnown = true;
    r.BatteryCharge = 87;
    return view;
}

std::string Ask(const std::string& line, const NutUpsView& view, NutSession& session, int logins = 0) {
    const NutServerConfig config = Config();
    const std::vector<std::string> clients = {"192.168.1.20", "10.0.0.7"};
    const NutContext context{config, view, logins, clients};
    return AnswerNutLine(session, line, context).Text;
}

std::string Ask(const std::string& line, const NutUpsView& view = FreshView()) {
    NutSession session;
    return Ask(line, view, session);
}

TEST(NutCommands, AnswersEachQueryAsTheProtocolWritesIt) {
    struct Case {
        const char* line;
        const char* answer;
    };
    const Case cases[] = {
        {"GET VAR ups ups.status", "VAR ups ups.status \"OL\"\n"},
        {"GET VAR ups battery.charge", "VAR ups battery.charge \"87\"\n"},
        {"GET VAR ups ups.model", "VAR ups ups.model \"NV-1500 \\\"Sim\\\"\"\n"},
        {"get var ups input.voltage", "VAR ups input.voltage \"100.4\"\n"},
        {"GET VAR \"ups\" ups.load", "VAR ups ups.load \"27\"\n"},
        {"GET VAR ups ups.mfr", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET VAR other ups.status", "ERR UNKNOWN-UPS\n"},
        {"GET VAR ups", "ERR INVALID-ARGUMENT\n"},
        {"GET NUMLOGINS ups", "NUMLOGINS ups 0\n"},
        {"GET UPSDESC ups", "UPSDESC ups \"NV-1500 \\\"Sim\\\"\"\n"},
        {"GET TYPE ups ups.status", "TYPE ups ups.status STRING:64\n"},
        {"GET TYPE ups battery.charge", "TYPE ups battery.charge NUMBER\n"},
        {"GET TYPE ups nothing.here", "ERR VAR-NOT-SUPPORTED\n"},
        {"GET DESC ups ups.load", "DESC ups ups.load \"Unavailable\"\n"},
        {"GET CMDDESC ups load.off", "ERR CMD-NOT-SUPPORTED\n"},
        {"GET TRACKING", "OFF\n"},
        {"LIST UPS", "BEGIN LIST UPS\nUPS ups \"NV-1500 \\\"Sim\\\"\"\nEND LIST UPS\n"},
        {"LIST RW ups", "BEGIN LIST RW ups\nEND LIST RW ups\n"},
        {"LIST CMD ups", "BEGIN LIST CMD ups\nEND LIST CMD ups\n"},
        {"LIST ENUM ups ups.status", "BEGIN LIST ENUM ups ups.status\nEND LIST ENUM ups ups.status\n"},
        {"LIST CLIENT ups", "BEGIN LIST CLIENT ups\nCLIENT ups 192.168.1.20\nCLIENT ups 10.0.0.7\nEND LIST CLIENT ups\n"},
        {"LIST VAR nope", "ERR UNKNOWN-UPS\n"},
        {"LIST", "ERR INVALID-ARGUMENT\n"},
        {"NETVER", "1.3\n"},
        {"HELP", "Commands: HELP VER NETVER GET LIST SET LOGIN LOGOUT USERNAME PASSWORD\n"},
        {"STARTTLS", "ERR FEATURE-NOT-CONFIGURED\n"},
        {"SET VAR ups ups.id \"x\"", "ERR ACCESS-DENIED\n"},
        {"INSTCMD ups load.off", "ERR ACCESS-DENIED\n"},
        {"FSD ups", "ERR ACCESS-DENIED\n"},
        {"PRIMARY ups", "ERR ACCESS-DENIED\n"},
        {"MASTER ups", "ERR ACCESS-DENIED\n"},
        {"REQ ups ups.status", "ERR UNKNOWN-COMMAND\n"},
        {"GET VAR ups \"unterminated", "ERR INVALID-ARGUMENT\n"},
        {"\x01\x02\xff", "ERR INVALID-ARGUMENT\n"},
        {"", ""},
        {"   \t ", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(Ask(c.line), c.answer) << c.line;
    EXPECT_EQ(Ask(std::string("GET VAR\0ups", 11)), "ERR INVALID-ARGUMENT\n");
    EXPECT_NE(Ask("VER").find("Network UPS Tools protocol"), std::string::npos);
}

TEST(NutCommands, ListVarGivesEveryReportedVariableInNameOrder) {
    EXPECT_EQ(Ask("LIST VAR ups"),
              "BEGIN LIST VAR ups\n"
              "VAR ups battery.charge \"87\"\n"
              "VAR ups battery.voltage \"13.6\"\n"
              "VAR ups device.type \"ups\"\n"
              "VAR ups input.frequency \"60.0\"\n"
              "VAR ups input.voltage \"100.4\"\n"
              "VAR ups output.frequency \"60.0\"\n"
              "VAR ups output.voltage \"100.0\"\n"
              "VAR ups ups.load \"27\"\n"
              "VAR ups ups.model \"NV-1500 \\\"Sim\\\"\"\n"
              "VAR ups ups.status \"OL\"\n"
              "VAR ups ups.temperature \"28\"\n"
              "END LIST VAR ups\n");
}

TEST(NutCommands, AFieldTheUpsDoesNotReportIsAbsentNotZero) {
    NutUpsView view = FreshView();
    view.Reading.Measurements[kInputFrequency] = "--.-";
    view.Reading.Measurements[kOutputFrequency] = "";
    view.Reading.BatteryChargeKnown = false;
    view.Model.clear();
    const std::string list = Ask("LIST VAR ups", view);
    for (const char* absent : {"input.frequency", "output.frequency", "battery.charge", "ups.model"}) {
        EXPECT_EQ(list.find(absent), std::string::npos) << absent;
        EXPECT_EQ(Ask(std::string("GET VAR ups ") + absent, view), "ERR VAR-NOT-SUPPORTED\n") << absent;
    }
    EXPECT_EQ(Ask("GET UPSDESC ups", view), "UPSDESC ups \"Unavailable\"\n");
}

TEST(NutCommands, StaleDataIsRefusedButTheServerStillAnswers) {
    NutUpsView view = FreshView();
    view.Stale = true;
    EXPECT_EQ(Ask("GET VAR ups ups.status", view), "ERR DATA-STALE\n");
    EXPECT_EQ(Ask("LIST VAR ups", view), "ERR DATA-STALE\n");
    EXPECT_EQ(Ask("GET VAR other ups.status", view), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(Ask("GET TYPE ups ups.status", view), "TYPE ups ups.status STRING:64\n");
    EXPECT_EQ(Ask("LIST UPS", view).rfind("BEGIN LIST UPS\n", 0), 0u);
}

TEST(NutStatusWord, FollowsTheMonitorState) {
    struct Case {
        bool onBattery, batteryLow, shutdown;
        const char* word;
    };
    const Case cases[] = {
        {false, false, false, "OL"},      {true, false, false, "OB"},       {true, true, false, "OB LB"},
        {true, false, true, "FSD OB"},    {true, true, true, "FSD OB LB"},  {false, true, false, "OL LB"},
        {false, false, true, "FSD OL"},   {false, true, true, "FSD OL LB"},
    };
    for (const Case& c : cases) {
        NutUpsView view = FreshView();
        view.OnBattery = c.onBattery;
        view.BatteryLow = c.batteryLow;
        view.ShutdownSequenceStarted = c.shutdown;
        EXPECT_EQ(NutStatusWord(view), c.word);
        EXPECT_EQ(Ask("GET VAR ups ups.status", view), std::string("VAR ups ups.status \"") + c.word + "\"\n");
    }
}

// The pair is judged once, by the second of USERNAME and PASSWORD, whether LOGIN follows
// or not: a wrong pair is a refusal there (answered OK, as the reference server does) and
// LOGIN then says so without counting it again.
TEST(NutCommands, LoginRules) {
    struct Step {
        const char* line;
        const char* answer;
        bool wrongPair;
    };
    const std::vector<std::vector<Step>> stories = {
        {{"LOGIN ups", "ERR USERNAME-REQUIRED\n", false}},
        {{"USERNAME mon", "OK\n", false}, {"LOGIN ups", "ERR PASSWORD-REQUIRED\n", false}},
        {{"USERNAME mon", "OK\n", false},
         {"USERNAME other", "ERR ALREADY-SET-USERNAME\n", false},
         {"PASSWORD s3cret", "OK\n", false},
         {"PASSWORD again", "ERR ALREADY-SET-PASSWORD\n", false},
         {"LOGIN other", "ERR UNKNOWN-UPS\n", false},
         {"LOGIN ups", "OK\n", false},
         {"LOGIN ups", "ERR ALREADY-LOGGED-IN\n", false}},
        {{"USERNAME mon", "OK\n", false}, {"PASSWORD wrong", "OK\n", true}, {"LOGIN ups", "ERR ACCESS-DENIED\n", false}},
        {{"USERNAME mon", "OK\n", false}, {"PASSWORD s3cre", "OK\n", true}, {"LOGIN ups", "ERR ACCESS-DENIED\n", false}},
        {{"USERNAME intruder", "OK\n", false},
         {"PASSWORD s3cret", "OK\n", true},
         {"LOGIN ups", "ERR ACCESS-DENIED\n", false}},
        // A wrong password alone (PyNUT, the exporter: no LOGIN) is a refusal all the same.
        {{"USERNAME mon", "OK\n", false},
         {"PASSWORD wrong", "OK\n", true},
         {"GET VAR ups ups.status", "VAR ups ups.status \"OL\"\n", false}},
        // Either order: the second one given judges the pair.
        {{"PASSWORD wrong", "OK\n", false}, {"USERNAME mon", "OK\n", true}, {"LOGIN ups", "ERR ACCESS-DENIED\n", false}},
        {{"PASSWORD s3cret", "OK\n", false}, {"USERNAME mon", "OK\n", false}, {"LOGIN ups", "OK\n", false}},
        {{"PASSWORD \"\"", "ERR INVALID-PASSWORD\n", false}, {"PASSWORD", "ERR INVALID-ARGUMENT\n", false}},
        {{"USERNAME \"\"", "ERR INVALID-USERNAME\n", false}},
        {{"USERNAME mon", "OK\n", false},
         {"PASSWORD wrong", "OK\n", true},
         {"PASSWORD s3cret", "ERR ALREADY-SET-PASSWORD\n", false},
         {"LOGIN ups", "ERR ACCESS-DENIED\n", false}},
    };
    for (size_t i = 0; i < stories.size(); ++i) {
        NutSession session;
        const NutServerConfig config = Config();
        const NutUpsView view = FreshView();
        const std::vector<std::string> clients;
        const NutContext context{config, view, 0, clients};
        for (const Step& step : stories[i]) {
            const NutAnswer answer = AnswerNutLine(session, step.line, context);
            EXPECT_EQ(answer.Text, step.answer) << "story " << i << ": " << step.line;
            EXPECT_EQ(answer.WrongPair, step.wrongPair) << "story " << i << ": " << step.line;
            EXPECT_FALSE(answer.Deferred) << "story " << i << ": " << step.line;
        }
    }
}

// Tracking is this connection's own switch, granted once a user and a password were given
// (right or wrong), as the reference server grants it; the write or command it would track
// is refused all the same, so that a client asking for tracking shows that refusal.
TEST(NutCommands, TrackingIsSwitchedPerConnectionAndTheWriteStaysRefused) {
    struct Step {
        const char* line;
        const char* answer;
    };
    const std::vector<std::vector<Step>> stories = {
        {{"GET TRACKING", "OFF\n"},
         {"GET TRACKING 1bd31808-cb49-4aec-9d75-d056e6f018d2", "ERR FEATURE-NOT-CONFIGURED\n"},
         {"SET TRACKING ON", "ERR USERNAME-REQUIRED\n"},
         {"USERNAME mon", "OK\n"},
         {"SET TRACKING ON", "ERR PASSWORD-REQUIRED\n"},
         {"GET TRACKING", "OFF\n"}},
        {{"USERNAME mon", "OK\n"},
         {"PASSWORD s3cret", "OK\n"},
         {"SET TRACKING ON", "OK\n"},
         {"GET TRACKING", "ON\n"},
         {"GET TRACKING 1bd31808-cb49-4aec-9d75-d056e6f018d2", "ERR UNKNOWN\n"},
         {"SET VAR ups ups.id \"x\"", "ERR ACCESS-DENIED\n"},
         {"INSTCMD ups load.off", "ERR ACCESS-DENIED\n"},
         {"set tracking off", "OK\n"},
         {"get tracking", "OFF\n"}},
        // A wrong password does not stop the switch: it tells nothing about the UPS.
        {{"USERNAME mon", "OK\n"},
         {"PASSWORD wrong", "OK\n"},
         {"SET TRACKING \"on\"", "OK\n"},
         {"GET TRACKING", "ON\n"},
         {"LOGIN ups", "ERR ACCESS-DENIED\n"}},
        {{"PASSWORD s3cret", "OK\n"},
         {"USERNAME mon", "OK\n"},
         {"SET TRACKING", "ERR INVALID-ARGUMENT\n"},
         {"SET TRACKING MAYBE", "ERR INVALID-ARGUMENT\n"},
         {"SET TRACKING 1", "ERR INVALID-ARGUMENT\n"},
         {"SET TRACKING ON OFF", "ERR INVALID-ARGUMENT\n"},
         {"GET TRACKING", "OFF\n"},
         {"SET VAR ups ups.id \"x\"", "ERR ACCESS-DENIED\n"}},
    };
    for (size_t i = 0; i < stories.size(); ++i) {
        NutSession session;
        for (const Step& step : stories[i]) {
            EXPECT_EQ(Ask(step.line, FreshView(), session), step.answer) << "story " << i << ": " << step.line;
        }
    }
    NutSession other;
    EXPECT_EQ(Ask("GET TRACKING", FreshView(), other), "OFF\n") << "a new connection starts without tracking";
}

// While the client's address may not be judged, only the line that would complete the
// pair waits (nothing done, nothing answered); every other line is answered as usual.
TEST(NutCommands, OnlyTheLineThatJudgesThePairWaitsForTheAddress) {
    struct Case {
        std::vector<const char*> before;  // given while the address may be judged
        const char* line;                 // then given while it may not
        bool deferred;
    };
    const Case cases[] = {
        {{"USERNAME mon"}, "PASSWORD s3cret", true},
        {{"USERNAME mon"}, "PASSWORD wrong", true},
        {{"PASSWORD wrong"}, "USERNAME mon", true},
        {{}, "USERNAME mon", false},
        {{}, "PASSWORD wrong", false},
        {{"USERNAME mon"}, "PASSWORD \"\"", false},
        {{"USERNAME mon", "PASSWORD wrong"}, "PASSWORD s3cret", false},
        {{"USERNAME mon", "PASSWORD wrong"}, "LOGIN ups", false},
        {{"USERNAME mon"}, "LOGIN ups", false},
        {{"USERNAME mon"}, "GET VAR ups ups.status", false},
        {{"USERNAME mon"}, "LOGOUT", false},
    };
    const NutServerConfig config = Config();
    const NutUpsView view = FreshView();
    const std::vector<std::string> clients;
    for (const Case& c : cases) {
        NutSession session;
        const NutContext open{config, view, 0, clients};
        for (const char* line : c.before) AnswerNutLine(session, line, open);
        const NutSession before = session;
        NutContext waiting{config, view, 0, clients};
        waiting.MayJudgePair = false;
        const NutAnswer answer = AnswerNutLine(session, c.line, waiting);
        EXPECT_EQ(answer.Deferred, c.deferred) << c.line;
        EXPECT_FALSE(answer.WrongPair) << c.line;
        if (c.deferred) {
            EXPECT_EQ(answer.Text, "") << c.line;
            EXPECT_EQ(session.HasUser, before.HasUser) << c.line;
            EXPECT_EQ(session.HasPassword, before.HasPassword) << c.line;
        } else {
            EXPECT_NE(answer.Text, "") << c.line;
        }
    }
}

TEST(NutCommands, NobodyLogsInWhileTheUserOrPasswordIsNotConfigured) {
    for (const auto& emptyField : {&NutServerConfig::User, &NutServerConfig::Password}) {
        NutServerConfig config = Config();
        config.*emptyField = "";
        NutSession session;
        bool wrong = false;
        EXPECT_EQ(NutSetUser(session, config.User.empty() ? "x" : config.User, config, wrong), "OK");
        EXPECT_FALSE(wrong) << "judged only once both are given";
        EXPECT_EQ(NutSetPassword(session, config.Password.empty() ? "x" : config.Password, config, wrong), "OK");
        EXPECT_TRUE(wrong);
        EXPECT_EQ(NutLogin(session, "ups", config), "ERR ACCESS-DENIED");
        EXPECT_FALSE(session.LoggedIn);
        NutSession same;  // the empty setting itself, as no client can give it
        same.HasUser = same.HasPassword = true;
        same.User = config.User;
        same.Password = config.Password;
        EXPECT_FALSE(NutCredentialsMatch(same, config));
    }
}

TEST(NutCommands, LogoutSaysGoodbyeAndClosesTheConnection) {
    NutSession session;
    const NutServerConfig config = Config();
    const NutUpsView view = FreshView();
    const std::vector<std::string> clients;
    const NutAnswer answer = AnswerNutLine(session, "LOGOUT", {config, view, 0, clients});
    EXPECT_EQ(answer.Text, "OK Goodbye\n");
    EXPECT_TRUE(answer.Close);
    NutSession other;
    EXPECT_EQ(Ask("GET NUMLOGINS ups", view, other, 3), "NUMLOGINS ups 3\n");
}

TEST(SameSecret, EqualOnlyForTheSameBytes) {
    EXPECT_TRUE(SameSecret("s3cret", "s3cret"));
    EXPECT_FALSE(SameSecret("s3cre", "s3cret"));
    EXPECT_FALSE(SameSecret("s3crett", "s3cret"));
    EXPECT_FALSE(SameSecret("s3cres", "s3cret"));
    EXPECT_FALSE(SameSecret("", "s3cret"));
    EXPECT_FALSE(SameSecret("x", ""));
    EXPECT_TRUE(SameSecret("", ""));
    // The expected text repeated over a longer given text must not pass for it.
    EXPECT_FALSE(SameSecret("abab", "ab"));
}

TEST(NutWords, SplitsQuotesAndEscapesAndQuotesBack) {
    struct Case {
        const char* line;
        bool ok;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"GET VAR ups ups.status", true, {"GET", "VAR", "ups", "ups.status"}},
        {"  SET\tVAR  ups x  ", true, {"SET", "VAR", "ups", "x"}},
        {"PASSWORD \"two words\"", true, {"PASSWORD", "two words"}},
        {"A \"q\\\"uote\" b\\\\s", true, {"A", "q\"uote", "b\\s"}},
        {"A \"\"", true, {"A", ""}},
        {"A \"open", false, {}},
        {"A b\\", false, {}},
        {"", true, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words;
        EXPECT_EQ(SplitNutWords(c.line, words), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(words, c.words) << c.line;
        }
    }
    EXPECT_EQ(QuoteNutValue("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(QuoteNutValue("line\r\nbreak"), "\"line  break\"");
    std::vector<std::string> back;
    ASSERT_TRUE(SplitNutWords("VAR " + QuoteNutValue("x \"y\" \\z"), back));
    EXPECT_EQ(back, (std::vector<std::string>{"VAR", "x \"y\" \\z"}));
}

}  // namespace
