#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/deadline.h"
#include "server/control_codes.h"
#include "server/serial_port.h"
#include "server/tty_linux.h"

namespace server {

namespace {

using Clock = net::Clock;

// A read interval of this value: no gap between bytes ends a read.
constexpr uint32_t noWait = PortTimeouts::returnOnArrival;

// Only the read interval is a setting: the total constants always bound a
// transfer.
Clock::time_point after(Clock::time_point start, uint64_t milliseconds) {
    return start + std::chrono::milliseconds(milliseconds);
}

// The port has gone (hung up, or an error): what was read still counts.
int failedWith(int done) { return done > 0 ? done : -1; }

// Writes within the write time-outs; a readable `wake` (-1: none) cuts a wait
// for the line short.
int writeWithin(int fd, const PortTimeouts& limits, const unsigned char* data, int length, int wake) {
    const Clock::time_point total =
        after(Clock::now(), uint64_t{limits.writeTotalMultiplier} * static_cast<uint64_t>(length) +
                                limits.writeTotalConstant);
    int done = 0;
    while (done < length) {
        ssize_t put = ::write(fd, data + done, static_cast<size_t>(length - done));
        if (put > 0) {
            done += static_cast<int>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN) return failedWith(done);
        pollfd entries[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
        int ready = ::poll(entries, 2, net::millisecondsLeft(total));
        if (ready == 0) break;
        if (ready < 0 && errno != EINTR) return failedWith(done);
        if (ready < 0) continue;
        if (entries[1].revents != 0) break;
        if (!(entries[0].revents & POLLOUT)) return failedWith(done);
    }
    return done;
}

// What an admin needs to know about a tty that would not open.
std::string openFailureOf(const std::string& path, int error) {
    if (error == EBUSY || error == EWOULDBLOCK) return path + ": held by another program";
    if (error == ENOTTY) return path + ": not a tty";
    std::string text = path + ": " + std::strerror(error);
    // Serial devices let their group in (dialout on Debian).
    struct stat file;
    const group* owners = nullptr;
    if (error == EACCES && ::stat(path.c_str(), &file) == 0 && (file.st_mode & S_IRGRP) && (file.st_mode & S_IWGRP) &&
        (owners = ::getgrgid(file.st_gid)) != nullptr)
        text += std::string(" (is the user in group ") + owners->gr_name + "?)";
    return text;
}

}  // namespace

struct SerialPort::Platform {
    std::atomic<int> fd{-1};
    // A pipe whose read end, readable, ends a read's wait.
    int wakePipe[2] = {-1, -1};
    // Whether SET_HANDFLOW turned RS-485 transmit toggling on.
    bool rtsToggle = false;

