#include "net/resolve.h"

#include <cstring>

#include "net/compat.h"

namespace net {

std::optional<uint32_t> resolveFirstAddress(const char* name) {
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addr_list[0] == nullptr) return std::nullopt;
    uint32_t networkOrder;
    std::memcpy(&networkOrder, host->h_addr_list[0], sizeof networkOrder);
    return ntohl(networkOrder);
}

std::string dottedAddress(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace net
