// What a notification's process gets: NOTIFY_CMD with the event's name and text appended,
// and the service's environment with the VOLTWARDEN_ variables set.
#pragma once

#include <string>
#include <vector>

#include "notify/notify_event.h"

// `argument` as one argument that every program reading its command line with the C
// runtime's rules gets back unchanged: in double quotes, a quote inside as \", and the
// backslashes before a quote or the closing quote doubled.
std::string QuoteCommandLineArgument(const std::string& argument);

// `notifyCommand` + " " + the event's name + " " + its quoted text.
std::string NotifyCommandLine(const std::string& notifyCommand, const Notification& notification);

// An ANSI environment block (NAME=value, each ended by a NUL, the block by another): every
// variable of `inherited` (a block of the same form, may be null) except the four of ours,
// then VOLTWARDEN_EVENT, VOLTWARDEN_TEXT, VOLTWARDEN_CHARGE (empty when not known) and
// VOLTWARDEN_MODEL. A text holding a NUL would cut the block: it ends at the NUL.
std::vector<char> NotifyEnvironmentBlock(const char* inherited, const Notification& notification,
                                         const std::string& model);
