// The value after a command line's first words, read for a value that is itself a command
// line. The C runtime's argument splitting takes the quotes out of such a value and splits
// it at blanks, so that `SET 5 ""C:\Program Files\x.cmd" /a"` would lose its meaning.
#pragma once

#include <cstddef>
#include <string>

// The rest of `commandLine` after `wordsToSkip` words (the program path counts as the first,
// every word read with the C runtime's rules) and the blanks that follow them, without
// trailing blanks; then read as one value:
// - when the rest is one word by the C runtime's rules, that word as the C runtime reads it
//   (`"C:\Tools\a b.cmd"`, or `"cmd /c echo \"x y\""` as a script's argument list writes it);
// - otherwise the rest as typed, one pair of double quotes around all of it removed:
//   `""C:\Program Files\x.cmd" /a"` and `"C:\Program Files\x.cmd" /a` both give
//   `"C:\Program Files\x.cmd" /a`.
// Empty when the line has no more words.
std::string CommandLineValue(const std::string& commandLine, size_t wordsToSkip);

// The process's own command line in the ANSI code page, as Windows gave it.
std::string ProcessCommandLine();

// Tests put their own command line in place; nullptr restores the process's.
void SetProcessCommandLineForTest(const char* commandLine);
