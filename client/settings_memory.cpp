#include "client/settings_memory.h"

#include <cstring>

#include "net/serial_codes.h"

namespace client {

namespace {

constexpr uint32_t settingsCodes[SettingsMemory::kinds] = {net::code::setBaudRate, net::code::setLineControl,
                                                           net::code::setHandflow, net::code::setChars};

}  // namespace

void SettingsMemory::note(const unsigned char* records, int count) {
    for (int at = 0; at + net::recordHeaderSize <= count;) {
        const size_t size = net::recordHeaderSize + static_cast<size_t>(records[at]);
        if (!net::validRecordLength(records[at]) || at + static_cast<int>(size) > count) return;
        const uint32_t code = net::decodeRecord(records + at).ioControlCode;
        for (int kind = 0; kind < kinds; ++kind) {
            if (settingsCodes[kind] != code) continue;
            std::memcpy(kept[kind], records + at, size);
            keptSize[kind] = size;
        }
        at += static_cast<int>(size);
    }
}

size_t SettingsMemory::replay(unsigned char* out) const {
    size_t size = 0;
    for (int kind = 0; kind < kinds; ++kind) {
        std::memcpy(out + size, kept[kind], keptSize[kind]);
        size += keptSize[kind];
    }
    return size;
}

}  // namespace client
