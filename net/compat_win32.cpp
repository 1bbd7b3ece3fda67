#include "net/compat.h"

namespace net {

bool lastErrorWouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

void startNetworking() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) closesocket(sock);
}

}  // namespace net
