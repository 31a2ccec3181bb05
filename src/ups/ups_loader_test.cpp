#include "ups/ups_loader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ups/ups_test_support.h"

namespace {

using ups_test::CallsOf;
using ups_test::CopyLibrary;
using ups_test::LibraryLoaded;
using ups_test::ReadCallLog;
using ups_test::WaitFor;
using ups_test::WriteControl;

const void* Slot(const UpsLibrary& table, size_t index) {
    const void* slots[kUpsEntryPointCount];
    std::memcpy(slots, &table, sizeof(table));
    return slots[index];
}

// A table whose every entry holds a recognisable non-null value.
UpsLibrary FilledTable() {
    void* slots[kUpsEntryPointCount];
    for (size_t i = 0; i < kUpsEntryPointCount; ++i) slots[i] = reinterpret_cast<void*>(0xA5000 + i);
    UpsLibrary table;
    std::memcpy(&table, slots, sizeof(table));
    return table;
}

class UpsLoaderTest : public ::testing::Test {
protected:
    void TearDown() override {
        UnloadUpsLibraryForTest();
        EXPECT_FALSE(LibraryLoaded());
    }

    ScratchDirectory scratch_;
};

TEST_F(UpsLoaderTest, ResolvesEveryEntryPointInTableOrder) {
    ASSERT_TRUE(CopyLibrary(scratch_));
    UpsLibrary table;
    uint32_t error = 777;
    ASSERT_EQ(LoadUpsLibrary(table, error), 1);
    EXPECT_EQ(error, 777u);

    HMODULE module = GetModuleHandleA("NervaUPSLib.dll");
    ASSERT_NE(module, nullptr);
    char loadedPath[MAX_PATH] = {};
    GetModuleFileNameA(module, loadedPath, sizeof(loadedPath));
    EXPECT_EQ(lstrcmpiA(loadedPath, scratch_.File("NervaUPSLib.dll").c_str()), 0) << loadedPath;

    for (size_t i = 0; i < kUpsEntryPointCount; ++i) {
        const void* exported = reinterpret_cast<const void*>(GetProcAddress(module, kUpsEntryPointNames[i]));
        ASSERT_NE(exported, nullptr) << kUpsEntryPointNames[i];
        EXPECT_EQ(Slot(table, i), exported) << kUpsEntryPointNames[i];
    }
    // The named members line up with the names: the ones the program calls, and the ends.
    const struct {
        const char* name;
        const void* entry;
    } named[] = {
        {"InitNervaUPSLib", reinterpret_cast<const void*>(table.InitNervaUPSLib)},
        {"GetUPSList", reinterpret_cast<const void*>(table.GetUPSList)},
        {"OpenCOM", reinterpret_cast<const void*>(table.OpenCOM)},
        {"GetModelName", reinterpret_cast<const void*>(table.GetModelName)},
        {"GetCurrentBatteryLevel", reinterpret_cast<const void*>(table.GetCurrentBatteryLevel)},
        {"Shutdown", reinterpret_cast<const void*>(table.Shutdown)},
        {"SendCommand", reinterpret_cast<const void*>(table.SendCommand)},
    };
    for (const auto& entry : named) {
        EXPECT_EQ(entry.entry, reinterpret_cast<const void*>(GetProcAddress(module, entry.name))) << entry.name;
    }
}

TEST_F(UpsLoaderTest, SecondLoadReturnsAtOnceAndLeavesTheTableUntouched) {
    ASSERT_TRUE(CopyLibrary(scratch_));
    UpsLibrary first;
    uint32_t error = 0;
    ASSERT_EQ(LoadUpsLibrary(first, error), 1);
    HMODULE module = GetModuleHandleA("NervaUPSLib.dll");

    // From a folder without any library: a second load that looked for the file would fail.
    ScratchDirectory elsewhere;
    UpsLibrary second = FilledTable();
    const UpsLibrary before = second;
    error = 555;
    EXPECT_EQ(LoadUpsLibrary(second, error), 1);
    EXPECT_EQ(std::memcmp(&second, &before, sizeof(second)), 0);
    EXPECT_EQ(error, 555u);
    EXPECT_EQ(GetModuleHandleA("NervaUPSLib.dll"), module);

    // Loaded once: one unload is enough to be rid of it.
    UnloadUpsLibraryForTest();
    EXPECT_FALSE(LibraryLoaded());
}

TEST_F(UpsLoaderTest, LoadFailureGivesTheLoaderErrorAndLoadsNothing) {
    const struct {
        const char* what;
        const char* fileContent;  // null: no file at all
        uint32_t error;
    } cases[] = {
        {"missing library", nullptr, ERROR_MOD_NOT_FOUND},
        {"not a program file", "this is not a DLL\r\n", ERROR_BAD_EXE_FORMAT},
    };
    for (const auto& c : cases) {
        ScratchDirectory folder;
        if (c.fileContent) folder.WriteFile("NervaUPSLib.dll", c.fileContent);
        UpsLibrary table = FilledTable();
        const UpsLibrary before = table;
        uint32_t error = 0;
        EXPECT_EQ(LoadUpsLibrary(table, error), 0) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(std::memcmp(&table, &before, sizeof(table)), 0) << c.what;
        EXPECT_FALSE(LibraryLoaded()) << c.what;

        // The module handle stayed empty: once the library is there, the next try loads it.
        ASSERT_TRUE(CopyLibrary(folder)) << c.what;
        UpsLibrary loaded;
        EXPECT_EQ(LoadUpsLibrary(loaded, error), 1) << c.what;
        EXPECT_NE(loaded.Shutdown, nullptr) << c.what;
        UnloadUpsLibraryForTest();
    }
}

TEST_F(UpsLoaderTest, NeverLoadsTheLibraryFromTheSearchPath) {
    // The simulator lies in the current directory, which the DLL search path includes,
    // but not in the executable's folder: the load must fail.
    ScratchDirectory current;
    ASSERT_TRUE(CopyLibrary(current));
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof(previous), previous);
    ASSERT_TRUE(SetCurrentDirectoryA(current.Path().c_str()));
    ScratchDirectory exeFolder;
    UpsLibrary table;
    uint32_t error = 0;
    int32_t loaded = LoadUpsLibrary(table, error);
    SetCurrentDirectoryA(previous);
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(LibraryLoaded());
}

