// What a notification's process gets: NOTIFY_CMD with the event's name and text appended,
// and the service's environment with the VOLTWARDEN_ variables set.
#pragma once

#include <string>
#include <vector>

#include "notify/notify_event.h"

// Whether a byte of a text starts a double-byte character. Texts are in the system's ANSI
// code page (IsAnsiLeadByte); a test gives the rule of another one.
using LeadByteRule = bool (*)(unsigned char byte);
bool IsAnsiLeadByte(unsigned char byte);

// `text` as a notification hands it on, in its argument and in VOLTWARDEN_TEXT: without the
// bytes cmd.exe treats specially even inside double quotes (", %, !, control bytes and DEL),
// without backslashes at its end, and without a lead byte that has no trail byte after it. A
// double-byte character is kept whole, whatever its trail byte (0x5C and 0x7C among them).
std::string NotifyText(const std::string& text, LeadByteRule isLeadByte = &IsAnsiLeadByte);

// `argument` as one argument that every program reading its command line with the C
// runtime's rules gets back unchanged: in double quotes, a quote inside as \", and the
// backslashes before a quote or the closing quote doubled. A double-byte character is one
// character, as the C runtime reads it: its trail byte is never taken for a backslash. (A
// lead byte at the very end would take the closing quote: NotifyText never leaves one.)
std::string QuoteCommandLineArgument(const std::string& argument, LeadByteRule isLeadByte = &IsAnsiLeadByte);

// `notifyCommand` + " " + the event's name + " " + the quoted NotifyText of its text: a
// `.cmd` script, which cmd.exe reads again by rules of its own, finds nothing live in it.
std::string NotifyCommandLine(const std::string& notifyCommand, const Notification& notification,
                              LeadByteRule isLeadByte = &IsAnsiLeadByte);

// An ANSI environment block (NAME=value, each ended by a NUL, the block by another): every
// variable of `inherited` (a block of the same form, may be null) except the four of ours,
// then VOLTWARDEN_EVENT, VOLTWARDEN_TEXT (the NotifyText of the text, as in the argument),
// VOLTWARDEN_CHARGE (empty when not known) and VOLTWARDEN_MODEL. A model holding a NUL
// would cut the block: it ends at the NUL.
std::vector<char> NotifyEnvironmentBlock(const char* inherited, const Notification& notification,
                                         const std::string& model, LeadByteRule isLeadByte = &IsAnsiLeadByte);
