#include "testing/scripted_console.h"

namespace {

std::deque<int> g_keys;
int g_readsPastEnd = 0;

int NextScriptedKey() {
    if (g_keys.empty()) {
        ++g_readsPastEnd;
        return kNoMoreKeys;
    }
    int key = g_keys.front();
    g_keys.pop_front();
    return key;
}

}  // namespace

ScriptedConsole::ScriptedConsole(const std::string& stdinText, const std::deque<int>& keys)
    : in_(stdinText), io_{&in_, &out_, &NextScriptedKey} {
    g_keys = keys;
    g_readsPastEnd = 0;
    SetConsoleForTest(&io_);
}

ScriptedConsole::~ScriptedConsole() {
    SetConsoleForTest(nullptr);
    g_keys.clear();
}

std::deque<int> ScriptedConsole::Keys(const std::string& text) {
    std::deque<int> keys;
    for (char c : text) keys.push_back(static_cast<unsigned char>(c));
    return keys;
}

size_t ScriptedConsole::KeysLeft() const { return g_keys.size(); }

int ScriptedConsole::ReadsPastEnd() const { return g_readsPastEnd; }
