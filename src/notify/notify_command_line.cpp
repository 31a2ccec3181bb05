#include "notify/notify_command_line.h"

#include <cstring>

#include "common/win32.h"

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

// The bytes of the character at `at`: a lead byte and the byte after it are one, as the C
// runtime and the conversion to UTF-16 read them.
size_t CharacterBytes(const std::string& text, size_t at, LeadByteRule isLeadByte) {
    return isLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
}

// No double-byte code page of Windows has a trail byte below 0x40 or DEL: a lead byte
// before one of those is broken, and the byte after it is a character of its own.
bool IsTrailByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x40 && u != 0x7F;
}

// Live in cmd.exe's reading even between double quotes: the quote ends them, % and ! expand
// variables, and a control byte may end the line.
bool IsLiveInQuotes(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return c == '"' || c == '%' || c == '!' || u < 0x20 || u == 0x7F;
}

}  // namespace

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

std::string NotifyText(const std::string& text, LeadByteRule isLeadByte) {
    std::string kept;
    size_t keptEnd = 0;  // the end of what is kept without the backslashes that end it
    for (size_t at = 0; at < text.size();) {
        const char c = text[at];
        if (isLeadByte(static_cast<unsigned char>(c))) {
            if (at + 1 < text.size() && IsTrailByte(text[at + 1])) {
                kept.append(text, at, 2);
                keptEnd = kept.size();
                at += 2;
            } else {
                ++at;  // a lead byte without its trail would take the next byte, a closing quote too
            }
            continue;
        }
        ++at;
        if (IsLiveInQuotes(c)) continue;
        kept.push_back(c);
        if (c != '\\') keptEnd = kept.size();
    }
    kept.resize(keptEnd);
    return kept;
}

std::string QuoteCommandLineArgument(const std::string& argument, LeadByteRule isLeadByte) {
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (size_t at = 0; at < argument.size();) {
        const size_t bytes = CharacterBytes(argument, at, isLeadByte);
        const char c = argument[at];
        if (bytes == 1 && c == '\\') {
            ++backslashes;
            ++at;
            continue;
        }
        // Backslashes are plain text unless a quote follows them.
        quoted.append(bytes == 1 && c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.append(argument, at, bytes);
        at += bytes;
    }
    quoted.append(backslashes * 2, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string NotifyCommandLine(const std::string& notifyCommand, const Notification& notification,
                              LeadByteRule isLeadByte) {
    return notifyCommand + " " + NotifyEventName(notification.Event) + " " +
           QuoteCommandLineArgument(NotifyText(notification.Text, isLeadByte), isLeadByte);
}

std::vector<char> NotifyEnvironmentBlock(const char* inherited, const Notification& notification,
                                         const std::string& model, LeadByteRule isLeadByte) {
    std::vector<char> block;
    for (const char* entry = inherited; entry != nullptr && *entry != '\0'; entry += std::strlen(entry) + 1) {
        if (!IsOurVariable(entry)) Append(block, entry);
    }
    Append(block, std::string(kOurVariables[0]) + NotifyEventName(notification.Event));
    Append(block, std::string(kOurVariables[1]) + NotifyText(notification.Text, isLeadByte));
    Append(block, std::string(kOurVariables[2]) + (notification.Charge >= 0 ? std::to_string(notification.Charge) : ""));
    Append(block, std::string(kOurVariables[3]) + model);
    block.push_back('\0');
    return block;
}
