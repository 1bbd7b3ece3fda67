// The "line" setting: data bits, parity and stop bits written as 8N1, 7E1,
// 5O1.5 and so on. On Linux it supplies what a pseudo-terminal cannot hold.
#pragma once

#include "net/serial_settings.h"

namespace client {

using net::LineFormat;

constexpr const char* defaultLine = "8N1";

// Reads "<5..8><N|O|E|M|S><1|1.5|2>" (parity in either case). False for
// anything else, and for the combinations no serial driver accepts (1.5
// stop bits need 5 data bits, 2 stop bits do not go with 5).
bool parseLineFormat(const char* text, LineFormat& format);

}  // namespace client
