#include "client/line_format.h"

#include <cctype>
#include <cstring>

namespace client {

bool parseLineFormat(const char* text, LineFormat& format) {
    if (text[0] < '5' || text[0] > '8') return false;
    LineFormat parsed;
    parsed.wordLength = static_cast<uint8_t>(text[0] - '0');
    switch (std::toupper(static_cast<unsigned char>(text[1]))) {
        case 'N': parsed.parity = net::parityNone; break;
        case 'O': parsed.parity = net::parityOdd; break;
        case 'E': parsed.parity = net::parityEven; break;
        case 'M': parsed.parity = net::parityMark; break;
        case 'S': parsed.parity = net::paritySpace; break;
        default: return false;
    }
    const char* stop = text + 2;
    if (std::strcmp(stop, "1") == 0)
        parsed.stopBits = net::stopOne;
    else if (std::strcmp(stop, "1.5") == 0)
        parsed.stopBits = net::stopOneAndHalf;
    else if (std::strcmp(stop, "2") == 0)
        parsed.stopBits = net::stopTwo;
    else
        return false;
    if (!net::validLineFormat(parsed)) return false;
    format = parsed;
    return true;
}

}  // namespace client
