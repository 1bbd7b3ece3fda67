#include "net/compat.h"

#ifndef _WIN32
#include <sys/select.h>
#endif

namespace net {

namespace {

// Waits until the socket can take more bytes, or has failed. select() works
// on Windows too, whatever event selection the socket carries.
bool waitWritable(SocketHandle sock) {
    for (;;) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(sock, &writable);
        int ready = ::select(static_cast<int>(sock) + 1, nullptr, &writable, nullptr, nullptr);
        if (ready > 0) return true;
#ifndef _WIN32
        if (ready < 0 && errno == EINTR) continue;
#endif
        return false;
    }
}

}  // namespace

bool sendAll(SocketHandle sock, const void* data, int length) {
    const char* next = static_cast<const char*>(data);
    int left = length;
    do {
        int sent = sendBytes(sock, next, left);
        if (sent < 0) {
            if (!lastErrorWouldBlock() || !waitWritable(sock)) return false;
            continue;
        }
        next += sent;
        left -= sent;
    } while (left > 0);
    return true;
}

}  // namespace net
