// Test support for the UPS library tests: the simulator copied into a scratch folder,
// its control file, its call log, and a recorder for the events it sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <malloc.h>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/win32.h"
#include "testing/scratch_directory.h"
#include "ups/ups_library.h"

namespace ups_test {

// A build folder given as a Linux path, as Wine's programs see it (drive Z: is the root).
inline std::string WindowsPath(const std::string& path) {
    std::string result = path;
    for (char& c : result) {
        if (c == '/') c = '\\';
    }
    if (result.size() > 1 && result[1] == ':') return result;
    return "Z:" + result;
}

// Copies a built library into the scratch folder as NervaUPSLib.dll. `subfolder` picks
// a variant beside the simulator ("missing_exports\\").
inline bool CopyLibrary(const ScratchDirectory& scratch, const std::string& subfolder = std::string()) {
    std::string source = WindowsPath(VW_SIM_DIR) + "\\" + subfolder + "NervaUPSLib.dll";
    return CopyFileA(source.c_str(), scratch.File("NervaUPSLib.dll").c_str(), FALSE) != 0;
}

// Replaces the control file in one step, as a careful writer would. The simulator may
// hold the old file open for a moment, which makes the replacement fail: try again.
inline void WriteControl(const ScratchDirectory& scratch, const std::string& text) {
    scratch.WriteFile("NervaUPSSim.ini.new", text);
    DWORD error = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (MoveFileExA(scratch.File("NervaUPSSim.ini.new").c_str(), scratch.File("NervaUPSSim.ini").c_str(),
                        MOVEFILE_REPLACE_EXISTING)) {
            return;
        }
        error = GetLastError();
        Sleep(10);
    }
    ADD_FAILURE() << "cannot replace the control file, error " << error;
}

// Polls `condition` until it holds or `timeoutMs` have passed.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline bool LibraryLoaded() { return GetModuleHandleA("NervaUPSLib.dll") != nullptr; }

// One line of the call log: "<date> <time.ms>,<pid>,<entry>,<name>=<value>,...".
struct CallLogLine {
    std::string Stamp;
    std::string Pid;
    std::string Entry;
    std::map<std::string, std::string> Values;
};

inline std::vector<CallLogLine> ReadCallLog(const ScratchDirectory& scratch) {
    std::vector<CallLogLine> lines;
    std::istringstream in(scratch.ReadFile("NervaUPSSim.log"));
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        std::vector<std::string> items;
        std::istringstream fields(text);
        std::string item;
        while (std::getline(fields, item, ',')) items.push_back(item);
        CallLogLine line;
        if (items.size() >= 1) line.Stamp = items[0];
        if (items.size() >= 2) line.Pid = items[1];
        if (items.size() >= 3) line.Entry = items[2];
        for (size_t i = 3; i < items.size(); ++i) {
            size_t equals = items[i].find('=');
            line.Values[items[i].substr(0, equals)] = equals == std::string::npos ? "" : items[i].substr(equals + 1);
        }
        lines.push_back(line);
    }
    return lines;
}

inline std::vector<CallLogLine> CallsOf(const ScratchDirectory& scratch, const std::string& entry) {
    std::vector<CallLogLine> found;
    for (const CallLogLine& line : ReadCallLog(scratch)) {
        if (line.Entry == entry) found.push_back(line);
    }
    return found;
}

// What the simulator sent to the event callback, in order.
struct ReceivedEvent {
    int64_t Device;
    int32_t Code;
    bool HasRecord;
    StatusRecord Record;
    size_t RecordBlockSize;  // _msize of the record, read with this program's CRT
};

class EventRecorder {
public:
    static EventRecorder& Instance() {
        static EventRecorder recorder;
        return recorder;
    }

    static void Callback(int64_t device, int32_t code, void* data) {
        ReceivedEvent event{device, code, false, StatusRecord(), 0};
        if (code == kUpsEventMeasurement && data != nullptr) {
            event.HasRecord = true;
            event.RecordBlockSize = _msize(data);
            std::memcpy(&event.Record, data, sizeof(StatusRecord));
            std::free(data);
        }
        EventRecorder& self = Instance();
        std::lock_guard<std::mutex> guard(self.lock_);
        self.events_.push_back(event);
    }

    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        events_.clear();
    }

    std::vector<ReceivedEvent> Events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }

    size_t Size() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_.size();
    }

    size_t Count(int32_t code, int64_t device) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t count = 0;
        for (const ReceivedEvent& event : events_) {
            if (event.Code == code && event.Device == device) ++count;
        }
        return count;
    }

private:
    std::mutex lock_;
    std::vector<ReceivedEvent> events_;
};

}  // namespace ups_test
