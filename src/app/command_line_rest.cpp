// Splits off the leading words of a command line with the rules the C runtime applies to
// them, so that the words skipped here are the ones counted in argv.
#include "app/command_line_rest.h"

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

// Any later word: blanks inside quotes belong to it; an odd run of backslashes before a
// quote makes that quote a literal character.
size_t SkipArgument(const std::string& line, size_t at) {
    bool quoted = false;
    size_t backslashes = 0;
    for (; at < line.size(); ++at) {
        char c = line[at];
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"' && backslashes % 2 == 0) {
            quoted = !quoted;
        } else if (IsBlank(c) && !quoted) {
            break;
        }
        backslashes = 0;
    }
    return at;
}

}  // namespace

std::string CommandLineRest(const std::string& commandLine, size_t wordsToSkip) {
    size_t at = SkipBlanks(commandLine, 0);
    for (size_t word = 0; word < wordsToSkip && at < commandLine.size(); ++word) {
        at = word == 0 ? SkipProgramPath(commandLine, at) : SkipArgument(commandLine, at);
        at = SkipBlanks(commandLine, at);
    }
    size_t end = commandLine.size();
    while (end > at && IsBlank(commandLine[end - 1])) --end;
    if (end - at >= 2 && commandLine[at] == '"' && commandLine[end - 1] == '"') {
        ++at;
        --end;
    }
    return commandLine.substr(at, end - at);
}

std::string ProcessCommandLine() {
    if (g_commandLineForTest != nullptr) return g_commandLineForTest;
    const char* line = GetCommandLineA();
    return line != nullptr ? line : "";
}

void SetProcessCommandLineForTest(const char* commandLine) { g_commandLineForTest = commandLine; }