    // Carries out a request the driver would take; false when the tty refuses it.
    bool apply(const PortRequest& request, const PortTimeouts& timeouts);
};

SerialPort::SerialPort(uint32_t queueSize) : queueSize(queueSize), platform(new Platform) {}

SerialPort::~SerialPort() { close(); }

// COM1 to COM9 are the first nine ttyS devices; a "device" setting names the
// tty itself, whatever the number says.
bool SerialPort::open(int32_t portNumber) {
    std::string path = device;
    if (path.empty()) {
        if (portNumber < 1 || portNumber > 9) {
            openFailure = "com: " + std::to_string(portNumber) + " names no port (1 to 9), and device is empty";
            return false;
        }
        path = "/dev/ttyS" + std::to_string(portNumber - 1);
    }
    platform->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (platform->fd < 0) {
        openFailure = openFailureOf(path, errno);
        return false;
    }
    // Exclusive as a COM port is: flock keeps out those that lock too,
    // TIOCEXCL those that do not.
    if (::flock(platform->fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(platform->fd, TIOCEXCL) != 0 || !tty::makeRaw(platform->fd)) {
        openFailure = openFailureOf(path, errno);
        close();
        return false;
    }
    openedName = path;
    return true;
}

bool SerialPort::setLine(uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits) {
    net::LineFormat line{static_cast<uint8_t>(stopBits), static_cast<uint8_t>(parity), static_cast<uint8_t>(byteSize)};
    return isOpen() && net::validLineFormat(line) && tty::setBaudRate(platform->fd, baudRate) &&
           tty::setLineControl(platform->fd, line);
}

void SerialPort::close() {
    if (platform->fd < 0) return;
    // A pty keeps TIOCEXCL after the last close; let the next opener in.
    releaseExclusive();
    ::close(platform->fd);
    platform->fd = -1;
    platform->rtsToggle = false;
    openedName.clear();
}

bool SerialPort::isOpen() const { return platform->fd >= 0; }

bool SerialPort::createIoEvents() { return ::pipe2(platform->wakePipe, O_CLOEXEC | O_NONBLOCK) == 0; }

int SerialPort::read(unsigned char* buffer, int capacity) {
    const Clock::time_point start = Clock::now();
    const PortTimeouts limits = timeouts;
    const Clock::time_point total =
        after(start, limits.returnsOnArrival() ? limits.readTotalConstant
                                               : uint64_t{limits.readTotalMultiplier} * static_cast<uint64_t>(capacity) +
                                                     limits.readTotalConstant);
    Clock::time_point lastByte = start;
    int done = 0;
    bool polledReadable = false;
    while (done < capacity) {
        // Read first and wait only when nothing is there: a busy line then
        // costs one call per piece.
        ssize_t got = ::read(platform->fd, buffer + done, static_cast<size_t>(capacity - done));
        if (got > 0) {
            done += static_cast<int>(got);
            lastByte = Clock::now();
            polledReadable = false;
            if (limits.returnsOnArrival()) break;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // With VMIN 0 nothing to read is no failure; anything else is, and
        // so is nothing right after poll said readable (a hung-up tty).
        if ((got < 0 && errno != EAGAIN) || (got == 0 && polledReadable)) return failedWith(done);
        Clock::time_point deadline = total;
        if (done > 0 && limits.readInterval != noWait) deadline = std::min(deadline, after(lastByte, limits.readInterval));
        pollfd entries[2] = {{platform->fd, POLLIN, 0}, {platform->wakePipe[0], POLLIN, 0}};
        int ready = ::poll(entries, 2, net::millisecondsLeft(deadline));
        if (ready == 0) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return failedWith(done);
        }
        if (entries[1].revents != 0) break;
        // The line hung up with nothing left to read.
        if ((entries[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(entries[0].revents & POLLIN))
            return failedWith(done);
        polledReadable = true;
    }
    return done;
}

void SerialPort::wake() {
    const char byte = 0;
    // Full means a wake-up is pending already.
    [[maybe_unused]] ssize_t written = ::write(platform->wakePipe[1], &byte, 1);
}

void SerialPort::rearm() {
    char bytes[16];
    while (::read(platform->wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

int SerialPort::write(const unsigned char* data, int length) {
    return writeWithin(platform->fd, timeouts, data, length, platform->wakePipe[0]);
}

bool SerialPort::healthy() {
    pollfd entry{platform->fd, 0, 0};
    return isOpen() && ::poll(&entry, 1, 0) >= 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

void SerialPort::resumeTransmission() {
    tty::stopOutput(platform->fd, false);
    tty::setBreak(platform->fd, false);
}

void SerialPort::discardOutput() { tty::flush(platform->fd, true, false); }

int SerialPort::outputWaiting() const {
    int waiting = 0;
    return isOpen() && ::ioctl(platform->fd, TIOCOUTQ, &waiting) == 0 ? waiting : -1;
}

void SerialPort::releaseExclusive() { ::ioctl(platform->fd, TIOCNXCL); }

bool SerialPort::readLineSettings(net::SerialSettings& out) const {
    return isOpen() && tty::readLineSettings(platform->fd, out);
}

bool SerialPort::readModemLines(uint8_t& lines) const {
    return isOpen() && tty::readModemLines(platform->fd, lines);
}

bool SerialPort::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    const PortRequest request = decodePortRequest(ioControlCode, input, length);
    if (request.refusal != Refusal::none || !isOpen()) return false;
    errno = 0;
    if (platform->apply(request, timeouts)) return true;
    lastError = errno;
    return false;
}

std::string SerialPort::failureText() const {
    return lastError != 0 ? std::strerror(lastError) : "the driver did not take it";
}

bool SerialPort::Platform::apply(const PortRequest& request, const PortTimeouts& timeouts) {
    switch (request.action) {
    case PortAction::none:
        return true;
    case PortAction::baudRate:
        return tty::setBaudRate(fd, request.baudRate);
    case PortAction::lineControl:
        return tty::setLineControl(fd, request.line);
    case PortAction::breakOn:
        return tty::setBreak(fd, true);
    case PortAction::breakOff:
        return tty::setBreak(fd, false);
    case PortAction::immediateChar:
        // Writers share nothing here, so the control loop may write too. The
        // session's end does not cut it short: a refusal is the port's own.
        return writeWithin(fd, timeouts, &request.character, 1, -1) == 1;
    case PortAction::modemLines:
        return tty::changeModemLines(fd, request.lines);
    case PortAction::stopOutput:
        return tty::stopOutput(fd, true);
    case PortAction::startOutput:
        return tty::stopOutput(fd, false);
    case PortAction::purge:
        return tty::flush(fd, request.purgeOutput, request.purgeInput);
    case PortAction::flowChars:
        return tty::setFlowChars(fd, request.xonChar, request.xoffChar);
    case PortAction::flowControl:
        if (!tty::setFlowControl(fd, request.flow) || !tty::changeModemLines(fd, request.flow.lines)) return false;
        if (request.flow.rtsToggle != rtsToggle) {
            if (!tty::setTransmitToggle(fd, request.flow.rtsToggle)) return false;
            rtsToggle = request.flow.rtsToggle;
        }
        return true;
    }
    return false;
}

}  // namespace server
