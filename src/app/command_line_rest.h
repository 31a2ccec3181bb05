// The text of a command line after its first words, taken as the administrator typed it.
// The C runtime's argument splitting removes quotes and splits at spaces, which mangles a
// value that is itself a command line with quotes of its own.
#pragma once

#include <cstddef>
#include <string>

// The rest of `commandLine` after `wordsToSkip` words (the program path counts as the first)
// and the blanks that follow them, without trailing blanks. When the rest is enclosed in
// double quotes, that one enclosing pair is removed and everything inside is kept as it is:
// `""C:\Program Files\x.cmd" /a"` gives `"C:\Program Files\x.cmd" /a`. Empty when the line
// has no more words.
std::string CommandLineRest(const std::string& commandLine, size_t wordsToSkip);

// The process's own command line in the ANSI code page, as Windows gave it.
std::string ProcessCommandLine();

// Tests put their own command line in place; nullptr restores the process's.
void SetProcessCommandLineForTest(const char* commandLine);
