#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "server/rfc2217_session.h"
#include "server/server_application.h"

#ifndef _WIN32
#include <sys/select.h>
#endif

namespace server {

bool ServerApplication::serveRfc2217Client() {
    if (rfc2217Port == 0) return false;
    const net::SocketHandle listeners[2] = {listenSocket.handle(), rfc2217Socket.handle()};
    fd_set ready;
    for (;;) {
        FD_ZERO(&ready);
        for (net::SocketHandle listener : listeners) FD_SET(listener, &ready);
        // No time limit: the session thread has nothing to do until a client comes.
        const int count = ::select(static_cast<int>(std::max(listeners[0], listeners[1])) + 1, &ready, nullptr,
                                   nullptr, nullptr);
        if (count > 0) break;
#ifndef _WIN32
        if (errno == EINTR) continue;
#endif
        throw std::runtime_error("socket error");
    }
    if (FD_ISSET(listeners[0], &ready)) return false;
    sockaddr_in peer{};
    const net::SocketHandle connection = rfc2217Socket.accept(peer);
    net::setSessionOptions(connection);
    Rfc2217Session(serialPort, connection).run();
    net::releaseSocket(connection);
    return true;
}

}  // namespace server
