// The external command runner, driven with this test program itself as the command:
// started with "--external-command-child <mode> ...", it plays a talkative, slow,
// failing or grandchild-spawning command and ends before any test runs.
#include "monitor/external_command.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/scoped_handle.h"
#include "log/event_log.h"
#include "testing/log_lines.h"
#include "testing/scratch_directory.h"

namespace {

constexpr const char* kChildMarker = " --external-command-child ";

std::string SelfPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof(path));
    return path;
}

std::string ChildCommand(const std::string& arguments) { return "\"" + SelfPath() + "\"" + kChildMarker + arguments; }

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) words.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

void WriteAll(HANDLE handle, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr)) return;
        done += written;
    }
}

// Recognisable bytes, so that a lost or repeated piece shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = (i % 64 == 63) ? '\n' : static_cast<char>('a' + (i / 64) % 26);
    return bytes;
}

std::string DecodeHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

int RunChild(const std::vector<std::string>& args) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::string mode = args.empty() ? "" : args[0];
    if (mode == "write-hex") {
        WriteAll(out, args.size() > 1 ? DecodeHex(args[1]) : "");
        return 0;
    }
    if (mode == "write-both") {
        WriteAll(out, "to stdout\n");
        WriteAll(GetStdHandle(STD_ERROR_HANDLE), "to stderr\n");
        return 0;
    }
    if (mode == "write-pattern") {
        WriteAll(out, Pattern(std::stoul(args.at(1))));
        return 0;
    }
    if (mode == "exit") {
        WriteAll(out, "exiting\n");
        return std::stoi(args.at(1));
    }
    if (mode == "sleep") {  // sleep <ms> <file for our process id, or ->
        if (args.at(2) != "-") {
            ScopedFileHandle pidFile(CreateFileA(args[2].c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
            WriteAll(pidFile.Get(), std::to_string(GetCurrentProcessId()) + "\n");
        }
        Sleep(static_cast<DWORD>(std::stoul(args.at(1))));
        return 0;
    }
    if (mode == "spawn-sleeper") {  // a grandchild that keeps our output pipe open, then we end
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::string command = ChildCommand("sleep 60000 -");
        PROCESS_INFORMATION created = {};
        if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                            &created)) {
            return 9;
        }
        CloseHandle(created.hThread);
        CloseHandle(created.hProcess);
        WriteAll(out, "grandchild " + std::to_string(created.dwProcessId) + "\n");
        return 0;
    }
    return 99;
}

// Runs before main: a child run never reaches the test framework.
struct ChildDispatch {
    ChildDispatch() {
        std::string commandLine = GetCommandLineA();
        size_t marker = commandLine.find(kChildMarker);
        if (marker == std::string::npos) return;
        std::fflush(nullptr);
        ExitProcess(static_cast<UINT>(RunChild(SplitWords(commandLine.substr(marker + std::strlen(kChildMarker))))));
    }
} childDispatch;


// Ends a process that a test left running on purpose.
void TerminateById(DWORD processId) {
    ScopedKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return;
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
}

bool IsRunning(DWORD processId) {
    ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

// The process id a "sleep" child writes into its file as soon as it runs.
DWORD WaitForPidFile(const ScratchDirectory& scratch, const std::string& name) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        std::string text = scratch.ReadFile(name);
        if (!text.empty() && text.back() == '\n') return static_cast<DWORD>(std::stoul(text));
        Sleep(50);
    }
    return 0;
}

// Time allowed beyond a wait's due end for starting the child on a busy machine; far
// below the 30 s the sleeping children would take if the runner waited for them.
constexpr ULONGLONG kSlack = 4000;

class ExternalCommandTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenEventLogFile()); }
    void TearDown() override { CloseEventLogFileForTest(); }

    ULONGLONG Elapsed() const { return GetTickCount64() - begin_; }
    void StartClock() { begin_ = GetTickCount64(); }

    ScratchDirectory scratch_;
    ULONGLONG begin_ = 0;
};

TEST(NormalizeLineEnds, TurnsOnlyCrLfIntoLf) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"a\r\nb\rc\n", "a\nb\rc\n"},
        {"\r\n\r\n", "\n\n"},
        {"\r\r\n", "\r\n"},
        {"\n\r", "\n\r"},
        {"x\r", "x\r"},
        {"\r", "\r"},
        {"", ""},
        {"no line end", "no line end"},
    };
    for (const auto& c : cases) EXPECT_EQ(NormalizeLineEnds(c.text), c.expected) << '"' << c.text << '"';
}

