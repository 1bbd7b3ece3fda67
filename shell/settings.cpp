// The portable part of the settings: the blanks rule and the file's path.
#include <cstring>

#include "shell/settings.h"
#include "shell/settings_platform.h"

namespace shell {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

}  // namespace

std::string trimBlanks(const std::string& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isBlank(text[first])) ++first;
    while (last > first && isBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

size_t makeSettingsPath(const char* fileName, char* out, size_t outLength) {
    if (outLength == 0) return 0;
    out[0] = '\0';
    const size_t nameLength = std::strlen(fileName);
    if (isFullSettingsName(fileName)) {
        if (nameLength >= outLength) return 0;
        std::memcpy(out, fileName, nameLength + 1);
        return nameLength;
    }
    const size_t directoryLength = currentDirectory(out, outLength);
    if (directoryLength == 0 || directoryLength + 1 + nameLength >= outLength) {
        out[0] = '\0';
        return 0;
    }
    // No check for a separator already ending the directory: a root gives
    // two in a row, which the profile functions accept.
    out[directoryLength] = pathSeparator;
    std::memcpy(out + directoryLength + 1, fileName, nameLength + 1);
    return directoryLength + 1 + nameLength;
}

}  // namespace shell
