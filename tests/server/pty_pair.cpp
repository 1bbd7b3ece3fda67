#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace testing_support {

constexpr int safetyMilliseconds = 5000;

PtyPair::PtyPair() {
    char name[128];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // Writes wait with a limit: a line that nobody reads must not hang a test.
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    slavePath = name;
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

}  // namespace testing_support
