#include "server/allow_list.h"

#include "shell/settings.h"

namespace server {

namespace {

// 1 to 3 decimal digits up to `limit`; nothing else.
std::optional<uint32_t> parseNumber(const std::string& text, uint32_t limit) {
    if (text.empty() || text.size() > 3) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > limit) return std::nullopt;
    return value;
}

std::optional<uint32_t> parseAddress(const std::string& text) {
    uint32_t address = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos) return std::nullopt;
        std::optional<uint32_t> byte = parseNumber(text.substr(start, end - start), 255);
        if (!byte) return std::nullopt;
        address = address << 8 | *byte;
        start = end + 1;
    }
    return address;
}

std::optional<AddressRange> parseEntry(const std::string& entry) {
    size_t slash = entry.find('/');
    std::optional<uint32_t> address = parseAddress(entry.substr(0, slash));
    std::optional<uint32_t> prefix = slash == std::string::npos ? 32 : parseNumber(entry.substr(slash + 1), 32);
    if (!address || !prefix) return std::nullopt;
    uint32_t mask = *prefix == 0 ? 0 : ~uint32_t{0} << (32 - *prefix);
    return AddressRange{*address & mask, mask};
}

}  // namespace

std::optional<std::vector<AddressRange>> parseAllowList(const std::string& text, std::string* malformed) {
    std::vector<AddressRange> ranges;
    if (shell::trimBlanks(text).empty()) return ranges;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        const std::string entry = shell::trimBlanks(text.substr(start, comma - start));
        std::optional<AddressRange> range = parseEntry(entry);
        if (!range) {
            if (malformed != nullptr) *malformed = entry;
            return std::nullopt;
        }
        ranges.push_back(*range);
        if (comma == std::string::npos) return ranges;
        start = comma + 1;
    }
}

bool allows(const std::vector<AddressRange>& ranges, uint32_t address) {
    if (ranges.empty()) return true;
    for (const AddressRange& range : ranges)
        if ((address & range.mask) == range.network) return true;
    return false;
}

}  // namespace server
