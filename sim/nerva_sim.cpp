// The UPS simulator: a stand-in NervaUPSLib.dll whose UPS is steered by NervaUPSSim.ini
// in its own folder. It hands out device handles like the maker's library, calls the
// host's event callback on a thread of its own and logs every call the host makes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/scoped_handle.h"
#include "common/win32.h"
#include "sim_call_log.h"
#include "sim_control.h"
#include "sim_control_watch.h"
#include "ups/ups_library.h"

#define SIM_EXPORT extern "C" __declspec(dllexport)

namespace {

// Handles lie above 2^32 on purpose: a host that keeps only 32 bits of them loses its UPS.
constexpr int64_t kUsbHandleBase = int64_t(0x10) << 36;
constexpr int64_t kComHandleBase = int64_t(0x20) << 36;

constexpr int32_t kErrorFileNotFound = 2;      // no such port
constexpr int32_t kErrorInvalidHandle = 6;     // a handle not handed out, closed or lost
constexpr int32_t kErrorAccessDenied = 5;      // port refused or already open
constexpr int32_t kErrorInvalidParameter = 87;
constexpr int32_t kErrorTimeout = 1460;        // the port opened but no UPS answered

// While the control file is too new to trust its stamp (or could not be read), and where
// the folder cannot be watched, the event thread looks at it this often.
constexpr DWORD kControlRecheckMs = 100;
constexpr DWORD kFinishWaitMs = 5000;
constexpr int kPeriodsPerPercent = 10;  // the battery drains 1 % every 10 measurement periods

struct Device {
    int64_t Handle = 0;
    bool IsCom = false;
    std::string Port;
    bool EventsOn = false;     // the device's events reach the callback
    bool LostPending = false;  // the UPS is gone; code 2 is still to be sent
    bool Dead = false;         // lost and reported: no more events, calls fail
    bool ToldMainsOn = true;
    int ToldLowEpisode = 0;
    ULONGLONG EventsSince = 0;  // GetTickCount64() when its events began
};

// Each event thread owns its context; Finish signals it and the thread frees it.
struct EventThread {
    HANDLE StopEvent = nullptr;
    HANDLE WakeEvent = nullptr;  // a host call changed what the UPS has to say
    HANDLE Thread = nullptr;
    HMODULE Self = nullptr;
};

struct Delivery {
    int64_t Handle;
    int32_t Code;
    StatusRecord* Record;  // code 60 only; ownership passes to the callback
};

struct SimState {
    SRWLOCK Lock = SRWLOCK_INIT;
    // Held over a whole look at the control file and the taking of its content, so that
    // a content read earlier is never taken after a later one. Taken before Lock, never after.
    SRWLOCK RefreshLock = SRWLOCK_INIT;
    ControlFileWatch Watch{SimFolder() + "NervaUPSSim.ini"};
    bool ControlLoaded = false;
    std::string ControlText;
    SimControl Control;

    NervaEventCallback Callback = nullptr;
    EventThread* Thread = nullptr;

    std::string Presence;         // "USB", a port name in upper case, or "" for none
    int64_t Generation = 0;       // a new arrival of the UPS gets new handles
    int64_t UsbHandle = 0;        // the USB handle of this arrival, once handed out
    int64_t NextComSerial = 1;
    std::vector<Device> Devices;

