#include <windows.h>

#include <cstring>

#include "shell/settings.h"

namespace shell {

unsigned readProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    return GetPrivateProfileIntA(section, key, defaultValue, path);
}

unsigned readProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                           unsigned size, const char* path) {
    return GetPrivateProfileStringA(section, key, defaultValue, out, size, path);
}

size_t makeSettingsPath(const char* fileName, char* out, size_t outLength) {
    if (outLength == 0) return 0;
    out[0] = '\0';
    size_t nameLength = std::strlen(fileName);
    if (nameLength >= 2 && fileName[1] == ':') {
        if (nameLength >= outLength) return 0;
        std::memcpy(out, fileName, nameLength + 1);
        return nameLength;
    }
    DWORD directoryLength = GetCurrentDirectoryA(static_cast<DWORD>(outLength), out);
    // 0: failed; not below outLength: the directory alone did not fit.
    if (directoryLength == 0 || directoryLength >= outLength ||
        directoryLength + 1 + nameLength >= outLength) {
        out[0] = '\0';
        return 0;
    }
    // No check for a separator already ending the directory (a drive root
    // gives two backslashes, which the profile functions accept).
    out[directoryLength] = '\\';
    std::memcpy(out + directoryLength + 1, fileName, nameLength + 1);
    return directoryLength + 1 + nameLength;
}

}  // namespace shell
