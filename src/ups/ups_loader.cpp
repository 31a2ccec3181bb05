// Loads the UPS maker's library from the executable's folder into an UpsLibrary table,
// and lists the serial ports through it for the console.
#include "ups/ups_loader.h"

#include <cstring>
#include <mutex>
#include <type_traits>

#include "common/exe_path.h"
#include "common/win32.h"

namespace {

const char kUpsLibraryFileName[] = "NervaUPSLib.dll";

// The one process-wide module handle; null while the library is not loaded.
std::mutex moduleLock;
HMODULE upsModule = nullptr;

// Stand-ins for the entry points the program calls. Each fails like a library call
// would and leaves every out-parameter as the caller set it.
int32_t MissingInit(NervaEventCallback) { return kUpsMissingEntryPointError; }
int32_t MissingFinish() { return kUpsMissingEntryPointError; }
int32_t MissingGetUPSList(int64_t**, int32_t*) { return kUpsMissingEntryPointError; }
int32_t MissingGetCOMList(char***, int32_t*) { return kUpsMissingEntryPointError; }
int32_t MissingFreeCOMList(char**) { return kUpsMissingEntryPointError; }
int32_t MissingOpenCOM(const char*, int64_t*) { return kUpsMissingEntryPointError; }
int32_t MissingStartEventThreadForCOM(int64_t) { return kUpsMissingEntryPointError; }
int32_t MissingCloseCOM(int64_t) { return kUpsMissingEntryPointError; }
int32_t MissingGetModelName(int64_t, char**) { return kUpsMissingEntryPointError; }
int32_t MissingGetCurrentBatteryLevel(int64_t, int32_t*) { return kUpsMissingEntryPointError; }
int32_t MissingShutdown(int64_t, int32_t) { return kUpsMissingEntryPointError; }

static_assert(std::is_trivially_copyable<UpsLibrary>::value, "the table is filled as raw entry addresses");

void ResolveEntryPoints(HMODULE module, UpsLibrary& table) {
    // The table is 90 pointers in name order, so the addresses are gathered in that
    // order and copied over it in one go.
    FARPROC entries[kUpsEntryPointCount] = {};
    for (size_t i = 0; i < kUpsEntryPointCount; ++i) {
        entries[i] = GetProcAddress(module, kUpsEntryPointNames[i]);
    }
    std::memcpy(&table, entries, sizeof(table));

    if (!table.InitNervaUPSLib) table.InitNervaUPSLib = MissingInit;
    if (!table.FinishNervaUPSLib) table.FinishNervaUPSLib = MissingFinish;
    if (!table.GetUPSList) table.GetUPSList = MissingGetUPSList;
    if (!table.GetCOMList) table.GetCOMList = MissingGetCOMList;
    if (!table.FreeCOMList) table.FreeCOMList = MissingFreeCOMList;
    if (!table.OpenCOM) table.OpenCOM = MissingOpenCOM;
    if (!table.StartEventThreadForCOM) table.StartEventThreadForCOM = MissingStartEventThreadForCOM;
    if (!table.CloseCOM) table.CloseCOM = MissingCloseCOM;
    if (!table.GetModelName) table.GetModelName = MissingGetModelName;
    if (!table.GetCurrentBatteryLevel) table.GetCurrentBatteryLevel = MissingGetCurrentBatteryLevel;
    if (!table.Shutdown) table.Shutdown = MissingShutdown;
}

void AppendComNames(const UpsLibrary& table, std::vector<std::string>& names) {
    char** list = nullptr;
    int32_t count = 0;
    table.GetCOMList(&list, &count);
    if (count == 0) return;
    if (list != nullptr) {
        for (int32_t i = 0; i < count; ++i) {
            if (list[i] != nullptr) names.emplace_back(list[i]);
        }
    }
    table.FreeCOMList(list);
}

void UnloadLibrary() {
    std::lock_guard<std::mutex> guard(moduleLock);
    if (upsModule != nullptr) {
        FreeLibrary(upsModule);  // a failure leaves nothing to do
        upsModule = nullptr;
    }
}

}  // namespace

int32_t LoadUpsLibrary(UpsLibrary& table, uint32_t& error) {
    std::lock_guard<std::mutex> guard(moduleLock);
    if (upsModule != nullptr) return 1;

    std::string folder = ExeDirectory();
    if (folder.empty()) {
        // Without the folder only the search path would be left, which is never used.
        error = ERROR_MOD_NOT_FOUND;
        return 0;
    }
    std::string path = JoinPath(folder, kUpsLibraryFileName);

    // No hard-error box may wait for a click in a service that has no desktop.
    DWORD oldMode = 0;
    BOOL modeSet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    DWORD loadError = GetLastError();
    if (modeSet) SetThreadErrorMode(oldMode, nullptr);
    if (module == nullptr) {
        error = loadError;
        return 0;
    }

    upsModule = module;
    ResolveEntryPoints(module, table);
    return 1;
}

int32_t ListComPorts(std::vector<std::string>& names) {
    UpsLibrary table;
    {
        std::lock_guard<std::mutex> guard(moduleLock);
        if (upsModule != nullptr) {
            // Someone in this process uses the library: borrow it, leave it as it is.
            ResolveEntryPoints(upsModule, table);
            AppendComNames(table, names);
            return 0;
        }
    }

    uint32_t error = 0;
    if (!LoadUpsLibrary(table, error)) return -1;
    table.InitNervaUPSLib(nullptr);
    AppendComNames(table, names);
    UnloadLibrary();
    return 0;
}

void UnloadUpsLibraryForTest() { UnloadLibrary(); }
