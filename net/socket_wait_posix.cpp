#include "net/compat.h"

namespace net {

namespace {

// The first of the two sockets (`second` may be invalidSocket) that is ready
// or has failed, or -1. poll() has no limit on descriptor numbers.
int waitFor(SocketHandle first, SocketHandle second, short events, int milliseconds) {
    pollfd entries[2] = {{first, events, 0}, {second, events, 0}};
    const int ready = pollRetrying(entries, second != invalidSocket ? 2 : 1, milliseconds);
    if (ready <= 0) return -1;
    return entries[0].revents != 0 ? 0 : 1;
}

}  // namespace

bool waitReadable(SocketHandle sock, int milliseconds) { return waitFor(sock, invalidSocket, POLLIN, milliseconds) >= 0; }

bool waitWritable(SocketHandle sock, int milliseconds) { return waitFor(sock, invalidSocket, POLLOUT, milliseconds) >= 0; }

int waitReadableEither(SocketHandle first, SocketHandle second, int milliseconds) {
    return waitFor(first, second, POLLIN, milliseconds);
}

}  // namespace net
