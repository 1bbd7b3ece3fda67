#include "net/compat.h"

namespace net {

bool lastErrorWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

int lastError() { return WSAGetLastError(); }

// Only the console shows it, and Windows has none.
std::string errorText(int code) { return "error " + std::to_string(code); }

bool lastErrorInProgress() { return WSAGetLastError() == WSAEWOULDBLOCK; }

bool lastErrorPeerLost() {
    int error = WSAGetLastError();
    return error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == WSAENETUNREACH || error == WSAENETRESET;
}

bool setBlocking(SocketHandle sock, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(sock, FIONBIO, &nonBlocking) == 0;
}

int bytesWaiting(SocketHandle sock) {
    u_long count = 0;
    return ::ioctlsocket(sock, FIONREAD, &count) == 0 ? static_cast<int>(count) : 0;
}

void startNetworking() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) closesocket(sock);
}

}  // namespace net
