// Reading the settings file. The POSIX reader answers as the Win32
// private-profile functions do for every case the programs meet.
#pragma once

#include <cstddef>
#include <string>

namespace shell {

// As GetPrivateProfileIntA: the key's value read as an integer (leading
// blanks, a sign, digits; the rest ignored), or `defaultValue` when the
// file, the section or the key is missing or the value is empty.
unsigned readProfileInt(const char* section, const char* key, int defaultValue, const char* path);

// As GetPrivateProfileStringA: copies the value, or `defaultValue`, into
// `out`, cut to size - 1 characters; returns the characters copied.
unsigned readProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                           unsigned size, const char* path);

// The full path of a settings file: the name as it is when it is absolute,
// otherwise in the current directory. Returns its length; a path that does
// not fit in `outLength` characters gives the empty string (defaults apply).
size_t makeSettingsPath(const char* fileName, char* out, size_t outLength);

// `text` without the blanks (space, tab, CR, LF, FF, VT) at either end, as
// the reader drops them around names and values; for values that are lists.
std::string trimBlanks(const std::string& text);

}  // namespace shell
