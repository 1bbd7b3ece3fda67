#include "net/send_all.h"

#include "net/socket_wait.h"

namespace net {

namespace {

// How long one wait for room lasts before the send is tried again: a
// socket shut down meanwhile then fails the send, whatever select says.
constexpr int roomWaitMilliseconds = 500;

}  // namespace

bool sendAll(SocketHandle sock, const void* data, int length, int* sent) {
    const char* next = static_cast<const char*>(data);
    int left = length;
    bool delivered = true;
    do {
        int put = sendBytes(sock, next, left);
        if (put < 0) {
            if (lastErrorWouldBlock()) {
                waitWritable(sock, roomWaitMilliseconds);
                continue;
            }
            delivered = false;
            break;
        }
        next += put;
        left -= put;
    } while (left > 0);
    if (sent != nullptr) *sent = length - left;
    return delivered;
}

}  // namespace net