    double BatteryLevel = 100.0;
    int LowEpisode = 0;           // counts the times BATTERY_LOW turned on
    bool OneShotPending = false;
    int32_t OneShotCode = 0;
    std::vector<char**> ComLists;  // handed out by GetCOMList, not yet freed
    uint64_t Tick = 0;
};

SimState* state = nullptr;

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&state->Lock); }
    ~Locked() { ReleaseSRWLockExclusive(&state->Lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

std::string PresenceOf(const SimControl& control) {
    if (control.Lost) return std::string();
    std::string where = UpperAscii(control.PresentOn);
    return where == "NONE" ? std::string() : where;
}

// Tells the event thread that a host call changed what the UPS has to say (a new control
// content, a handle handed out or given events), so it speaks before the next record as
// it would on a real bus. Called with the lock held.
void WakeEventThread() {
    if (state->Thread != nullptr) SetEvent(state->Thread->WakeEvent);
}

// Takes a new control text: state changes that are edges (the UPS arriving or leaving,
// a battery level set, battery low turning on, a new one-shot) act here once.
void ApplyControl(const std::string& text) {
    if (state->ControlLoaded && text == state->ControlText) return;
    SimControl next = ParseSimControl(text);
    const SimControl previous = state->Control;
    bool first = !state->ControlLoaded;

    std::string presence = PresenceOf(next);
    if (first) {
        state->Presence = presence;
    } else if (presence != state->Presence) {
        for (Device& device : state->Devices) {
            if (device.Dead) continue;
            if (device.EventsOn) {
                device.LostPending = true;
            } else {
                device.Dead = true;
            }
        }
        state->Presence = presence;
        ++state->Generation;
        state->UsbHandle = 0;
    }
    if (first || next.Battery != previous.Battery) state->BatteryLevel = next.Battery;
    if (next.BatteryLow && (first || !previous.BatteryLow)) ++state->LowEpisode;
    if (next.HasEvent && (first || !previous.HasEvent || next.Event != previous.Event ||
                          next.EventSeq != previous.EventSeq)) {
        state->OneShotPending = true;
        state->OneShotCode = next.Event;
    }

    state->Control = next;
    state->ControlText = text;
    state->ControlLoaded = true;
    WakeEventThread();
}

// Brings the state up to the control file as it is now: called by every host call whose
// answer depends on it and on every wake of the event thread. Returns true while the
// file wants another look soon even if no change is signalled.
bool RefreshControl() {
    AcquireSRWLockExclusive(&state->RefreshLock);
    std::string text;
    ControlFileWatch::Look look = state->Watch.LookAt(text);
    if (look == ControlFileWatch::Look::Read || (look == ControlFileWatch::Look::Unreadable && !state->ControlLoaded)) {
        // A file that cannot be read before anything was taken stands for the default UPS
        // until it can be.
        Locked lock;
        ApplyControl(look == ControlFileWatch::Look::Read ? text : std::string());
    }
    bool again = state->Watch.WantsAnotherLook();
    ReleaseSRWLockExclusive(&state->RefreshLock);
    return again;
}

Device* FindDevice(int64_t handle) {
    for (Device& device : state->Devices) {
        if (device.Handle == handle) return &device;
    }
    return nullptr;
}

Device* FindUsableDevice(int64_t handle) {
    Device* device = FindDevice(handle);
    return device != nullptr && !device->Dead ? device : nullptr;
}

int32_t CurrentBatteryLevel() {
    int32_t level = static_cast<int32_t>(state->BatteryLevel + 0.5);
    return level < 0 ? 0 : (level > 100 ? 100 : level);
}

StatusRecord* NewRecord() {
    StatusRecord* record = static_cast<StatusRecord*>(std::calloc(1, sizeof(StatusRecord)));
    if (record == nullptr) return nullptr;
    const SimControl& control = state->Control;
    int wobble = static_cast<int>(state->Tick % 5);
    int level = CurrentBatteryLevel();
    if (control.MainsOn) {
        std::snprintf(record->Field1, sizeof(record->Field1), "100.%d", wobble * 2);
        std::snprintf(record->Field2, sizeof(record->Field2), "60.0");
        std::snprintf(record->Field4, sizeof(record->Field4), "60.0");
    } else {
        // On battery the input reads nothing, and the output frequency is left empty,
        // as it follows the input frequency that is now unknown.
        std::snprintf(record->Field1, sizeof(record->Field1), "0.0");
        std::snprintf(record->Field2, sizeof(record->Field2), "--.-");
    }
    std::snprintf(record->Field3, sizeof(record->Field3), "100.0");
    std::snprintf(record->Field5, sizeof(record->Field5), "%d", 25 + wobble);
    std::snprintf(record->Field6, sizeof(record->Field6), "%d", 28);
    std::snprintf(record->Field7, sizeof(record->Field7), "%d.%d", 12 + (level * 16) / 1000,
                  ((level * 16) / 100) % 10);
    record->MainsFailed = control.MainsOn ? 0 : 1;
    return record;
}

// HOLD_FIRST_RECORD_MS: a new handle gets no record before its hold has passed, and a low
// battery only from halfway through it (by then the host has taken the handle), so the
// host hears code 5 on a new connection before any record.
bool Holding(const Device& device, ULONGLONG now, int32_t part) {
    const ULONGLONG hold = static_cast<ULONGLONG>(state->Control.HoldFirstRecordMs);
    return hold != 0 && now < device.EventsSince + hold / static_cast<ULONGLONG>(part);
}

// Gathers what the UPS has to say now; called with the lock held.
void CollectChanges(std::vector<Delivery>& out, ULONGLONG now) {
    if (state->Control.Silent) return;
    bool anyLive = false;
    for (Device& device : state->Devices) {
        if (!device.EventsOn || device.Dead) continue;
        if (device.LostPending) {
            device.LostPending = false;
            device.Dead = true;
            out.push_back({device.Handle, kUpsEventDeviceLost, nullptr});
            continue;
        }
        anyLive = true;
        if (device.ToldMainsOn != state->Control.MainsOn) {
            device.ToldMainsOn = state->Control.MainsOn;
            out.push_back({device.Handle, device.ToldMainsOn ? kUpsEventMainsRestored : kUpsEventMainsFailed, nullptr});
        }
        if (state->Control.BatteryLow && device.ToldLowEpisode != state->LowEpisode && !Holding(device, now, 2)) {
            device.ToldLowEpisode = state->LowEpisode;
            out.push_back({device.Handle, kUpsEventBatteryLow, nullptr});
        }
    }
    if (state->OneShotPending && anyLive) {
        state->OneShotPending = false;
        for (const Device& device : state->Devices) {
            if (device.EventsOn && !device.Dead) out.push_back({device.Handle, state->OneShotCode, nullptr});
        }
    }
}

void CollectMeasurements(std::vector<Delivery>& out, ULONGLONG now) {
    ++state->Tick;
    double target = state->Control.Battery;
    double step = 1.0 / kPeriodsPerPercent;
    if (!state->Control.MainsOn) {
        state->BatteryLevel = state->BatteryLevel > step ? state->BatteryLevel - step : 0.0;
    } else if (state->BatteryLevel < target) {
        state->BatteryLevel = state->BatteryLevel + step < target ? state->BatteryLevel + step : target;
    }
    if (state->Control.Silent) return;
    for (const Device& device : state->Devices) {
        if (!device.EventsOn || device.Dead || device.LostPending) continue;
        out.push_back({device.Handle, kUpsEventAlive, nullptr});
        if (!Holding(device, now, 1)) out.push_back({device.Handle, kUpsEventMeasurement, NewRecord()});
    }
}

void FreeDeliveries(std::vector<Delivery>& deliveries, size_t from) {
    for (size_t i = from; i < deliveries.size(); ++i) std::free(deliveries[i].Record);
}

// A notification whenever a file in the simulator's folder is written, created, renamed or
// deleted: the event thread sleeps until then, the next record or a host call's wake,
// instead of looking at the control file on a timer.
ScopedHandle<ChangeNotificationTraits> WatchSimFolder() {
    return ScopedHandle<ChangeNotificationTraits>(FindFirstChangeNotificationA(
        SimFolder().c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE));
}

DWORD WINAPI EventThreadMain(LPVOID parameter) {
    EventThread* self = static_cast<EventThread*>(parameter);
    ScopedHandle<ChangeNotificationTraits> folderChanged = WatchSimFolder();
    ULONGLONG nextMeasurement = 0;
    for (;;) {
        bool lookSoon = RefreshControl() || !folderChanged;
        ULONGLONG now = GetTickCount64();
        std::vector<Delivery> deliveries;
        NervaEventCallback callback = nullptr;
        {
            Locked lock;
            CollectChanges(deliveries, now);
            if (now >= nextMeasurement) {
                CollectMeasurements(deliveries, now);
                nextMeasurement = now + static_cast<ULONGLONG>(state->Control.MeasurementPeriodMs);
            }
            callback = state->Callback;
            // A hold under way is looked at again soon, so its end is not missed by a period.
            for (const Device& device : state->Devices) lookSoon = lookSoon || Holding(device, now, 1);
        }
        for (size_t i = 0; i < deliveries.size(); ++i) {
            const Delivery& delivery = deliveries[i];
            if (callback == nullptr || WaitForSingleObject(self->StopEvent, 0) != WAIT_TIMEOUT) {
                FreeDeliveries(deliveries, i);
                break;
            }
            if (delivery.Code != kUpsEventAlive && delivery.Code != kUpsEventMeasurement) {
                WriteCallLog("Event", "device=" + std::to_string(delivery.Handle) + ",code=" +
                                          std::to_string(delivery.Code));
            }
            callback(delivery.Handle, delivery.Code, delivery.Record);
        }

        now = GetTickCount64();
        ULONGLONG untilMeasurement = nextMeasurement > now ? nextMeasurement - now : 0;
        DWORD timeout = static_cast<DWORD>(untilMeasurement);
        if (lookSoon && timeout > kControlRecheckMs) timeout = kControlRecheckMs;
        HANDLE wakers[3] = {self->StopEvent, self->WakeEvent, folderChanged.Get()};
        DWORD woke = WaitForMultipleObjects(folderChanged ? 3 : 2, wakers, FALSE, timeout);
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 2 && !FindNextChangeNotification(folderChanged.Get())) {
            folderChanged.Close();  // from now on the control file is looked at on a timer
        }
        if (woke == WAIT_FAILED) Sleep(kControlRecheckMs);  // never spin on a broken wait
    }
    HMODULE module = self->Self;
    folderChanged.Close();
    CloseHandle(self->StopEvent);
    CloseHandle(self->WakeEvent);
    delete self;
    // The thread holds its own reference on the library, so a host that unloads without
    // FinishNervaUPSLib never pulls the code from under it; this drops that reference.
    FreeLibraryAndExitThread(module, 0);
}

// Starts the event thread unless one runs; called with the lock held.
void StartEventThread() {
    if (state->Thread != nullptr) return;
    EventThread* thread = new EventThread;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&EventThreadMain),
                            &thread->Self)) {
        delete thread;
        return;
    }
    thread->StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread->WakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (thread->StopEvent != nullptr && thread->WakeEvent != nullptr) {
        thread->Thread = CreateThread(nullptr, 0, EventThreadMain, thread, 0, nullptr);
    }
    if (thread->Thread == nullptr) {
        if (thread->StopEvent != nullptr) CloseHandle(thread->StopEvent);
        if (thread->WakeEvent != nullptr) CloseHandle(thread->WakeEvent);
        FreeLibrary(thread->Self);
        delete thread;
        return;
    }
    state->Thread = thread;
}

