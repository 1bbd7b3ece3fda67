// Sending a whole buffer on a socket that may not block.
#pragma once

#include "net/compat.h"

namespace net {

// Sends every byte, also on a non-blocking socket: a send that would block
// or is partial waits until the socket can take more. False when the
// connection fails or is shut down; `sent` then says how many went out.
bool sendAll(SocketHandle sock, const void* data, int length, int* sent = nullptr);

}  // namespace net
