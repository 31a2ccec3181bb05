// One RAII owner for every kind of handle the program opens. Closing keeps the
// thread's last error, so `GetLastError()` read after a failed call survives cleanup.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "common/win32.h"

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle handle) : handle_(handle) {}
    ~ScopedHandle() { Close(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Handle Get() const { return handle_; }
    bool IsValid() const { return Traits::IsValid(handle_); }
    explicit operator bool() const { return IsValid(); }

    // For out-parameters of the API: closes what is held, then lends the slot.
    Handle* Receive() {
        Close();
        return &handle_;
    }

    Handle Release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    void Reset(Handle handle = Traits::Invalid()) {
        Close();
        handle_ = handle;
    }

    void Close() {
        if (Traits::IsValid(handle_)) {
            DWORD savedError = GetLastError();
            Traits::Close(handle_);
            SetLastError(savedError);
        }
        handle_ = Traits::Invalid();
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Kernel objects whose "no handle" value is null: threads, processes, events, tokens, pipes.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;

// Handles from CreateFile and FindFirstFile, whose "no handle" value is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { FindClose(h); }
};
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;

// Handles from FindFirstChangeNotification.
struct ChangeNotificationTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { FindCloseChangeNotification(h); }
};

struct ServiceHandleTraits {
    using Handle = SC_HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { CloseServiceHandle(h); }
};
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;

struct ModuleHandleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};
using ScopedModuleHandle = ScopedHandle<ModuleHandleTraits>;

struct EventSourceHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { DeregisterEventSource(h); }
};
using ScopedEventSource = ScopedHandle<EventSourceHandleTraits>;

struct StdioFileTraits {
    using Handle = FILE*;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { std::fclose(h); }
};
using ScopedStdioFile = ScopedHandle<StdioFileTraits>;

// Memory the system hands over with LocalAlloc (security descriptors, among others).
struct LocalMemoryTraits {
    using Handle = HLOCAL;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { LocalFree(h); }
};
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;

// Memory the UPS library hands over with malloc; released with the process's free.
template <typename T>
struct MallocTraits {
    using Handle = T*;
    static Handle Invalid() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { std::free(h); }
};
template <typename T>
using ScopedMalloc = ScopedHandle<MallocTraits<T>>;
