// Request inputs as a Windows client packs them: 32-bit little-endian values.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

inline std::vector<unsigned char> little32(std::initializer_list<uint32_t> values) {
    std::vector<unsigned char> bytes;
    for (uint32_t value : values)
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    return bytes;
}
