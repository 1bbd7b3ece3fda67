#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "client/control_records.h"
#include "client/pty_line_linux.h"
#include "client/virtual_port.h"
#include "net/compat.h"
#include "net/protocol.h"
#include "net/serial_codes.h"

namespace client {

namespace {

// The fallback for changes that arrive without a status byte (a program
// that cleared EXTPROC, or no reader running).
constexpr int settingsCheckMilliseconds = 20;

void closeDescriptor(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// False when the wait failed.
bool waitFor(int fd, short events) {
    pollfd wanted{fd, events, 0};
    return net::pollRetrying(&wanted, 1, -1) >= 0;
}

// The group and mode a pty creator gives the port, before anyone sees it.
bool giveAccess(int slave, const PortOptions& options) {
    if (options.groupId >= 0 && fchown(slave, static_cast<uid_t>(-1), static_cast<gid_t>(options.groupId)) != 0)
        return false;
    return options.mode < 0 || fchmod(slave, static_cast<mode_t>(options.mode)) == 0;
}

}  // namespace

bool findGroup(const char* name, int64_t& id) {
    group entry;
    group* found = nullptr;
    std::vector<char> buffer(1024);
    int error;
    while ((error = getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (error != 0 || found == nullptr) return false;
    id = found->gr_gid;
    return true;
}

struct VirtualPort::Driver {
    int master = -1;
    // Held open by the client itself: with no slave open the master reports
    // a hang-up for ever and reads fail.
    int slave = -1;
    int statusEvent = -1;
    int watch = -1;
    // Readable while writes are stopped.
    int writeStop = -1;
    std::string slaveName;
    std::string linkPath;
    std::atomic<bool> published{false};
    LineFormat line;

    // The reader thread passes status bytes to the control side, and lets
    // it know when it holds no data that is not yet sent. Data read after a
    // change waits until the control side has sent the change: the count of
    // changes seen, and of those whose records went out.
    std::atomic<unsigned> pendingStatus{0};
    std::mutex mutex;
    std::condition_variable readerWaiting;
    std::condition_variable changeSent;
    bool readerHolding = false;
    uint64_t changesSeen = 0;
    uint64_t changesTaken = 0;
    uint64_t changesSent = 0;
    unsigned char packet[1 + net::largeChunkSize];
    // The settings the reader last saw.
    PortState readerSeen;

    // The control side's own.
    bool reportedAny = false;
    PortState reported;
    int applicationsOpen = 0;

    ~Driver() { release(); }

    void release() {
        closeDescriptor(watch);
        closeDescriptor(writeStop);
        closeDescriptor(statusEvent);
        closeDescriptor(slave);
        closeDescriptor(master);
    }

    bool openPseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[64];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
            return false;
        slaveName = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        int packetMode = 1;
        if (slave < 0 || !prepareLine(master, line) || ioctl(master, TIOCPKT, &packetMode) != 0) return false;
        int flags = fcntl(master, F_GETFL);
        if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) return false;
        statusEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        writeStop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        return statusEvent >= 0 && writeStop >= 0 && watch >= 0 &&
               inotify_add_watch(watch, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0;
    }

    // Marks our pty as a live client's port, and refuses a link that leads to
    // another one's: a second client on the same path would take the first
    // one's port away. A record lock, not flock(), which applications take
    // on their serial ports; the system drops it with the process, however
    // that ends, so a link a killed client left is replaced.
    bool claim() {
        struct flock lock{};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(slave, F_OFD_SETLK, &lock) != 0) return false;
        char target[256];
        const ssize_t length = readlink(linkPath.c_str(), target, sizeof target - 1);
        if (length <= 0) return true;
        target[length] = '\0';
        if (slaveName == target || std::strncmp(target, "/dev/pts/", 9) != 0) return true;
        const int other = ::open(target, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        // A pty we may not open (another user's, or held exclusively) may well be in use.
        if (other < 0) return errno != EBUSY && errno != EACCES && errno != EPERM;
        lock.l_type = F_WRLCK;
        const bool held = fcntl(other, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
        ::close(other);
        return !held;
    }

    // The symlink appears whole under its name, replacing an older symlink
    // but never anything else.
    bool publish() {
        struct stat existing;
        if (lstat(linkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
            errno = EEXIST;
            return false;
        }
        const std::string temporary = linkPath + ".new" + std::to_string(getpid());
        ::unlink(temporary.c_str());
        if (symlink(slaveName.c_str(), temporary.c_str()) != 0) return false;
        if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
            ::unlink(temporary.c_str());
            return false;
        }
        published = true;
        return true;
    }

    // Lets the reader forward the piece it took before the change. Bytes
    // still in the pseudo-terminal cannot be told apart from those written
    // after the change: they wait for it.
    void drainReader() {
        std::unique_lock<std::mutex> lock(mutex);
        readerWaiting.wait(lock, [this] { return !readerHolding; });
    }

    // The reader's side: a change it noticed goes out before its next piece.
    // The control side answers every change, also with nothing to send.
    bool awaitChangeSent() {
        uint64_t change;
        {
            std::lock_guard<std::mutex> lock(mutex);
            change = ++changesSeen;
        }
        const uint64_t one = 1;
        if (::write(statusEvent, &one, sizeof one) < 0) return false;
        std::unique_lock<std::mutex> lock(mutex);
        changeSent.wait(lock, [&] { return changesSent >= change; });
        lock.unlock();
        return readPortState(master, line, readerSeen);
    }

    void noteSent(uint64_t upTo) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (upTo > changesSent) changesSent = upTo;
        }
        changeSent.notify_all();
    }

    // After the last application closed the port, undo what a program may
    // have left behind: exclusive use, and EXTPROC cleared.
    void noteOpensAndCloses() {
        alignas(inotify_event) char events[4096];
        for (;;) {
            ssize_t length = ::read(watch, events, sizeof events);
            if (length <= 0) break;
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->mask & IN_OPEN) ++applicationsOpen;
                if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) --applicationsOpen;
                if (event->mask & IN_Q_OVERFLOW) applicationsOpen = 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (applicationsOpen > 0) return;
        applicationsOpen = 0;
        ioctl(slave, TIOCNXCL);
        restoreExtproc(master);
    }

