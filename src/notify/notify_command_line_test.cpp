#include "notify/notify_command_line.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<std::string> Entries(const std::vector<char>& block) {
    std::vector<std::string> entries;
    for (const char* entry = block.data(); *entry != '\0'; entry += std::strlen(entry) + 1) entries.emplace_back(entry);
    return entries;
}

TEST(NotifyCommandLine, EveryEventHasItsNameAndTheQuotedTextAppended) {
    struct Case {
        NotifyEvent event;
        const char* text;
        const char* line;
    };
    const Case cases[] = {
        {NotifyEvent::OnBattery, "Mains power failure", "notify.cmd ONBATT \"Mains power failure\""},
        {NotifyEvent::Online, "Mains power restored", "notify.cmd ONLINE \"Mains power restored\""},
        {NotifyEvent::LowBattery, "UPS battery low", "notify.cmd LOWBATT \"UPS battery low\""},
        {NotifyEvent::CommBad, "UPS connection lost", "notify.cmd COMMBAD \"UPS connection lost\""},
        {NotifyEvent::CommOk, "UPS connected:NV-1500", "notify.cmd COMMOK \"UPS connected:NV-1500\""},
        {NotifyEvent::Shutdown, "Shutdown started: charge:30", "notify.cmd SHUTDOWN \"Shutdown started: charge:30\""},
        {NotifyEvent::CommandFailed, "failed", "notify.cmd CMDFAIL \"failed\""},
        {NotifyEvent::ShutdownFailed, "refused", "notify.cmd SHUTDOWNFAIL \"refused\""},
    };
    for (const Case& c : cases) {
        Notification n;
        n.Event = c.event;
        n.Text = c.text;
        EXPECT_EQ(c.line, NotifyCommandLine("notify.cmd", n));
    }
}

// What the C runtime reads back from each quoted argument is the argument itself.
TEST(NotifyCommandLine, QuotingSurvivesTheCRuntimesRules) {
    struct Case {
        const char* argument;
        const char* quoted;
    };
    const Case cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"two words", "\"two words\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\path\\", "\"C:\\path\\\\\""},        // a trailing backslash doubled before the closing quote
        {"a\\\"b", "\"a\\\\\\\"b\""},              // a backslash before a quote doubled, then the quote escaped
        {"a\\b c", "\"a\\b c\""},                  // backslashes elsewhere stay as they are
    };
    for (const Case& c : cases) EXPECT_EQ(c.quoted, QuoteCommandLineArgument(c.argument)) << c.argument;
}

TEST(NotifyEnvironment, InheritedVariablesStayAndOursAreSetFresh) {
    const char inherited[] = "PATH=C:\\Windows\0voltwarden_event=stale\0TEMP=C:\\Temp\0VOLTWARDEN_MODEL=old\0";
    Notification n;
    n.Event = NotifyEvent::LowBattery;
    n.Text = "UPS battery low";
    n.Charge = 42;
    EXPECT_EQ((std::vector<std::string>{"PATH=C:\\Windows", "TEMP=C:\\Temp", "VOLTWARDEN_EVENT=LOWBATT",
                                        "VOLTWARDEN_TEXT=UPS battery low", "VOLTWARDEN_CHARGE=42",
                                        "VOLTWARDEN_MODEL=NV-1500"}),
              Entries(NotifyEnvironmentBlock(inherited, n, "NV-1500")));
}

TEST(NotifyEnvironment, AnUnknownChargeAndModelAreEmptyAndTheBlockEndsWithTwoNuls) {
    Notification n;
    n.Event = NotifyEvent::CommBad;
    n.Text = "lost";
    const std::vector<char> block = NotifyEnvironmentBlock(nullptr, n, "");
    EXPECT_EQ((std::vector<std::string>{"VOLTWARDEN_EVENT=COMMBAD", "VOLTWARDEN_TEXT=lost", "VOLTWARDEN_CHARGE=",
                                        "VOLTWARDEN_MODEL="}),
              Entries(block));
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ('\0', block[block.size() - 1]);
    EXPECT_EQ('\0', block[block.size() - 2]);
}

}  // namespace
