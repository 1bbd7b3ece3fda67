#include <stdexcept>

#include "net/net_event.h"

namespace net {

static_assert(netEventRead == FD_READ && netEventWrite == FD_WRITE && netEventClose == FD_CLOSE,
              "event bits are Winsock's");

void NetEvent::create() {
    event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        event = nullptr;
        throw std::runtime_error("event error");
    }
}

void NetEvent::select(long networkEvents) {
    if (WSAEventSelect(sock, event, networkEvents) == SOCKET_ERROR)
        throw std::runtime_error("event select error");
}

void NetEvent::close() {
    if (event != nullptr) {
        WSACloseEvent(event);
        event = nullptr;
    }
}

bool NetEvent::holdsEvent() const { return event != nullptr; }

void NetEvent::wake() {
    if (event != nullptr) WSASetEvent(event);
}

bool NetEvent::wait() {
    DWORD result = WaitForMultipleObjects(1, &event, FALSE, INFINITE);
    WSAResetEvent(event);
    return result == WAIT_OBJECT_0;
}

}  // namespace net
