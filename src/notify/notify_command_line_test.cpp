#include "notify/notify_command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/win32.h"

namespace {

bool SingleByte(unsigned char) { return false; }

// Shift-JIS, the code page of the Japanese message table: 0x81-0x9F and 0xE0-0xFC lead.
bool Cp932LeadByte(unsigned char byte) { return IsDBCSLeadByteEx(932, byte) != FALSE; }

const NotifyEvent kEveryEvent[] = {NotifyEvent::OnBattery,   NotifyEvent::Online,       NotifyEvent::LowBattery,
                                   NotifyEvent::CommBad,     NotifyEvent::CommOk,       NotifyEvent::Shutdown,
                                   NotifyEvent::CommandFailed, NotifyEvent::ShutdownFailed};
static_assert(sizeof(kEveryEvent) / sizeof(kEveryEvent[0]) == kNotifyEventCount, "every event is listed");

// Texts that would bring cmd.exe's reading of a .cmd's command line to life.
const std::string kHostileTexts[] = {
    "x\" & echo PWNED>C:\\pwned.txt & rem \"",
    "\"",
    "%PATH%",
    "!x!",
    "a\r\nb",
    std::string("a\0b", 3),
    "ends in a backslash\\",
    "ends in backslashes\\\\\\",
    "\\\"",
    "\x7f\x1a\x1b",
    std::string(1024, '"') + std::string(1024, '\\'),
};

// The quoted text that NotifyCommandLine appended after "<event> ": checked byte by byte.
void ExpectNothingLiveInQuotes(const std::string& quoted, LeadByteRule isLeadByte) {
    ASSERT_GE(quoted.size(), 2u);
    ASSERT_EQ('"', quoted.front());
    ASSERT_EQ('"', quoted.back());
    bool backslashBeforeEnd = false;
    for (size_t at = 1; at + 1 < quoted.size(); ++at) {
        const unsigned char c = static_cast<unsigned char>(quoted[at]);
        if (isLeadByte(c)) {
            ASSERT_LT(at + 2, quoted.size()) << "a lead byte takes the closing quote";
            ++at;
            backslashBeforeEnd = false;
            continue;
        }
        EXPECT_TRUE(c != '"' && c != '%' && c != '!' && c >= 0x20 && c != 0x7F) << "byte " << int(c) << " in " << quoted;
        backslashBeforeEnd = c == '\\';
    }
    EXPECT_FALSE(backslashBeforeEnd) << quoted;
}

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
        {NotifyEvent::CommOk, "UPS connected", "notify.cmd COMMOK \"UPS connected\""},
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

TEST(NotifyText, WhatCmdReadsEvenInQuotesIsDroppedAndOurOwnTextsStay) {
    struct Case {
        std::string text;
        std::string kept;
    };
    const Case cases[] = {
        {"Mains power failure", "Mains power failure"},
        {"Shutdown started: charge:30", "Shutdown started: charge:30"},
        {"Backup (C:\\Data) & more <1> | ^x", "Backup (C:\\Data) & more <1> | ^x"},  // plain text inside quotes
        {"x\" & echo PWNED>C:\\pwned.txt & rem \"", "x & echo PWNED>C:\\pwned.txt & rem "},
        {"%PATH%", "PATH"},
        {"!x!", "x"},
        {"100%!", "100"},
        {"a\r\nb\tc", "abc"},
        {std::string("a\0b", 3), "ab"},
        {"\x7f\x01\x1f", ""},
        {"C:\\path\\", "C:\\path"},
        {"a\\\\\\", "a"},
        {"\\\\", ""},
        {"a\\\"", "a"},  // the quote goes, then the backslash left at the end
        {"caf\xe9", "caf\xe9"},  // a single-byte code page's letters stay
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.kept, NotifyText(c.text, &SingleByte)) << c.text;
}

TEST(NotifyText, ADoubleByteCharacterIsKeptWholeWhateverItsTrailByte) {
    ASSERT_TRUE(Cp932LeadByte(0x95) && Cp932LeadByte(0x83) && Cp932LeadByte(0xE0));
    ASSERT_FALSE(Cp932LeadByte(0x41) || Cp932LeadByte(0x5C) || Cp932LeadByte(0xA6));
    struct Case {
        std::string text;
        std::string kept;
    };
    const Case cases[] = {
        {"\x95\x5c\x8e\xa6", "\x95\x5c\x8e\xa6"},          // "display": the first trail byte is 0x5C
        {"UPS\x82\xc6\x95\x5c", "UPS\x82\xc6\x95\x5c"},      // ends in a trail byte 0x5C: no backslash to drop
        {"\x83\x7c%\x83\x5c!", "\x83\x7c\x83\x5c"},          // trail bytes 0x7C and 0x5C kept, % and ! dropped
        {"\x95\x5c\\", "\x95\x5c"},                          // a real backslash after it still goes
        {"\xa6\\", "\xa6"},                                    // a single-byte katakana is no lead byte
        {"a\x95", "a"},                                         // a lead byte at the end would take the quote
        {"\x95\"& echo x", "& echo x"},                         // nor may it take a quote inside
        {"\x95%x", "x"},
        {"\x95\x1f\x95\x7f", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.kept, NotifyText(c.text, &Cp932LeadByte)) << c.text;
}

TEST(NotifyCommandLine, NoTextPutsAnythingLiveIntoTheLineOfAnyEvent) {
    for (LeadByteRule rule : {&SingleByte, &Cp932LeadByte}) {
        for (NotifyEvent event : kEveryEvent) {
            for (const std::string& text : kHostileTexts) {
                Notification n;
                n.Event = event;
                n.Text = text;
                const std::string head = std::string("notify.cmd ") + NotifyEventName(event) + " ";
                const std::string line = NotifyCommandLine("notify.cmd", n, rule);
                ASSERT_EQ(head, line.substr(0, head.size()));
                ExpectNothingLiveInQuotes(line.substr(head.size()), rule);
            }
        }
    }
}

TEST(NotifyCommandLine, ADoubleByteTextIsQuotedAsTheCRuntimeReadsIt) {
    Notification n;
    n.Event = NotifyEvent::CommBad;
    n.Text = "UPS\x82\xc6\x95\x5c";
    // The trail byte 0x5C before the closing quote is no backslash: not doubled.
    EXPECT_EQ("notify.cmd COMMBAD \"UPS\x82\xc6\x95\x5c\"", NotifyCommandLine("notify.cmd", n, &Cp932LeadByte));
    EXPECT_EQ("\"\x95\x5c\\\"\"", QuoteCommandLineArgument("\x95\x5c\"", &Cp932LeadByte));
}

TEST(NotifyEnvironment, TheTextVariableHoldsWhatTheArgumentHolds) {
    for (LeadByteRule rule : {&SingleByte, &Cp932LeadByte}) {
        for (const std::string& text : kHostileTexts) {
            Notification n;
            n.Event = NotifyEvent::Shutdown;
            n.Text = text + "\x95\x5c";
            const std::vector<std::string> entries = Entries(NotifyEnvironmentBlock(nullptr, n, "NV-1500", rule));
            ASSERT_EQ(4u, entries.size());
            EXPECT_EQ("VOLTWARDEN_TEXT=" + NotifyText(n.Text, rule), entries[1]);
            EXPECT_EQ("notify.cmd SHUTDOWN " + QuoteCommandLineArgument(NotifyText(n.Text, rule), rule),
                      NotifyCommandLine("notify.cmd", n, rule));
        }
    }
}

}  // namespace
