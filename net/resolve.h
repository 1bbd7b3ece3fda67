// Host name lookup, as both programs do it: the first IPv4 address only.
#pragma once

#include <cstdint>
#include <optional>

namespace net {

// The first address of `name` (a host name or dotted IPv4 address) in host
// byte order; nothing when it cannot be resolved. Networking must be started.
std::optional<uint32_t> resolveFirstAddress(const char* name);

}  // namespace net