// Stops the event thread and waits for it, except on the thread itself or when it is
// stuck in the host's callback for longer than a host could want to wait.
void StopEventThread() {
    HANDLE thread = nullptr;
    {
        Locked lock;
        if (state->Thread == nullptr) return;
        // Once signalled, the thread may free its context at any moment: read it first.
        thread = state->Thread->Thread;
        SetEvent(state->Thread->StopEvent);
        state->Thread = nullptr;
    }
    if (GetThreadId(thread) != GetCurrentThreadId()) WaitForSingleObject(thread, kFinishWaitMs);
    CloseHandle(thread);
}

std::string DeviceText(int64_t handle) { return "device=" + std::to_string(handle); }

std::string ResultText(int32_t result) { return "result=" + std::to_string(result); }

// A library that hangs: while BLOCK names `entry`, the call does not return. The call
// log says when it begins to hang; the control file is looked at again every 100 ms.
void HangWhileBlocked(const char* entry) {
    bool logged = false;
    for (;;) {
        RefreshControl();
        bool blocked = false;
        {
            Locked lock;
            blocked = BlocksEntry(state->Control, entry);
        }
        if (!blocked) return;
        if (!logged) WriteCallLog(entry, "state=blocked");
        logged = true;
        Sleep(100);
    }
}

}  // namespace

