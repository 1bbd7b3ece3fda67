// The platform's part of the settings path rule.
#pragma once

#include <cstddef>

namespace shell {

#ifdef _WIN32
constexpr char pathSeparator = '\\';
#else
constexpr char pathSeparator = '/';
#endif

// A name that is a full path already: drive-qualified on Windows, starting
// with '/' elsewhere.
bool isFullSettingsName(const char* fileName);

// The current directory in `out`; its length, or 0 when it failed or did not
// fit in `outLength` characters.
size_t currentDirectory(char* out, size_t outLength);

}  // namespace shell
