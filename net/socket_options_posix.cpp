#include "net/socket_options.h"

namespace net {

void setKeepAlive(SocketHandle sock) {
    const int on = 1;
    const int idle = keepAliveIdleSeconds;
    const int interval = keepAliveIntervalSeconds;
    const int count = keepAliveProbes;
    ::setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // Keepalive waits while sent bytes are unacknowledged, and retransmissions
    // go on for a quarter of an hour: this bounds both.
    const unsigned int unacknowledged = unacknowledgedMilliseconds;
    ::setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

void setListenReuse(SocketHandle sock) {
    // A restart right after a session must not wait for TIME_WAIT to pass.
    const int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

}  // namespace net
