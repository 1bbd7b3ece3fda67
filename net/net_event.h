// Ties one readiness event to one socket so that a thread can sleep until the
// socket has data or has been closed, then receive without blocking.
#pragma once

#include <memory>

#include "net/compat.h"

namespace net {

// The Winsock FD_ bits, with their Winsock values on every platform.
constexpr long netEventRead = 0x01;
constexpr long netEventWrite = 0x02;
constexpr long netEventClose = 0x20;

class NetEvent {
public:
    explicit NetEvent(SocketHandle sock);
    ~NetEvent();
    NetEvent(const NetEvent&) = delete;
    NetEvent& operator=(const NetEvent&) = delete;

    void create();
    // Attaches the event for `networkEvents` and makes the socket non-blocking.
    void select(long networkEvents);
    void close();

    // Waits without time limit until a selected event is reported, then
    // resets the event. False when the wait itself failed: the caller then
    // leaves its loop.
    bool wait();

    // Makes a wait() on another thread return, once this side has shut the
    // socket down: Winsock reports no event for a local shutdown (poll()
    // does, so there is nothing to do on POSIX).
    void wake();

private:
    // The Winsock event, or what poll() waits for.
    struct Platform;
    SocketHandle sock;
    std::unique_ptr<Platform> platform;
};

}  // namespace net
