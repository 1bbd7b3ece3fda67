// Waiting for sockets to become readable or writable.
#pragma once

#include "net/compat.h"

namespace net {

// Waits until one of two sockets (`second` may be invalidSocket) has
// something to read (or has failed), or with `write` can take more bytes, for
// at most `milliseconds` (-1: no limit): 0 when `first` is ready, 1 when only
// `second` is, -1 on time-out or when the wait itself fails.
int waitFor(SocketHandle first, SocketHandle second, bool write, int milliseconds);
inline bool waitReadable(SocketHandle sock, int milliseconds) {
    return waitFor(sock, invalidSocket, false, milliseconds) >= 0;
}
inline bool waitWritable(SocketHandle sock, int milliseconds) {
    return waitFor(sock, invalidSocket, true, milliseconds) >= 0;
}
inline int waitReadableEither(SocketHandle first, SocketHandle second, int milliseconds) {
    return waitFor(first, second, false, milliseconds);
}

}  // namespace net
