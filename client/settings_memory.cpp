#include "client/settings_memory.h"

#include <cstring>

#include "client/control_records.h"
#include "net/serial_codes.h"

namespace client {

namespace {

constexpr uint32_t settingsCodes[SettingsMemory::kinds] = {net::code::setBaudRate, net::code::setLineControl,
                                                           net::code::setHandflow, net::code::setChars};

}  // namespace

void SettingsMemory::note(const unsigned char* records, int count) {
    forEachRecord(records, count, [this](const unsigned char* record, size_t size) {
        const uint32_t code = net::decodeRecord(record).ioControlCode;
        for (int kind = 0; kind < kinds; ++kind) {
            if (settingsCodes[kind] != code) continue;
            std::memcpy(kept[kind], record, size);
            keptSize[kind] = size;
        }
    });
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
