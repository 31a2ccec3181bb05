// Reads the words of a command line with the rules the C runtime applies to them, so that
// the words skipped here are the ones counted in argv.
#include "app/command_line_value.h"

#include "common/win32.h"

namespace {

const char* g_commandLineForTest = nullptr;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& line, size_t at) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    return at;
}

// The program path: quoted up to the next quote (backslashes are path separators there),
// otherwise up to the first blank.
size_t SkipProgramPath(const std::string& line, size_t at) {
    if (at < line.size() && line[at] == '"') {
        size_t close = line.find('"', at + 1);
        return close == std::string::npos ? line.size() : close + 1;
    }
    while (at < line.size() && !IsBlank(line[at])) ++at;
    return at;
}

// Any later word, from `at` to the blank that ends it (returned): blanks inside quotes belong
// to it; 2n backslashes before a quote are n backslashes and the quote opens or closes,
// 2n+1 are n backslashes and a literal quote; other backslashes are themselves.
size_t ReadArgument(const std::string& line, size_t at, std::string& word) {
    word.clear();
    bool quoted = false;
    size_t backslashes = 0;
    for (; at < line.size(); ++at) {
        char c = line[at];
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            word.append(backslashes / 2, '\\');
            if (backslashes % 2 == 1) {
                word += '"';
            } else {
                quoted = !quoted;
            }
        } else {
            word.append(backslashes, '\\');
            if (IsBlank(c) && !quoted) break;
            word += c;
        }
        backslashes = 0;
    }
    word.append(backslashes, '\\');
    return at;
}

}  // namespace

std::string CommandLineValue(const std::string& commandLine, size_t wordsToSkip) {
    std::string word;
    size_t at = SkipBlanks(commandLine, 0);
    for (size_t skipped = 0; skipped < wordsToSkip && at < commandLine.size(); ++skipped) {
        at = skipped == 0 ? SkipProgramPath(commandLine, at) : ReadArgument(commandLine, at, word);
        at = SkipBlanks(commandLine, at);
    }
    size_t end = commandLine.size();
    while (end > at && IsBlank(commandLine[end - 1])) --end;
    const std::string rest = commandLine.substr(at, end - at);
    if (rest.empty()) return rest;
    if (ReadArgument(rest, 0, word) == rest.size()) return word;
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') return rest.substr(1, rest.size() - 2);
    return rest;
}

std::string ProcessCommandLine() {
    if (g_commandLineForTest != nullptr) return g_commandLineForTest;
    const char* line = GetCommandLineA();
    return line != nullptr ? line : "";
}

void SetProcessCommandLineForTest(const char* commandLine) { g_commandLineForTest = commandLine; }
