#include "net/compat.h"

namespace net {

bool lastErrorWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

bool lastErrorInProgress() { return WSAGetLastError() == WSAEWOULDBLOCK; }

bool lastErrorPeerLost() {
    int error = WSAGetLastError();
    return error == WSAETIMEDOUT || error == WSAEHOSTUNREACH || error == WSAENETUNREACH || error == WSAENETRESET;
}

void setBlocking(SocketHandle sock, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ::ioctlsocket(sock, FIONBIO, &nonBlocking);
}

void startNetworking() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) closesocket(sock);
}

}  // namespace net
