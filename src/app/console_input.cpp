// Console input shared by the console commands and the settings menu. Keys come
// straight from the console keyboard; words and lines come from standard input.
#include "app/console_input.h"

#include <iostream>
#include <limits>

#include "common/decimal.h"
#include "common/product_version.h"
#include "common/scoped_handle.h"
#include "common/win32.h"
#include "messages/message_table.h"

namespace {

const ConsoleIo kRealConsole = {&std::cin, &std::cout, &ReadConsoleKey};
const ConsoleIo* g_console = &kRealConsole;

constexpr int kEscape = 27;
constexpr int kEnter = 13;
constexpr int kBackspace = 8;
constexpr int kDelete = 127;

const char kBannerText[] = "----Voltwarden Basic Edition Version:" VW_PRODUCT_VERSION "----";

// Input typed ahead of a refusal is not meant for the next question. What the
// stream has already buffered is dropped, and on a real console so are the keys
// and lines still queued in its input buffer (never a blocking read).
void DiscardWaitingInput(const ConsoleIo& io) {
    std::istream& in = *io.in;
    if (in.good()) {
        std::streamsize waiting = in.rdbuf()->in_avail();
        if (waiting > 0) in.ignore(waiting);
    }
    if (io.readKey == &ReadConsoleKey) {
        HANDLE stdIn = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        if (stdIn != nullptr && stdIn != INVALID_HANDLE_VALUE && GetConsoleMode(stdIn, &mode)) {
            FlushConsoleInputBuffer(stdIn);
        }
    }
}

// An echo that fails (a closed or full output) must not end the entry; the stream's
// error state is cleared so that later output is still attempted.
void Echo(std::ostream& out, const char* text) {
    out << text << std::flush;
    if (!out) out.clear();
}

}  // namespace

const ConsoleIo& Console() { return *g_console; }

void SetConsoleForTest(const ConsoleIo* io) { g_console = io != nullptr ? io : &kRealConsole; }

int ReadConsoleKey() {
    // CONIN$ is the console's keyboard even when standard input is redirected.
    ScopedFileHandle input(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD mode = 0;
    if (!input || !GetConsoleMode(input.Get(), &mode)) return kNoMoreKeys;
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputA(input.Get(), &record, 1, &count) || count == 0) return kNoMoreKeys;
        if (record.EventType != KEY_EVENT) continue;
        int key = KeyFromEvent(record.Event.KeyEvent);
        if (key != -1) return key;
    }
}

int KeyFromEvent(const KEY_EVENT_RECORD& event) {
    if (!event.bKeyDown) return -1;
    unsigned char character = static_cast<unsigned char>(event.uChar.AsciiChar);
    if (character != 0) return character;
    switch (event.wVirtualKeyCode) {
        case VK_SHIFT: case VK_CONTROL: case VK_MENU: case VK_LSHIFT: case VK_RSHIFT: case VK_LCONTROL:
        case VK_RCONTROL: case VK_LMENU: case VK_RMENU: case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
        case VK_LWIN: case VK_RWIN:
            return -1;
        default:
            return kKeyWithoutCharacter;
    }
}

void PrintBanner(int show) {
    if (show != 1) return;
    std::ostream& out = *Console().out;
    out << std::endl << kBannerText << std::endl;
}

std::string ReadNumber(int32_t maximum, bool& cancelled) {
    const ConsoleIo& io = Console();
    std::ostream& out = *io.out;
    std::string digits;
    cancelled = false;
    out << "[ESC:" << MessageText("Cancel") << "]" << std::endl << ">" << std::flush;
    for (;;) {
        int key = io.readKey();
        // A keyboard that is gone can never give ESC or Enter: cancel rather than wait.
        if (key == kNoMoreKeys) key = kEscape;
        switch (key & 0xFF) {
        case kEscape:
            cancelled = true;
            out << MessageText("Cancel") << std::endl;
            return std::string();
        case kEnter: {
            int32_t value = 0;
            if (!digits.empty() && ParseInt32(digits, value) && value >= 0 && value <= maximum) return digits;
            out << std::endl
                << MessageText("Input_value_is_abnormal") << MessageText("Range_start") << 0 << MessageText("To")
                << maximum << MessageText("Range_end") << std::endl
                << ">" << std::flush;
            digits.clear();
            DiscardWaitingInput(io);
            break;
        }
        case kBackspace:
        case kDelete:
            if (!digits.empty()) {
                digits.pop_back();
                Echo(out, "\b \b");
            }
            break;
        default:
            if ((key & 0xFF) >= '0' && (key & 0xFF) <= '9') {
                const char digit[2] = {static_cast<char>(key & 0xFF), '\0'};
                Echo(out, digit);
                digits += digit[0];
            }
            break;
        }
    }
}

bool AskYesNo() {
    std::istream& in = *Console().in;
    std::ostream& out = *Console().out;
    out << "0:(NO)" << std::endl << "1:(YES)" << std::endl << ">" << std::flush;
    for (;;) {
        int32_t answer = 0;
        if (!(in >> answer)) {
            // Not a number (or beyond 32 bits): no. Drop the reply so that the next read
            // from standard input starts on a fresh line; an ended input stays ended.
            if (!in.eof()) {
                in.clear();
                in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            }
            return false;
        }
        if (answer == 1) return true;
        if (answer == 0) return false;
        out << MessageText("Input_value_is_abnormal_1or0_msg") << std::endl << ">" << std::flush;
    }
}

void WaitForKey(int show) {
    if (show == 0) return;
    const ConsoleIo& io = Console();
    *io.out << MessageText("Press_any_key") << std::endl;
    io.readKey();
}
