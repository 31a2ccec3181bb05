// Winsock for the network UPS protocol server: the one place that includes it, and
// the owner of a socket.
#pragma once

#include "common/win32.h"  // first: pins the Windows version and keeps the old winsock.h out

#include <winsock2.h>
#include <ws2tcpip.h>

#include "common/scoped_handle.h"

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static bool IsValid(Handle s) { return s != INVALID_SOCKET; }
    static void Close(Handle s) { closesocket(s); }
};
using ScopedSocket = ScopedHandle<SocketTraits>;
