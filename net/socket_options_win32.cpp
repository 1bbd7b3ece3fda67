#include "net/socket_options.h"

// After winsock2.h, which it needs.
#include <mstcpip.h>

namespace net {

namespace {
// TCP_KEEPCNT and TCP_MAXRT of the Windows SDK; mingw-w64's headers lack them.
constexpr int tcpKeepCount = 16;
constexpr int tcpMaxRt = 5;
}  // namespace

void setKeepAlive(SocketHandle sock) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = keepAliveIdleSeconds * 1000;
    values.keepaliveinterval = keepAliveIntervalSeconds * 1000;
    DWORD returned = 0;
    ::WSAIoctl(sock, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    // The probe count is settable from Windows 10 1703 on; older systems
    // keep their fixed 10 probes and notice a dead peer later.
    const DWORD count = keepAliveProbes;
    ::setsockopt(sock, IPPROTO_TCP, tcpKeepCount, reinterpret_cast<const char*>(&count), sizeof count);
    // Keepalive probes only an idle connection: with bytes unacknowledged,
    // retransmissions alone would take minutes. Give up as soon as an idle
    // peer would be (Vista on).
    const DWORD seconds = keepAliveIdleSeconds + keepAliveProbes * keepAliveIntervalSeconds;
    ::setsockopt(sock, IPPROTO_TCP, tcpMaxRt, reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

void setListenReuse(SocketHandle sock) {
    // Windows' SO_REUSEADDR would let another program take the port; a
    // restart binds at once without it, and this keeps the port ours.
    const BOOL on = TRUE;
    ::setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace net