SIM_EXPORT int32_t InitNervaUPSLib(NervaEventCallback callback) {
    HangWhileBlocked("InitNervaUPSLib");
    RefreshControl();
    {
        Locked lock;
        state->Callback = callback;
        if (callback != nullptr) StartEventThread();
    }
    WriteCallLog("InitNervaUPSLib", std::string("callback=") + (callback ? "set" : "null") + ",result=0");
    return 0;
}

SIM_EXPORT int32_t FinishNervaUPSLib() {
    HangWhileBlocked("FinishNervaUPSLib");
    StopEventThread();
    {
        Locked lock;
        state->Callback = nullptr;
        state->Devices.clear();
        state->UsbHandle = 0;
    }
    WriteCallLog("FinishNervaUPSLib", "result=0");
    return 0;
}

SIM_EXPORT int32_t GetUPSList(int64_t** devices, int32_t* count) {
    HangWhileBlocked("GetUPSList");
    if (devices == nullptr || count == nullptr) {
        WriteCallLog("GetUPSList", ResultText(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    RefreshControl();
    int64_t handle = 0;
    {
        Locked lock;
        if (state->Presence == "USB") {
            if (state->UsbHandle == 0) {
                state->UsbHandle = kUsbHandleBase + state->Generation + 1;
                Device device;
                device.Handle = state->UsbHandle;
                device.EventsOn = true;
                device.EventsSince = GetTickCount64();
                device.ToldMainsOn = state->Control.MainsOn;
                state->Devices.push_back(device);
                WakeEventThread();
            }
            handle = state->UsbHandle;
        }
    }
    *devices = nullptr;
    *count = 0;
    if (handle != 0) {
        int64_t* list = static_cast<int64_t*>(std::malloc(sizeof(int64_t)));
        if (list == nullptr) {
            WriteCallLog("GetUPSList", ResultText(ERROR_NOT_ENOUGH_MEMORY));
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        list[0] = handle;
        *devices = list;
        *count = 1;
    }
    WriteCallLog("GetUPSList", "count=" + std::to_string(*count) + ",devices=" +
                                   (handle != 0 ? std::to_string(handle) : std::string()) + ",result=0");
    return 0;
}

SIM_EXPORT int32_t GetCOMList(char*** names, int32_t* count) {
    HangWhileBlocked("GetCOMList");
    if (names == nullptr || count == nullptr) {
        WriteCallLog("GetCOMList", ResultText(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    RefreshControl();
    std::vector<std::string> ports;
    {
        Locked lock;
        ports = state->Control.Ports;
    }
    *names = nullptr;
    *count = 0;
    std::string shown;
    if (!ports.empty()) {
        // Null-terminated, so that FreeCOMList needs nothing but the array.
        char** list = static_cast<char**>(std::calloc(ports.size() + 1, sizeof(char*)));
        if (list == nullptr) {
            WriteCallLog("GetCOMList", ResultText(ERROR_NOT_ENOUGH_MEMORY));
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            list[i] = static_cast<char*>(std::malloc(ports[i].size() + 1));
            if (list[i] != nullptr) std::memcpy(list[i], ports[i].c_str(), ports[i].size() + 1);
            shown += (i ? ";" : "") + LogText(ports[i]);
        }
        {
            Locked lock;
            state->ComLists.push_back(list);
        }
        *names = list;
        *count = static_cast<int32_t>(ports.size());
    }
    WriteCallLog("GetCOMList", "count=" + std::to_string(*count) + ",names=" + shown + ",result=0");
    return 0;
}

SIM_EXPORT int32_t FreeCOMList(char** names) {
    bool known = false;
    {
        Locked lock;
        for (size_t i = 0; i < state->ComLists.size(); ++i) {
            if (state->ComLists[i] == names) {
                state->ComLists.erase(state->ComLists.begin() + static_cast<std::ptrdiff_t>(i));
                known = true;
                break;
            }
        }
    }
    if (!known) {
        // Never free what this library did not hand out.
        WriteCallLog("FreeCOMList", "count=,result=" + std::to_string(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    int32_t count = 0;
    for (char** name = names; *name != nullptr; ++name, ++count) std::free(*name);
    std::free(names);
    WriteCallLog("FreeCOMList", "count=" + std::to_string(count) + ",result=0");
    return 0;
}

SIM_EXPORT int32_t OpenCOM(const char* port, int64_t* device) {
    HangWhileBlocked("OpenCOM");
    if (port == nullptr || device == nullptr) {
        WriteCallLog("OpenCOM", ResultText(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    RefreshControl();
    std::string name = port;
    int32_t result = 0;
    int64_t handle = 0;
    {
        Locked lock;
        const SimControl& control = state->Control;
        bool exists = SamePortName(name, control.PresentOn);
        for (const std::string& listed : control.Ports) exists = exists || SamePortName(name, listed);
        bool refused = false;
        for (const std::string& failing : control.OpenComFail) refused = refused || SamePortName(name, failing);
        bool inUse = false;
        for (const Device& open : state->Devices) inUse = inUse || (open.IsCom && SamePortName(open.Port, name));

        if (!exists || UpperAscii(name) == "USB" || UpperAscii(name) == "NONE") {
            result = kErrorFileNotFound;
        } else if (refused || inUse) {
            result = kErrorAccessDenied;
        } else if (state->Presence != UpperAscii(name)) {
            result = kErrorTimeout;
        } else {
            handle = kComHandleBase + state->NextComSerial++;
            Device opened;
            opened.Handle = handle;
            opened.IsCom = true;
            opened.Port = name;
            opened.ToldMainsOn = control.MainsOn;
            state->Devices.push_back(opened);
            *device = handle;
        }
    }
    WriteCallLog("OpenCOM", "port=" + LogText(name) + "," + DeviceText(handle) + "," + ResultText(result));
    return result;
}

SIM_EXPORT int32_t StartEventThreadForCOM(int64_t device) {
    HangWhileBlocked("StartEventThreadForCOM");
    RefreshControl();
    int32_t result = 0;
    {
        Locked lock;
        Device* open = FindUsableDevice(device);
        if (open == nullptr || !open->IsCom) {
            result = kErrorInvalidHandle;
        } else if (state->Control.StartEventThreadResult != 0) {
            result = state->Control.StartEventThreadResult;
        } else if (!open->EventsOn) {
            open->EventsOn = true;
            open->EventsSince = GetTickCount64();
            open->ToldMainsOn = state->Control.MainsOn;
            WakeEventThread();
        }
    }
    WriteCallLog("StartEventThreadForCOM", DeviceText(device) + "," + ResultText(result));
    return result;
}

SIM_EXPORT int32_t CloseCOM(int64_t device) {
    HangWhileBlocked("CloseCOM");
    int32_t result = kErrorInvalidHandle;
    {
        Locked lock;
        for (size_t i = 0; i < state->Devices.size(); ++i) {
            if (state->Devices[i].Handle == device && state->Devices[i].IsCom) {
                state->Devices.erase(state->Devices.begin() + static_cast<std::ptrdiff_t>(i));
                result = 0;
                break;
            }
        }
    }
    WriteCallLog("CloseCOM", DeviceText(device) + "," + ResultText(result));
    return result;
}

SIM_EXPORT int32_t GetModelName(int64_t device, char** model) {
    HangWhileBlocked("GetModelName");
    if (model == nullptr) {
        WriteCallLog("GetModelName", DeviceText(device) + "," + ResultText(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    RefreshControl();
    int32_t result = 0;
    std::string name;
    {
        Locked lock;
        if (FindUsableDevice(device) == nullptr) {
            result = kErrorInvalidHandle;
        } else if (state->Control.GetModelNameResult != 0) {
            result = state->Control.GetModelNameResult;
        } else {
            name = state->Control.Model;
        }
    }
    if (result == 0) {
        char* copy = static_cast<char*>(std::malloc(name.size() + 1));
        if (copy == nullptr) {
            result = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            std::memcpy(copy, name.c_str(), name.size() + 1);
            *model = copy;
        }
    }
    WriteCallLog("GetModelName", DeviceText(device) + ",model=" + (result == 0 ? LogText(name) : std::string()) +
                                     "," + ResultText(result));
    return result;
}

SIM_EXPORT int32_t GetCurrentBatteryLevel(int64_t device, int32_t* level) {
    HangWhileBlocked("GetCurrentBatteryLevel");
    if (level == nullptr) {
        WriteCallLog("GetCurrentBatteryLevel", DeviceText(device) + "," + ResultText(kErrorInvalidParameter));
        return kErrorInvalidParameter;
    }
    int32_t result = 0;
    int32_t value = 0;
    {
        Locked lock;
        if (FindUsableDevice(device) == nullptr) {
            result = kErrorInvalidHandle;
        } else {
            value = CurrentBatteryLevel();
            *level = value;
        }
    }
    // Asked with every record: logged when the answer differs from the last line, so the
    // first query after a connect or an event, and every change of the level, is seen.
    WriteCallLog("GetCurrentBatteryLevel",
                 DeviceText(device) + ",level=" + (result == 0 ? std::to_string(value) : "") + "," + ResultText(result),
                 CallLogRepeats::Skipped);
    return result;
}

SIM_EXPORT int32_t Shutdown(int64_t device, int32_t backupTime) {
    HangWhileBlocked("Shutdown");
    RefreshControl();
    int32_t result = 0;
    {
        Locked lock;
        result = FindUsableDevice(device) == nullptr ? kErrorInvalidHandle : state->Control.ShutdownResult;
    }
    WriteCallLog("Shutdown", DeviceText(device) + ",backupTime=" + std::to_string(backupTime) + "," + ResultText(result));
    return result;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        char path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameA(instance, path, sizeof(path));
        std::string full(path, length < sizeof(path) ? length : 0);
        size_t slash = full.find_last_of("\\/");
        SetSimFolder(slash == std::string::npos ? std::string() : full.substr(0, slash + 1));
        state = new (std::nothrow) SimState;
        return state != nullptr;
    }
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: no event thread can be running, as each one holds a
        // reference on the library until it has left. At process exit (reserved set)
        // the state is left alone: other threads were cut off wherever they stood.
        delete state;
        state = nullptr;
    }
    return TRUE;
}
