#include "net/socket_wait.h"

namespace net {

// poll() has no limit on descriptor numbers.
int waitFor(SocketHandle first, SocketHandle second, bool write, int milliseconds) {
    const short events = write ? POLLOUT : POLLIN;
    pollfd entries[2] = {{first, events, 0}, {second, events, 0}};
    const int ready = pollRetrying(entries, second != invalidSocket ? 2 : 1, milliseconds);
    if (ready <= 0) return -1;
    return entries[0].revents != 0 ? 0 : 1;
}

}  // namespace net
