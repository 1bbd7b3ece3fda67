#include <algorithm>
#include <cerrno>

#include "server/server_application.h"

#ifndef _WIN32
#include <sys/select.h>
#endif

namespace server {

bool ServerApplication::waitForClient(int milliseconds) {
    clientListener = Listener::native;
    if (rfc2217Port == 0) return milliseconds < 0 || net::waitReadable(listenSocket.handle(), milliseconds);
    const net::SocketHandle native = listenSocket.handle();
    const net::SocketHandle rfc2217 = rfc2217Socket.handle();
    fd_set ready;
    for (;;) {
        FD_ZERO(&ready);
        FD_SET(native, &ready);
        FD_SET(rfc2217, &ready);
        timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
        const int count = ::select(static_cast<int>(std::max(native, rfc2217)) + 1, &ready, nullptr, nullptr,
                                   milliseconds < 0 ? nullptr : &limit);
#ifndef _WIN32
        if (count < 0 && errno == EINTR) continue;
#endif
        if (count <= 0) return false;
        break;
    }
    // Both waiting: the native client first, the other one next time.
    if (!FD_ISSET(native, &ready)) clientListener = Listener::rfc2217;
    return true;
}

}  // namespace server
