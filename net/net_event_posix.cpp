#include <fcntl.h>

#include <stdexcept>

#include "net/net_event.h"

namespace net {

// poll() needs no kernel object, so creating one cannot fail here.
void NetEvent::create() { created = true; }

void NetEvent::select(long networkEvents) {
    int flags = ::fcntl(sock, F_GETFL);
    if (!created || flags < 0 || ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
        throw std::runtime_error("event select error");
    pollEvents = 0;
    // A closing peer makes the socket readable, as FD_CLOSE does.
    if (networkEvents & (netEventRead | netEventClose)) pollEvents |= POLLIN;
    if (networkEvents & netEventWrite) pollEvents |= POLLOUT;
}

void NetEvent::close() { created = false; }

bool NetEvent::holdsEvent() const { return created; }

// The local shutdown already ends the poll().
void NetEvent::wake() {}

bool NetEvent::wait() {
    if (!created) return false;
    pollfd entry{sock, pollEvents, 0};
    return pollRetrying(&entry, 1, -1) > 0 && (entry.revents & POLLNVAL) == 0;
}

}  // namespace net
