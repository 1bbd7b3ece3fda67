// No <termios.h> here: it does not mix with asm/termbits.h.
#include "pty_pair.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace testing_support {

constexpr int safetyMilliseconds = 5000;

PtyPair::PtyPair() {
    // Writes wait with a limit: a line that nobody reads must not hang a test.
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) throw std::runtime_error("posix_openpt");
    slavePath = ::ptsname(master);
    slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("open " + slavePath);
}

PtyPair::~PtyPair() {
    ::close(slave);
    ::close(master);
}

bool PtyPair::send(const std::string& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
        pollfd entry{master, POLLOUT, 0};
        if (::poll(&entry, 1, safetyMilliseconds) != 1) return false;
        ssize_t put = ::write(master, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EAGAIN) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

std::string PtyPair::receive(size_t count) const {
    std::string result;
    while (result.size() < count) {
        pollfd entry{master, POLLIN, 0};
        if (::poll(&entry, 1, safetyMilliseconds) <= 0) break;
        char chunk[4096];
        ssize_t got = ::read(master, chunk, std::min(sizeof chunk, count - result.size()));
        if (got <= 0) break;
        result.append(chunk, static_cast<size_t>(got));
    }
    return result;
}

LineSettings readLineSettings(int fd) {
    termios2 settings{};
    if (::ioctl(fd, TCGETS2, &settings) != 0) throw std::runtime_error("TCGETS2");
    return {settings.c_iflag,      settings.c_oflag,      settings.c_cflag,  settings.c_lflag,
            settings.c_cc[VSTART], settings.c_cc[VSTOP], settings.c_ispeed, settings.c_ospeed};
}

}  // namespace testing_support
