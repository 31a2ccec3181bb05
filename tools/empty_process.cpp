// The empty Wine process of the benchmark: what any process costs under Wine before it does
// anything. It starts, optionally starts idle threads (to match a process's thread count),
// then waits without a timer until its standard input closes.
//   empty_process [IDLE_THREADS]
#include <cstdlib>

#include "common/win32.h"

namespace {

DWORD WINAPI IdleThread(LPVOID) {
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int threads = argc > 1 ? std::atoi(argv[1]) : 0;
    for (int i = 0; i < threads; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    char buffer[256];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &got, nullptr) && got != 0) {
    }
    return 0;
}
