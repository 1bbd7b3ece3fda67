#include <algorithm>

#include "net/socket_wait.h"

namespace net {

// select() works whatever event selection the socket carries.
int waitFor(SocketHandle first, SocketHandle second, bool write, int milliseconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(first, &set);
    SocketHandle highest = first;
    if (second != invalidSocket) {
        FD_SET(second, &set);
        highest = std::max(first, second);
    }
    // The exception set also reports urgent data, which no read returns:
    // looked at only for a failed connect, which shows there.
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(first, &failed);
    fd_set* const failures = write ? &failed : nullptr;
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    int ready = ::select(static_cast<int>(highest) + 1, write ? nullptr : &set, write ? &set : nullptr, failures,
                         milliseconds < 0 ? nullptr : &limit);
    if (ready > 0) return FD_ISSET(first, &set) || (failures != nullptr && FD_ISSET(first, failures)) ? 0 : 1;
    return -1;
}

}  // namespace net