TEST_F(UpsLoaderTest, MissingExportsLeaveNullEntriesAndFailingStandInsForTheCalledOnes) {
    ASSERT_TRUE(CopyLibrary(scratch_, "missing_exports\\"));
    UpsLibrary table;
    uint32_t error = 0;
    ASSERT_EQ(LoadUpsLibrary(table, error), 1);
    HMODULE module = GetModuleHandleA("NervaUPSLib.dll");
    ASSERT_NE(module, nullptr);

    // Exported names resolve to the library; of the rest, only the eleven called ones are filled.
    const char* const called[] = {"InitNervaUPSLib", "FinishNervaUPSLib", "GetUPSList", "GetCOMList",
                                  "FreeCOMList", "OpenCOM", "StartEventThreadForCOM", "CloseCOM",
                                  "GetModelName", "GetCurrentBatteryLevel", "Shutdown"};
    for (size_t i = 0; i < kUpsEntryPointCount; ++i) {
        const char* name = kUpsEntryPointNames[i];
        const void* exported = reinterpret_cast<const void*>(GetProcAddress(module, name));
        bool isCalled = false;
        for (const char* c : called) isCalled = isCalled || std::strcmp(c, name) == 0;
        if (exported != nullptr) {
            EXPECT_EQ(Slot(table, i), exported) << name;
        } else if (isCalled) {
            EXPECT_NE(Slot(table, i), nullptr) << name;
        } else {
            EXPECT_EQ(Slot(table, i), nullptr) << name;
        }
    }
    EXPECT_NE(GetProcAddress(module, "GetSerialNumber"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "Shutdown"), nullptr);

    // Each stand-in fails with ERROR_PROC_NOT_FOUND and leaves the out-parameters alone.
    int64_t* devices = reinterpret_cast<int64_t*>(0x1234);
    char* model = reinterpret_cast<char*>(0x5678);
    int64_t handle = 99;
    int32_t count = 7;
    int32_t level = 42;
    const struct {
        const char* name;
        std::function<int32_t()> call;
    } standIns[] = {
        {"FinishNervaUPSLib", [&] { return table.FinishNervaUPSLib(); }},
        {"GetUPSList", [&] { return table.GetUPSList(&devices, &count); }},
        {"FreeCOMList", [&] { return table.FreeCOMList(nullptr); }},
        {"OpenCOM", [&] { return table.OpenCOM("COM1", &handle); }},
        {"StartEventThreadForCOM", [&] { return table.StartEventThreadForCOM(1); }},
        {"CloseCOM", [&] { return table.CloseCOM(1); }},
        {"GetModelName", [&] { return table.GetModelName(1, &model); }},
        {"GetCurrentBatteryLevel", [&] { return table.GetCurrentBatteryLevel(1, &level); }},
        {"Shutdown", [&] { return table.Shutdown(1, 3); }},
    };
    for (const auto& standIn : standIns) {
        EXPECT_EQ(standIn.call(), kUpsMissingEntryPointError) << standIn.name;
    }
    EXPECT_EQ(devices, reinterpret_cast<int64_t*>(0x1234));
    EXPECT_EQ(model, reinterpret_cast<char*>(0x5678));
    EXPECT_EQ(handle, 99);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(level, 42);
}

