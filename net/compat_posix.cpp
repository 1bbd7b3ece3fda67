#include "net/compat.h"

namespace net {

bool lastErrorWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

void startNetworking() {}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) ::close(sock);
}

}  // namespace net
