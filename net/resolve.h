// Host name lookup, as both programs do it: the first IPv4 address only;
// and the address as people read it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace net {

// The first address of `name` (a host name or dotted IPv4 address) in host
// byte order; nothing when it cannot be resolved. Networking must be started.
std::optional<uint32_t> resolveFirstAddress(const char* name);

// 192.0.2.10 for an address in host byte order.
std::string dottedAddress(uint32_t address);

}  // namespace net
