// A console for tests: standard input from a text, keys from a script, output
// captured. Installed for the life of the object.
#pragma once

#include <deque>
#include <sstream>
#include <string>

#include "app/console_input.h"

class ScriptedConsole {
public:
    explicit ScriptedConsole(const std::string& stdinText = std::string(), const std::deque<int>& keys = {});
    ~ScriptedConsole();
    ScriptedConsole(const ScriptedConsole&) = delete;
    ScriptedConsole& operator=(const ScriptedConsole&) = delete;

    // Every key of `text` in turn ("\x1b" is ESC, "\r" Enter, "\b" Backspace).
    static std::deque<int> Keys(const std::string& text);

    std::string Output() const { return out_.str(); }
    std::istringstream& In() { return in_; }
    std::ostringstream& Out() { return out_; }
    // Keys the program has not read.
    size_t KeysLeft() const;
    // How often the program asked for a key after the script had run out.
    int ReadsPastEnd() const;

private:
    std::istringstream in_;
    std::ostringstream out_;
    ConsoleIo io_;
};
