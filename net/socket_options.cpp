#include "net/socket_options.h"

namespace net {

void setNoDelay(SocketHandle sock) {
    int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace net
