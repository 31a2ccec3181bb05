// A UPS library that lacks most of its entry points, built only for the loader's tests:
// it shows what the program does with a library that does not export a name it calls.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define PARTIAL_EXPORT extern "C" __declspec(dllexport)

PARTIAL_EXPORT int32_t InitNervaUPSLib(void*) { return 0; }

// One port; FreeCOMList is missing, so the list is never released.
PARTIAL_EXPORT int32_t GetCOMList(char*** names, int32_t* count) {
    char** list = static_cast<char**>(std::calloc(2, sizeof(char*)));
    if (list == nullptr) return 8;
    list[0] = static_cast<char*>(std::malloc(5));
    if (list[0] != nullptr) std::memcpy(list[0], "COM7", 5);
    *names = list;
    *count = 1;
    return 0;
}

PARTIAL_EXPORT int32_t GetSerialNumber() { return 0; }
PARTIAL_EXPORT int32_t SendCommand() { return 0; }
