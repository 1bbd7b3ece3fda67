#include "net/compat.h"

#ifndef _WIN32
#include <sys/select.h>
#endif

namespace net {

namespace {

// select() works on Windows too, whatever event selection the socket carries.
bool waitFor(SocketHandle sock, bool write, int milliseconds) {
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock, &set);
        // A failed connect shows in the exception set on Windows only.
        fd_set failed;
        FD_ZERO(&failed);
        FD_SET(sock, &failed);
        timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
        int ready = ::select(static_cast<int>(sock) + 1, write ? nullptr : &set, write ? &set : nullptr, &failed,
                             milliseconds < 0 ? nullptr : &limit);
        if (ready > 0) return true;
#ifndef _WIN32
        if (ready < 0 && errno == EINTR) continue;
#endif
        return false;
    }
}

}  // namespace

bool waitReadable(SocketHandle sock, int milliseconds) { return waitFor(sock, false, milliseconds); }

bool waitWritable(SocketHandle sock, int milliseconds) { return waitFor(sock, true, milliseconds); }

}  // namespace net
