#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shell/settings.h"
#include "shell/settings_platform.h"

namespace shell {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// As much of a settings file as a profile reader's buffer takes.
constexpr size_t maxSettingsBytes = 1 << 20;

// The start of a regular file; nothing for anything else (a directory, a
// FIFO nobody writes, a device), which then counts as missing. Opened
// without blocking, so a FIFO cannot hold start-up.
std::optional<std::string> readRegularFile(const char* path) {
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    std::optional<std::string> text;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        text.emplace(maxSettingsBytes, '\0');
        size_t length = 0;
        while (length < maxSettingsBytes) {
            ssize_t got = ::read(fd, &(*text)[length], maxSettingsBytes - length);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            length += static_cast<size_t>(got);
        }
        text->resize(length);
    }
    ::close(fd);
    return text;
}

// The file's lines; a line ends at LF, CR or CR LF.
std::vector<std::string> readLines(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The value of `key` in the first section named `section`: nothing when the
// file, the section or the key is missing, or when the key has no '='.
// Only the first section of a name counts, and in it the first key. A line
// that opens with '[' but has no ']' is an ordinary line, not a section.
std::optional<std::string> lookUp(const char* section, const char* key, const char* path) {
    std::optional<std::string> file = readRegularFile(path);
    if (!file) return std::nullopt;
    const std::string wantedSection = trimBlanks(section);
    const std::string wantedKey = trimBlanks(key);
    bool inSection = false;
    bool sectionSeen = false;
    for (const std::string& line : readLines(std::move(*file))) {
        std::string text = trimBlanks(line);
        if (text.empty() || text[0] == ';') continue;
        size_t close = text.rfind(']');
        if (text[0] == '[' && close != std::string::npos) {
            if (inSection) return std::nullopt;
            std::string name = trimBlanks(text.substr(1, close - 1));
            inSection = !sectionSeen && sameName(name, wantedSection);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t equals = text.find('=');
        std::string name = trimBlanks(text.substr(0, equals));
        if (!sameName(name, wantedKey)) continue;
        if (equals == std::string::npos) return std::nullopt;
        return trimBlanks(text.substr(equals + 1));
    }
    return std::nullopt;
}

// The default loses trailing spaces, but never its first character.
std::string trimDefault(const char* text) {
    std::string value = text != nullptr ? text : "";
    size_t length = value.size();
    while (length > 1 && value[length - 1] == ' ') --length;
    return value.substr(0, length);
}

// A value wholly inside matching quotes loses them.
std::string unquote(const std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        return value.substr(1, value.size() - 2);
    return value;
}

// The integer rule of the Win32 reader: blanks, a sign, an optional base
// prefix (0x, 0o, 0b), digits; the first other character ends the number;
// overflow wraps.
unsigned parseInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0') {
        char marker = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
        if (marker == 'x') base = 16;
        if (marker == 'o') base = 8;
        if (marker == 'b') base = 2;
        if (base != 10) i += 2;
    }
    unsigned value = 0;
    for (; i < text.size(); ++i) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else {
            break;
        }
        if (digit >= base) break;
        value = value * base + digit;
    }
    return negative ? 0u - value : value;
}

}  // namespace

unsigned readProfileInt(const char* section, const char* key, int defaultValue, const char* path) {
    // The Win32 reader reads the value into a 30-character buffer first.
    char text[30];
    if (readProfileString(section, key, "", text, sizeof text, path) == 0)
        return static_cast<unsigned>(defaultValue);
    return parseInteger(text);
}

unsigned readProfileString(const char* section, const char* key, const char* defaultValue, char* out,
                           unsigned size, const char* path) {
    if (size == 0) return 0;
    std::optional<std::string> found;
    try {
        found = lookUp(section, key, path);
    } catch (const std::exception&) {
        // Out of memory for the file: as if it were missing.
    }
    std::string value = found ? unquote(*found) : trimDefault(defaultValue);
    size_t length = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(out, value.data(), length);
    out[length] = '\0';
    return static_cast<unsigned>(length);
}

bool isFullSettingsName(const char* fileName) { return fileName[0] == '/'; }

size_t currentDirectory(char* out, size_t outLength) {
    return ::getcwd(out, outLength) == nullptr ? 0 : std::strlen(out);
}

}  // namespace shell
