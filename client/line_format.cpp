#include "client/line_format.h"

#include <cctype>
#include <cstring>

namespace client {

bool parseLineFormat(const char* text, LineFormat& format) {
    if (text[0] < '5' || text[0] > '8') return false;
    LineFormat parsed;
    parsed.wordLength = static_cast<uint8_t>(text[0] - '0');
    switch (std::toupper(static_cast<unsigned char>(text[1]))) {
        case 'N': parsed.parity = parityNone; break;
        case 'O': parsed.parity = parityOdd; break;
        case 'E': parsed.parity = parityEven; break;
        case 'M': parsed.parity = parityMark; break;
        case 'S': parsed.parity = paritySpace; break;
        default: return false;
    }
    const char* stop = text + 2;
    if (std::strcmp(stop, "1") == 0) {
        parsed.stopBits = stopOne;
    } else if (std::strcmp(stop, "1.5") == 0 && parsed.wordLength == 5) {
        parsed.stopBits = stopOneAndHalf;
    } else if (std::strcmp(stop, "2") == 0 && parsed.wordLength != 5) {
        parsed.stopBits = stopTwo;
    } else {
        return false;
    }
    format = parsed;
    return true;
}

}  // namespace client