    bool currentState(PortState& state) {
        if (!readPortState(master, line, state)) return false;
        // Baud rate 0 only means "hang up" to a modem; the port keeps its rate.
        if (state.baudRate == 0) state.baudRate = reported.baudRate;
        return true;
    }
};

VirtualPort::VirtualPort() : driver(new Driver) {}

VirtualPort::~VirtualPort() { withdraw(); }

bool VirtualPort::open(const PortOptions& options) {
    driver->line = options.line;
    driver->linkPath = options.devicePath.empty() ? "com" + std::to_string(options.comNumber) : options.devicePath;
    if (!driver->openPseudoTerminal() || !readPortState(driver->master, driver->line, driver->readerSeen))
        failure = std::string("pseudo-terminal: ") + std::strerror(errno);
    else if (!giveAccess(driver->slave, options))
        failure = driver->slaveName + ": " + std::strerror(errno);
    else if (!driver->claim())
        failure = driver->linkPath + ": the port of another client that runs";
    else if (driver->publish())
        return true;
    else
        failure = driver->linkPath + ": " + (errno == EEXIST ? "not a symlink, so left as it is" : std::strerror(errno));
    driver->release();
    return false;
}

// The events are a Windows matter.
bool VirtualPort::createEvents() { return true; }

void VirtualPort::withdraw() {
    if (!driver->published.exchange(false)) return;
    // Only our own link: another client may have taken the name since.
    char target[256];
    ssize_t length = readlink(driver->linkPath.c_str(), target, sizeof target - 1);
    if (length < 0) return;
    target[length] = '\0';
    if (driver->slaveName == target) ::unlink(driver->linkPath.c_str());
}

PortResult VirtualPort::waitControl(unsigned char* buffer, int) {
    Driver& d = *driver;
    // What the last call returned has been sent.
    d.noteSent(d.changesTaken);
    PortState state;
    if (!d.reportedAny) {
        if (!d.currentState(state)) return {PortResult::failed, 0};
        d.reported = state;
        d.reportedAny = true;
        return {PortResult::done, static_cast<int>(encodeSettings(nullptr, state, buffer))};
    }
    for (;;) {
        pollfd wanted[2] = {{d.statusEvent, POLLIN, 0}, {d.watch, POLLIN, 0}};
        if (net::pollRetrying(wanted, 2, settingsCheckMilliseconds) < 0) return {PortResult::failed, 0};
        if (wanted[1].revents & POLLIN) d.noteOpensAndCloses();
        uint64_t signalled;
        if (::read(d.statusEvent, &signalled, sizeof signalled) < 0 && errno != EAGAIN) return {PortResult::failed, 0};
        {
            // The state read below covers every change seen so far.
            std::lock_guard<std::mutex> lock(d.mutex);
            d.changesTaken = d.changesSeen;
        }
        const unsigned status = d.pendingStatus.exchange(0);
        uint32_t purge = 0;
        if (status & TIOCPKT_FLUSHREAD) purge |= net::purge::receive;
        if (status & TIOCPKT_FLUSHWRITE) purge |= net::purge::transmit;
        if (!d.currentState(state)) return {PortResult::failed, 0};
        if (purge == 0 && encodeSettings(&d.reported, state, buffer) == 0) {
            d.noteSent(d.changesTaken);
            continue;
        }

        // The settings as first seen: a later change is the next report's.
        d.drainReader();
        size_t size = encodeSettings(&d.reported, state, buffer);
        d.reported = state;
        if (purge != 0) size += encodePurge(purge, buffer + size);
        if (size > 0) return {PortResult::done, static_cast<int>(size)};
    }
}

PortResult VirtualPort::read(unsigned char* buffer, int size) {
    Driver& d = *driver;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.readerHolding = false;
    }
    d.readerWaiting.notify_all();
    const size_t wanted = 1 + static_cast<size_t>(size < net::largeChunkSize ? size : net::largeChunkSize);
    for (;;) {
        // Read first and wait only when nothing is there: a busy port then
        // costs one call per piece.
        ssize_t length = ::read(d.master, d.packet, wanted);
        if (length < 0 && errno == EAGAIN) {
            if (!waitFor(d.master, POLLIN)) return {PortResult::failed, 0};
            continue;
        }
        if (length < 0 && errno == EINTR) continue;
        if (length < 0) return {PortResult::failed, 0};
        if (length == 0) continue;
        // In packet mode every read starts with a status byte; anything but
        // "data follows" is news for the control side.
        if (d.packet[0] != TIOCPKT_DATA) {
            d.pendingStatus |= d.packet[0];
            if (!d.awaitChangeSent()) return {PortResult::failed, 0};
            continue;
        }
        // With EXTPROC every change comes as a status byte, in order. A
        // program that cleared it changes the port unannounced: a change seen
        // now goes out before this piece.
        PortState now;
        bool announced = false;
        if (!readPortState(d.master, d.line, now, &announced)) return {PortResult::failed, 0};
        if (!announced && !(now == d.readerSeen) && !d.awaitChangeSent()) return {PortResult::failed, 0};
        const int count = static_cast<int>(length - 1);
        std::memcpy(buffer, d.packet + 1, static_cast<size_t>(count));
        std::lock_guard<std::mutex> lock(d.mutex);
        d.readerHolding = count > 0;
        return {PortResult::done, count};
    }
}

