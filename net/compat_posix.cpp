#include <fcntl.h>
#include <sys/ioctl.h>

#include <cstring>

#include "net/compat.h"

namespace net {

bool lastErrorWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

int lastError() { return errno; }

std::string errorText(int code) { return std::strerror(code); }

bool lastErrorInProgress() { return errno == EINPROGRESS; }

bool lastErrorPeerLost() { return errno == ETIMEDOUT || errno == EHOSTUNREACH || errno == ENETUNREACH; }

bool setBlocking(SocketHandle sock, bool blocking) {
    int flags = ::fcntl(sock, F_GETFL);
    return flags >= 0 && ::fcntl(sock, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

void startNetworking() {}

int bytesWaiting(SocketHandle sock) {
    int count = 0;
    return ::ioctl(sock, FIONREAD, &count) == 0 ? count : 0;
}

int pollRetrying(pollfd* entries, nfds_t count, int milliseconds) {
    for (;;) {
        const int ready = ::poll(entries, count, milliseconds);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

void releaseSocket(SocketHandle sock) {
    if (sock != invalidSocket) ::close(sock);
}

}  // namespace net
