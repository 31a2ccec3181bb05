// The console's small shared operations: the banner, digit-only number entry with
// cancel and range check, the yes/no question and the pause for a key.
#pragma once

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

#include "common/win32.h"

// Returned by a key source whose keys have run out (no console keyboard, or its
// input failed). Number entry treats it as ESC and the key wait stops waiting, so
// a console without a keyboard can never keep the program spinning.
constexpr int kNoMoreKeys = -1;

// Where the console reads and writes. Words and lines typed with Enter come from
// `in`; single keys, unechoed, come from `readKey`.
struct ConsoleIo {
    std::istream* in;
    std::ostream* out;
    int (*readKey)();  // the next key's code, or kNoMoreKeys
};

// The console in use: standard input, standard output and the console keyboard,
// unless a test has put its own in place.
const ConsoleIo& Console();

// Tests script the streams and keys; nullptr restores the real console.
void SetConsoleForTest(const ConsoleIo* io);

// A key that carries no character (an arrow, a function key, Home, ...): it ends a
// key wait, and number entry, which looks at the low 8 bits, ignores it.
constexpr int kKeyWithoutCharacter = 0x100;

// One key from the console keyboard without echo, or kNoMoreKeys when the process
// has no console keyboard or reading it fails.
int ReadConsoleKey();

// The key a console key event stands for: its character, kKeyWithoutCharacter, or -1
// for events that are not key presses of their own (key releases, Shift, Ctrl, Alt,
// the lock keys and the Windows keys, which only change other keys).
int KeyFromEvent(const KEY_EVENT_RECORD& event);

// Prints an end of line, the banner line and an end of line when `show` is 1.
void PrintBanner(int show);

// Number entry from single keys: digits are echoed, Backspace erases, ESC cancels,
// Enter accepts a value of 0 to `maximum`. Returns the digits as typed, or an empty
// text with `cancelled` set when the user pressed ESC or the keys ran out.
std::string ReadNumber(int32_t maximum, bool& cancelled);

// Asks 0:(NO) / 1:(YES) on standard input until the reply is 0 or 1. A reply that is
// not a number, or an input that has ended, counts as no.
bool AskYesNo();

// Unless `show` is 0, asks for a key and waits for one.
void WaitForKey(int show);