TEST_F(UpsLoaderTest, ListComPortsAppendsTheNamesAndUnloadsEveryTime) {
    ASSERT_TRUE(CopyLibrary(scratch_));
    WriteControl(scratch_, "PORTS=COM3,COM1,COM12\r\n");
    for (int round = 0; round < 2; ++round) {
        std::vector<std::string> names = {"kept"};
        EXPECT_EQ(ListComPorts(names), 0);
        EXPECT_EQ(names, (std::vector<std::string>{"kept", "COM3", "COM1", "COM12"})) << "round " << round;
        EXPECT_FALSE(LibraryLoaded()) << "round " << round;
    }
    // Each round: InitNervaUPSLib without a callback, the list, its release; never Finish.
    std::vector<std::string> entries;
    for (const auto& line : ReadCallLog(scratch_)) entries.push_back(line.Entry);
    const std::vector<std::string> round = {"InitNervaUPSLib", "GetCOMList", "FreeCOMList"};
    std::vector<std::string> expected = round;
    expected.insert(expected.end(), round.begin(), round.end());
    EXPECT_EQ(entries, expected);
    for (const auto& line : CallsOf(scratch_, "InitNervaUPSLib")) EXPECT_EQ(line.Values.at("callback"), "null");
    for (const auto& line : CallsOf(scratch_, "FreeCOMList")) {
        EXPECT_EQ(line.Values.at("count"), "3");
        EXPECT_EQ(line.Values.at("result"), "0");
    }
}

TEST_F(UpsLoaderTest, ListComPortsWithNoPortsLeavesTheListAndSkipsFreeCOMList) {
    ASSERT_TRUE(CopyLibrary(scratch_));
    WriteControl(scratch_, "PORTS=\r\n");
    std::vector<std::string> names = {"COM5"};
    EXPECT_EQ(ListComPorts(names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"COM5"});
    EXPECT_FALSE(LibraryLoaded());
    auto lists = CallsOf(scratch_, "GetCOMList");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].Values.at("count"), "0");
    EXPECT_TRUE(CallsOf(scratch_, "FreeCOMList").empty());
}

TEST_F(UpsLoaderTest, ListComPortsWithoutTheLibraryGivesMinusOne) {
    std::vector<std::string> names = {"COM5"};
    EXPECT_EQ(ListComPorts(names), -1);
    EXPECT_EQ(names, std::vector<std::string>{"COM5"});
    EXPECT_FALSE(LibraryLoaded());
}

TEST_F(UpsLoaderTest, ListComPortsBorrowsALibraryThatIsAlreadyLoaded) {
    ASSERT_TRUE(CopyLibrary(scratch_));
    WriteControl(scratch_, "PORTS=COM2\r\n");
    UpsLibrary table;
    uint32_t error = 0;
    ASSERT_EQ(LoadUpsLibrary(table, error), 1);
    std::vector<std::string> names;
    EXPECT_EQ(ListComPorts(names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"COM2"});
    // Still loaded for its owner, whose callback registration was not touched.
    EXPECT_TRUE(LibraryLoaded());
    EXPECT_TRUE(CallsOf(scratch_, "InitNervaUPSLib").empty());
    EXPECT_EQ(CallsOf(scratch_, "FreeCOMList").size(), 1u);
}

TEST_F(UpsLoaderTest, ListComPortsCopesWithALibraryLackingFreeCOMList) {
    ASSERT_TRUE(CopyLibrary(scratch_, "missing_exports\\"));
    std::vector<std::string> names;
    EXPECT_EQ(ListComPorts(names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"COM7"});
    EXPECT_FALSE(LibraryLoaded());
}

}  // namespace
