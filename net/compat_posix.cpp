#include "net/compat.h"

namespace net {

int lastError() { return errno; }

bool lastErrorWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

void startNetworking() {}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) ::close(sock);
}

}  // namespace net
