#include "server/server_application.h"

namespace server {

bool ServerApplication::waitForClient(int milliseconds) {
    clientListener = Listener::native;
    if (rfc2217Port == 0) return milliseconds < 0 || net::waitReadable(listenSocket.handle(), milliseconds);
    const int ready = net::waitReadableEither(listenSocket.handle(), rfc2217Socket.handle(), milliseconds);
    if (ready < 0) return false;
    // Both waiting: the native client first, the other one next time.
    if (ready == 1) clientListener = Listener::rfc2217;
    return true;
}

}  // namespace server
