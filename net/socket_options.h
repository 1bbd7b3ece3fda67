// The options session and listening sockets get.
#pragma once

#include "net/compat.h"

namespace net {

// Small request/reply pieces must not wait for Nagle's algorithm. Changes
// nothing else about the socket; a failure only costs latency.
void setNoDelay(SocketHandle sock);

// A peer that vanishes without FIN or RST (power or network lost) ends the
// connection after idle + probes * interval, about 25 s, instead of never.
constexpr int keepAliveIdleSeconds = 10;
constexpr int keepAliveIntervalSeconds = 5;
constexpr int keepAliveProbes = 3;
// How long sent bytes may stay unacknowledged before the connection fails.
constexpr int unacknowledgedMilliseconds = 25000;
void setKeepAlive(SocketHandle sock);

// Both options every session connection gets. Failures only cost latency
// or the dead-peer bound, so they are not reported.
inline void setSessionOptions(SocketHandle sock) {
    setNoDelay(sock);
    setKeepAlive(sock);
}

// Lets a listener bind again at once after the program restarts.
void setListenReuse(SocketHandle sock);

}  // namespace net
