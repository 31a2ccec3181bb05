// Test helper for the end-to-end tests: renders event messages from an executable's
// message table the way the Event Viewer does, with the exe loaded as a data file and
// each entry's text as the insertion string.
//
//   event_message_render EXE TEXT ID...
//       prints one line per identifier (decimal or 0x hex): "<id in hex> [<rendered>]",
//       or "<id in hex> ER <code>" when the table cannot render it; "ER <code>" alone
//       when the exe cannot be loaded
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: event_message_render EXE TEXT ID...\n");
        return 2;
    }
    // As a data file: nothing of the exe runs, as when the Event Viewer reads it.
    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) {
        std::printf("ER %lu\n", GetLastError());
        return 1;
    }
    DWORD_PTR insertions[1] = {reinterpret_cast<DWORD_PTR>(argv[2])};
    int rc = 0;
    for (int i = 3; i < argc; ++i) {
        DWORD identifier = static_cast<DWORD>(std::strtoul(argv[i], nullptr, 0));
        char text[4096];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                                      identifier, 0, text, sizeof(text), reinterpret_cast<va_list*>(insertions));
        if (length == 0) {
            std::printf("0x%08lX ER %lu\n", identifier, GetLastError());
            rc = 1;
        } else {
            std::printf("0x%08lX [%.*s]\n", identifier, static_cast<int>(length), text);
        }
    }
    FreeLibrary(module);
    return rc;
}
