// Winsock for the network UPS protocol's server and client: the one place that includes
// it, the owner of a socket and the owner of one use of Winsock.
#pragma once

#include "common/win32.h"  // first: pins the Windows version and keeps the old winsock.h out

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "common/scoped_handle.h"

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static bool IsValid(Handle s) { return s != INVALID_SOCKET; }
    static void Close(Handle s) { closesocket(s); }
};
using ScopedSocket = ScopedHandle<SocketTraits>;

// One user's hold on Winsock: WSAStartup when made, WSACleanup when destroyed if it started.
// Winsock counts its users, so the server, the client and tests each hold their own.
class WinsockUse {
public:
    WinsockUse();
    ~WinsockUse();
    WinsockUse(const WinsockUse&) = delete;
    WinsockUse& operator=(const WinsockUse&) = delete;

    bool Started() const { return error_ == 0; }
    uint32_t Error() const { return error_; }  // WSAStartup's result; 0 when started

private:
    uint32_t error_ = 0;
};
