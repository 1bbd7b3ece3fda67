// The port's latest settings as control records: a new session starts from
// what the applications set while the sessions before it ran, or none ran.
#pragma once

#include <cstddef>

#include "net/protocol.h"

namespace client {

class SettingsMemory {
public:
    // Keeps the settings records among `count` bytes of records.
    void note(const unsigned char* records, int count);
    // Writes the kept records in the order a driver reports them (baud rate,
    // line control, handshake and flow, characters); returns the bytes.
    size_t replay(unsigned char* out) const;

    static constexpr int kinds = 4;
    static constexpr size_t replaySize = kinds * net::maxRecordSize;

private:
    unsigned char kept[kinds][net::maxRecordSize] = {};
    size_t keptSize[kinds] = {};
};

}  // namespace client
