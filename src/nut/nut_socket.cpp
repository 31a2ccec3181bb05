#include "nut/nut_socket.h"

WinsockUse::WinsockUse() {
    WSADATA data;
    error_ = static_cast<uint32_t>(WSAStartup(MAKEWORD(2, 2), &data));
}

WinsockUse::~WinsockUse() {
    if (Started()) WSACleanup();
}
