#include <stdexcept>

#include "net/net_event.h"

namespace net {

static_assert(netEventRead == FD_READ && netEventWrite == FD_WRITE && netEventClose == FD_CLOSE,
              "event bits are Winsock's");

struct NetEvent::Platform {
    WSAEVENT event = nullptr;
};

NetEvent::NetEvent(SocketHandle sock) : sock(sock), platform(new Platform) {}

NetEvent::~NetEvent() { close(); }

void NetEvent::create() {
    WSAEVENT& event = platform->event;
    event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        event = nullptr;
        throw std::runtime_error("event error");
    }
}

void NetEvent::select(long networkEvents) {
    if (WSAEventSelect(sock, platform->event, networkEvents) == SOCKET_ERROR)
        throw std::runtime_error("event select error");
}

void NetEvent::close() {
    WSAEVENT& event = platform->event;
    if (event != nullptr) {
        WSACloseEvent(event);
        event = nullptr;
    }
}

void NetEvent::wake() {
    if (platform->event != nullptr) WSASetEvent(platform->event);
}

bool NetEvent::wait() {
    DWORD result = WaitForMultipleObjects(1, &platform->event, FALSE, INFINITE);
    WSAResetEvent(platform->event);
    return result == WAIT_OBJECT_0;
}

}  // namespace net
