#include <stdexcept>

#include "net/net_event.h"

namespace net {

struct NetEvent::Platform {
    bool created = false;
    short pollEvents = 0;
};

NetEvent::NetEvent(SocketHandle sock) : sock(sock), platform(new Platform) {}

NetEvent::~NetEvent() = default;

// poll() needs no kernel object, so creating one cannot fail here.
void NetEvent::create() { platform->created = true; }

void NetEvent::select(long networkEvents) {
    if (!platform->created || !setBlocking(sock, false)) throw std::runtime_error("event select error");
    short& events = platform->pollEvents;
    events = 0;
    // A closing peer makes the socket readable, as FD_CLOSE does.
    if (networkEvents & (netEventRead | netEventClose)) events |= POLLIN;
    if (networkEvents & netEventWrite) events |= POLLOUT;
}

void NetEvent::close() { platform->created = false; }

// The local shutdown already ends the poll().
void NetEvent::wake() {}

bool NetEvent::wait() {
    if (!platform->created) return false;
    pollfd entry{sock, platform->pollEvents, 0};
    return pollRetrying(&entry, 1, -1) > 0 && (entry.revents & POLLNVAL) == 0;
}

}  // namespace net
