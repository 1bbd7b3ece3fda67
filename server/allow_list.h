// The "allow" setting: which client addresses may start a session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace server {

// An IPv4 range in host byte order: the addresses whose masked bits equal
// `network`.
struct AddressRange {
    uint32_t network = 0;
    uint32_t mask = 0;
};

// Parses a comma-separated list of dotted IPv4 addresses and CIDR ranges
// ("192.168.1.0/24, 10.0.0.5"); blanks around entries are ignored. A blank
// list gives no ranges; a malformed entry gives nothing, and is stored in
// `malformed` when given.
std::optional<std::vector<AddressRange>> parseAllowList(const std::string& text, std::string* malformed = nullptr);

// No ranges at all lets everyone in.
bool allows(const std::vector<AddressRange>& ranges, uint32_t address);

}  // namespace server
