#include <windows.h>

#include "shell/settings.h"
#include "shell/settings_platform.h"

namespace shell {

unsigned readProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    return GetPrivateProfileIntA(section, key, defaultValue, path);
}

unsigned readProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                           unsigned size, const char* path) {
    return GetPrivateProfileStringA(section, key, defaultValue, out, size, path);
}

bool isFullSettingsName(const char* fileName) { return fileName[0] != '\0' && fileName[1] == ':'; }

size_t currentDirectory(char* out, size_t outLength) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(outLength), out);
    // Not below outLength: the directory did not fit, and `out` holds nothing.
    return length < outLength ? length : 0;
}

}  // namespace shell