PortResult VirtualPort::write(const unsigned char* data, int count, net::SocketHandle from) {
    // A full pseudo-terminal makes the writer wait: never drop a byte, and
    // let TCP hold the rest back.
    int written = 0;
    while (written < count) {
        ssize_t length = ::write(driver->master, data + written, static_cast<size_t>(count - written));
        if (length > 0) {
            written += static_cast<int>(length);
        } else if (length < 0 && errno == EAGAIN) {
            // Only failure and hang-up show for `from`: its data is not ours to wait for.
            pollfd wanted[3] = {{driver->master, POLLOUT, 0}, {driver->writeStop, POLLIN, 0}, {from, 0, 0}};
            if (net::pollRetrying(wanted, 3, -1) < 0 || (wanted[1].revents & POLLIN) != 0)
                return {PortResult::failed, written};
            if (wanted[2].revents != 0) return {PortResult::again, written};
        } else if (!(length < 0 && errno == EINTR)) {
            return {PortResult::failed, written};
        }
    }
    return {PortResult::done, written};
}

void VirtualPort::stopWrites() {
    const uint64_t one = 1;
    // Fails only when the counter is full, and then it is readable anyway.
    if (::write(driver->writeStop, &one, sizeof one) < 0) return;
}

void VirtualPort::allowWrites() {
    uint64_t signalled;
    // Fails only when it was not stopped.
    if (::read(driver->writeStop, &signalled, sizeof signalled) < 0) return;
}

std::string VirtualPort::describe() const {
    const std::string& path = driver->linkPath;
    return (path.find('/') == std::string::npos ? "./" + path : path) + " -> " + driver->slaveName;
}

}  // namespace client
