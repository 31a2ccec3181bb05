#include "notify/notify_command_line.h"

#include <cstring>

namespace {

const char* const kOurVariables[] = {"VOLTWARDEN_EVENT=", "VOLTWARDEN_TEXT=", "VOLTWARDEN_CHARGE=",
                                      "VOLTWARDEN_MODEL="};

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        char a = *text, b = *prefix;
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

bool IsOurVariable(const char* entry) {
    for (const char* name : kOurVariables) {
        if (StartsWithNoCase(entry, name)) return true;
    }
    return false;
}

void Append(std::vector<char>& block, const std::string& entry) {
    block.insert(block.end(), entry.c_str(), entry.c_str() + std::strlen(entry.c_str()));
    block.push_back('\0');
}

}  // namespace

std::string QuoteCommandLineArgument(const std::string& argument) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are plain text unless a quote follows them.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string NotifyCommandLine(const std::string& notifyCommand, const Notification& notification) {
    return notifyCommand + " " + NotifyEventName(notification.Event) + " " +
           QuoteCommandLineArgument(notification.Text);
}

std::vector<char> NotifyEnvironmentBlock(const char* inherited, const Notification& notification,
                                         const std::string& model) {
    std::vector<char> block;
    for (const char* entry = inherited; entry != nullptr && *entry != '\0'; entry += std::strlen(entry) + 1) {
        if (!IsOurVariable(entry)) Append(block, entry);
    }
    Append(block, std::string(kOurVariables[0]) + NotifyEventName(notification.Event));
    Append(block, std::string(kOurVariables[1]) + notification.Text);
    Append(block, std::string(kOurVariables[2]) + (notification.Charge >= 0 ? std::to_string(notification.Charge) : ""));
    Append(block, std::string(kOurVariables[3]) + model);
    block.push_back('\0');
    return block;
}