TEST_F(ExternalCommandTest, CapturesOutputWithCrLfTurnedIntoLf) {
    const struct {
        const char* hex;
        const char* expected;
    } cases[] = {
        {"610d0a620d630a", "a\nb\rc\n"},  // a CR LF b CR c LF
        {"0d0a0d0a", "\n\n"},
        {"780d", "x\r"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_NE(RunExternalCommand(ChildCommand(std::string("write-hex ") + c.hex), output, 30), 0) << c.hex;
        EXPECT_EQ(output, c.expected) << c.hex;
    }
    EXPECT_TRUE(EventLogTexts(scratch_).empty());
}

TEST_F(ExternalCommandTest, CapturesStandardOutputAndStandardError) {
    std::string output;
    EXPECT_NE(RunExternalCommand(ChildCommand("write-both"), output, 30), 0);
    EXPECT_EQ(output, "to stdout\nto stderr\n");
}

TEST_F(ExternalCommandTest, NonZeroExitCodeStillCountsAsSuccess) {
    const struct {
        std::string command;
        const char* expected;
    } cases[] = {
        {ChildCommand("exit 7"), "exiting\n"},
        {ChildCommand("exit -1"), "exiting\n"},
        {"cmd.exe /c echo failing& exit 3", "failing\n"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_NE(RunExternalCommand(c.command, output, 30), 0) << c.command;
        EXPECT_EQ(output, c.expected) << c.command;
    }
}

TEST_F(ExternalCommandTest, CommandThatCannotStartIsLoggedAndLeavesOutputAlone) {
    const struct {
        std::string command;
        const char* expectedLine;  // nullptr: any error number
    } cases[] = {
        {"vw-no-such-program-4711.exe", "CreateProcess():ER=2"},
        {"\"" + scratch_.File("missing.exe") + "\" --flag", "CreateProcess():ER=2"},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        CloseEventLogFileForTest();
        DeleteFileA(scratch_.File("EventLog\\EventLog.csv").c_str());
        ASSERT_TRUE(OpenEventLogFile());
        std::string output = "left as it was";
        EXPECT_EQ(RunExternalCommand(c.command, output, 30), 0) << c.command;
        EXPECT_EQ(output, "left as it was") << c.command;
        std::vector<std::string> texts = EventLogTexts(scratch_);
        ASSERT_EQ(texts.size(), 1u) << c.command;
        if (c.expectedLine != nullptr) {
            EXPECT_EQ(texts[0], c.expectedLine);
        } else {
            ASSERT_GT(texts[0].size(), std::string("CreateProcess():ER=").size()) << texts[0];
            EXPECT_EQ(texts[0].rfind("CreateProcess():ER=", 0), 0u) << texts[0];
            EXPECT_EQ(texts[0].find_first_not_of("0123456789", 19), std::string::npos) << texts[0];
        }
    }
}

TEST_F(ExternalCommandTest, TimeLimitZeroGivesUpAtOnceAndLeavesTheCommandRunning) {
    std::string output = "caller text";
    StartClock();
    EXPECT_EQ(RunExternalCommand(ChildCommand("sleep 30000 " + scratch_.File("pid0.txt")), output, 0), 0);
    EXPECT_LT(Elapsed(), kSlack);
    EXPECT_EQ(output, "WaitForSingleObject,TimeOut");
    DWORD child = WaitForPidFile(scratch_, "pid0.txt");
    ASSERT_NE(child, 0u);
    EXPECT_TRUE(IsRunning(child));
    TerminateById(child);
    EXPECT_TRUE(EventLogTexts(scratch_).empty());
}

TEST_F(ExternalCommandTest, CommandOutlastingItsLimitTimesOutOnTime) {
    const int32_t limits[] = {1, 2, -5};
    for (int32_t limit : limits) {
        std::string pidFile = "pid" + std::to_string(limit + 10) + ".txt";
        std::string output;
        StartClock();
        EXPECT_EQ(RunExternalCommand(ChildCommand("sleep 30000 " + scratch_.File(pidFile)), output, limit), 0);
        ULONGLONG expectedMs = limit > 0 ? static_cast<ULONGLONG>(limit) * 1000 : 0;
        EXPECT_GE(Elapsed() + 20, expectedMs) << limit;  // tick granularity
        EXPECT_LT(Elapsed(), expectedMs + kSlack) << limit;
        EXPECT_EQ(output, "WaitForSingleObject,TimeOut") << limit;
        DWORD child = WaitForPidFile(scratch_, pidFile);
        ASSERT_NE(child, 0u);
        EXPECT_TRUE(IsRunning(child)) << limit;
        TerminateById(child);
    }
}

TEST_F(ExternalCommandTest, OutputLargerThanThePipeIsReadWhileTheCommandRuns) {
    const size_t sizes[] = {1024 * 1024, 3 * 1024 * 1024 + 17};
    for (size_t size : sizes) {
        std::string output;
        StartClock();
        EXPECT_NE(RunExternalCommand(ChildCommand("write-pattern " + std::to_string(size)), output, 20), 0) << size;
        EXPECT_LT(Elapsed(), 15000u) << size;
        EXPECT_EQ(output.size(), size);
        EXPECT_TRUE(output == Pattern(size)) << "output differs from what the command wrote, size " << size;
    }
}

TEST_F(ExternalCommandTest, RunawayOutputIsCappedButTheCommandStillFinishes) {
    const size_t size = kExternalCommandOutputLimit + 1024 * 1024;
    std::string output;
    EXPECT_NE(RunExternalCommand(ChildCommand("write-pattern " + std::to_string(size)), output, 60), 0);
    EXPECT_EQ(output.size(), kExternalCommandOutputLimit);
    EXPECT_TRUE(output == Pattern(kExternalCommandOutputLimit)) << "the kept part differs from the command's output";
}

TEST_F(ExternalCommandTest, GrandchildHoldingThePipeDoesNotHoldTheRunner) {
    std::string output;
    StartClock();
    EXPECT_NE(RunExternalCommand(ChildCommand("spawn-sleeper"), output, 20), 0);
    EXPECT_LT(Elapsed(), 10000u);
    ASSERT_EQ(output.rfind("grandchild ", 0), 0u) << output;
    DWORD grandchild = static_cast<DWORD>(std::stoul(output.substr(11)));
    EXPECT_TRUE(IsRunning(grandchild));
    TerminateById(grandchild);
}

TEST_F(ExternalCommandTest, WakeEventEndsTheWaitAtOnce) {
    ScopedKernelHandle wake(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(wake);
    const struct {
        DWORD signalAfterMs;  // 0: signalled before the runner starts
        const char* pidFile;
    } cases[] = {{500, "pidw1.txt"}, {0, "pidw2.txt"}};
    for (const auto& c : cases) {
        ResetEvent(wake.Get());
        if (c.signalAfterMs == 0) SetEvent(wake.Get());
        std::thread stopper([&] {
            if (c.signalAfterMs == 0) return;
            Sleep(c.signalAfterMs);
            SetEvent(wake.Get());
        });
        std::string output;
        StartClock();
        int32_t result =
            RunExternalCommand(ChildCommand(std::string("sleep 30000 ") + scratch_.File(c.pidFile)), output, 60, wake.Get());
        ULONGLONG elapsed = Elapsed();
        stopper.join();
        EXPECT_EQ(result, 0) << c.signalAfterMs;
        EXPECT_EQ(output, "WaitForSingleObject,TimeOut") << c.signalAfterMs;
        EXPECT_GE(elapsed + 20, c.signalAfterMs);
        EXPECT_LT(elapsed, c.signalAfterMs + kSlack) << c.signalAfterMs;
        DWORD child = WaitForPidFile(scratch_, c.pidFile);
        ASSERT_NE(child, 0u);
        TerminateById(child);
    }
}

TEST_F(ExternalCommandTest, UnsignalledWakeEventLetsTheCommandFinish) {
    ScopedKernelHandle wake(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(wake);
    std::string output;
    EXPECT_NE(RunExternalCommand(ChildCommand("exit 0"), output, 30, wake.Get()), 0);
    EXPECT_EQ(output, "exiting\n");
}

}  // namespace
