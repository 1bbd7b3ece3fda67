// The Linux virtual port: a pseudo-terminal published through a symlink,
// driven here as the session drives it, with the test as the application.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/virtual_port.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Records = std::vector<std::pair<uint32_t, Bytes>>;

// Each test works in a fresh current directory.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/morvane-port-XXXXXX";
        path = mkdtemp(pattern);
        char here[4096];
        previous = getcwd(here, sizeof here);
        EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~ScratchDirectory() {
        EXPECT_EQ(chdir(previous.c_str()), 0);
        std::string command = "rm -rf '" + path + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string path;
    std::string previous;
};

bool isSymlink(const char* path) {
    struct stat status;
    return lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}

std::string linkTarget(const char* path) {
    char target[256] = {};
    ssize_t length = readlink(path, target, sizeof target - 1);
    return length < 0 ? "" : std::string(target, static_cast<size_t>(length));
}

Records decode(const unsigned char* buffer, int count) {
    Records records;
    for (int at = 0; at < count;) {
        const unsigned char* record = buffer + at;
        uint32_t code = record[2] | record[3] << 8 | record[4] << 16 | static_cast<uint32_t>(record[5]) << 24;
        records.emplace_back(code, Bytes(record + 6, record + 6 + record[0]));
        at += 6 + record[0];
    }
    return records;
}

Bytes little(uint32_t value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

// A published port with its reader running, as the session has it.
class RunningPort {
public:
    explicit RunningPort(client::PortOptions options = client::PortOptions()) {
        if (options.devicePath.empty()) options.devicePath = "com3";
        linkPath = options.devicePath;
        opened = port.open(options);
        if (opened) reader = std::thread([this] { readForEver(); });
    }
    ~RunningPort() {
        if (!opened) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        // One byte wakes the reader so that it sees the stop.
        int fd = openApplication();
        EXPECT_EQ(::write(fd, "x", 1), 1);
        reader.join();
        ::close(fd);
    }

    int openApplication() const { return ::open(linkPath.c_str(), O_RDWR | O_NOCTTY); }

    // Everything the reader collected once it holds at least `count` bytes.
    std::string received(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(20), [&] { return collected.size() >= count; });
        return collected;
    }

    Records nextControl() {
        unsigned char buffer[4096];
        client::PortResult result = port.waitControl(buffer, sizeof buffer);
        EXPECT_EQ(result.status, client::PortResult::done);
        return decode(buffer, result.count);
    }

    client::VirtualPort port;
    std::string linkPath;
    bool opened = false;
    int largestRead = 0;

private:
    void readForEver() {
        unsigned char buffer[64];
        for (;;) {
            client::PortResult result = port.read(buffer, sizeof buffer);
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
            ASSERT_EQ(result.status, client::PortResult::done);
            if (result.count > largestRead) largestRead = result.count;
            collected.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(result.count));
            arrived.notify_all();
        }
    }

    std::thread reader;
    std::mutex mutex;
    std::condition_variable arrived;
    std::string collected;
    bool stopping = false;
};

void setTermios(int fd, const std::function<void(termios&)>& change) {
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    change(settings);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

std::string readExactly(int fd, size_t count) {
    std::string text;
    while (text.size() < count) {
        char buffer[4096];
        ssize_t length = ::read(fd, buffer, std::min(sizeof buffer, count - text.size()));
        if (length <= 0) break;
        text.append(buffer, static_cast<size_t>(length));
    }
    return text;
}

// For what the port does on its own time with no event to wait for: checks
// `condition` until it holds, for at most five seconds.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

TEST(VirtualPortLink, PublishedAsComNumberOrDevicePathAndWithdrawn) {
    ScratchDirectory scratch;
    {
        client::VirtualPort port;
        client::PortOptions options;
        options.comNumber = 7;
        ASSERT_TRUE(port.open(options));
        ASSERT_TRUE(isSymlink("com7"));
        const std::string target = linkTarget("com7");
        EXPECT_EQ(target.rfind("/dev/pts/", 0), 0u) << target;
        EXPECT_EQ(port.describe(), "./com7 -> " + target);
        port.withdraw();
        EXPECT_FALSE(isSymlink("com7"));
    }
    {
        ASSERT_EQ(mkdir("ports", 0700), 0);
        client::VirtualPort port;
        client::PortOptions options;
        options.devicePath = scratch.path + "/ports/modem";
        ASSERT_TRUE(port.open(options));
        EXPECT_TRUE(isSymlink("ports/modem"));
        EXPECT_EQ(port.describe(), options.devicePath + " -> " + linkTarget("ports/modem"));
    }
    // Destroying the port withdraws it too.
    EXPECT_FALSE(isSymlink("ports/modem"));
    EXPECT_EQ(::access("ports", F_OK), 0);
}

TEST(VirtualPortLink, ReplacesASymlinkButNeverAnythingElse) {
    ScratchDirectory scratch;
    ASSERT_EQ(symlink("/dev/pts/nowhere", "com1"), 0);
    client::PortOptions options;
    options.comNumber = 1;
    {
        client::VirtualPort port;
        ASSERT_TRUE(port.open(options));
        EXPECT_NE(linkTarget("com1"), "/dev/pts/nowhere");
        // A link someone else points elsewhere meanwhile is theirs: kept.
        ASSERT_EQ(unlink("com1"), 0);
        ASSERT_EQ(symlink("/dev/pts/other", "com1"), 0);
    }
    EXPECT_EQ(linkTarget("com1"), "/dev/pts/other");

    std::ofstream("com2") << "notes";
    ASSERT_EQ(mkdir("com4", 0700), 0);
    for (int number : {2, 4}) {
        client::VirtualPort port;
        options.comNumber = number;
        EXPECT_FALSE(port.open(options)) << number;
    }
    std::ifstream file("com2");
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "notes");
    struct stat status;
    ASSERT_EQ(stat("com4", &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    // No temporary names left behind.
    EXPECT_EQ(std::system("test $(ls -A | wc -l) -eq 3"), 0);
}

TEST(VirtualPortData, BytesPassBothWaysInOrderAndInPiecesOfAtMost64) {
    ScratchDirectory scratch;
    RunningPort port;
    ASSERT_TRUE(port.opened);
    int app = port.openApplication();
    ASSERT_GE(app, 0);

    std::string outgoing;
    for (int i = 0; i < 1000; ++i) outgoing += static_cast<char>(i * 7);
    ASSERT_EQ(::write(app, outgoing.data(), outgoing.size()), static_cast<ssize_t>(outgoing.size()));
    EXPECT_EQ(port.received(outgoing.size()), outgoing);
    EXPECT_LE(port.largestRead, 64);

    std::string incoming;
    for (int i = 0; i < 640; ++i) incoming += static_cast<char>(255 - i);
    for (size_t at = 0; at < incoming.size(); at += 64) {
        client::PortResult result =
            port.port.write(reinterpret_cast<const unsigned char*>(incoming.data() + at), 64);
        EXPECT_EQ(result.status, client::PortResult::done);
        EXPECT_EQ(result.count, 64);
    }
    EXPECT_EQ(readExactly(app, incoming.size()), incoming);
    ::close(app);
}

TEST(VirtualPortData, AFullPortMakesTheWriterWaitAndLosesNothing) {
    ScratchDirectory scratch;
    RunningPort port;
    ASSERT_TRUE(port.opened);
    // Far more than a pseudo-terminal holds, written while nobody reads.
    std::string incoming;
    for (int i = 0; i < 256 * 1024; ++i) incoming += static_cast<char>((i * 131) >> 3);
    std::thread writer([&] {
        for (size_t at = 0; at < incoming.size(); at += 64) {
            client::PortResult result =
                port.port.write(reinterpret_cast<const unsigned char*>(incoming.data() + at), 64);
            ASSERT_EQ(result.status, client::PortResult::done);
        }
    });
    // The first bytes waited in the port until this application opened it.
    int app = port.openApplication();
    ASSERT_GE(app, 0);
    EXPECT_TRUE(readExactly(app, incoming.size()) == incoming);
    writer.join();
    ::close(app);
}

TEST(VirtualPortData, ApplicationsOpenAndCloseAsOftenAsTheyLike) {
    ScratchDirectory scratch;
    RunningPort port;
    ASSERT_TRUE(port.opened);
    std::thread control([&] {
        // Clearing what programs leave behind happens on the control side.
        for (;;) {
            Records records = port.nextControl();
            if (!records.empty() && records[0].second == little(50)) return;
        }
    });
    std::string expected;
    for (int round = 0; round < 30; ++round) {
        int app = port.openApplication();
        ASSERT_GE(app, 0) << round;
        const std::string ping = "ping " + std::to_string(round) + "\n";
        ASSERT_EQ(::write(app, ping.data(), ping.size()), static_cast<ssize_t>(ping.size()));
        expected += ping;
        EXPECT_EQ(port.received(expected.size()), expected);
        const std::string pong = "pong " + std::to_string(round);
        port.port.write(reinterpret_cast<const unsigned char*>(pong.data()), static_cast<int>(pong.size()));
        EXPECT_EQ(readExactly(app, pong.size()), pong);
        if (round == 10) {
            // A program that takes the port for itself and drops EXTPROC.
            ASSERT_EQ(ioctl(app, TIOCEXCL), 0);
            setTermios(app, [](termios& t) { t.c_lflag &= ~static_cast<tcflag_t>(EXTPROC); });
        }
        ::close(app);
        if (round == 10) {
            EXPECT_TRUE(eventually([&] {
                int again = port.openApplication();
                if (again < 0) return false;
                int exclusive = 1;
                termios settings{};
                bool clean = ioctl(again, TIOCGEXCL, &exclusive) == 0 && exclusive == 0 &&
                             tcgetattr(again, &settings) == 0 && (settings.c_lflag & EXTPROC) != 0;
                ::close(again);
                return clean;
            }));
        }
    }
    int app = port.openApplication();
    setTermios(app, [](termios& t) { cfsetospeed(&t, B50); });
    control.join();
    ::close(app);
}

TEST(VirtualPortControl, FirstReportIsTheStartingLine) {
    ScratchDirectory scratch;
    client::PortOptions options;
    ASSERT_TRUE(client::parseLineFormat("7E2", options.line));
    RunningPort port(options);
    ASSERT_TRUE(port.opened);
    Records records = port.nextControl();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0], std::make_pair(0x1B0004u, little(9600)));
    EXPECT_EQ(records[1], std::make_pair(0x1B000Cu, Bytes{2, 2, 7}));
    EXPECT_EQ(records[2].first, 0x1B0064u);
    EXPECT_EQ(records[3], std::make_pair(0x1B005Cu, Bytes{0, 0, 0, 0, 0x11, 0x13}));

    // What the pseudo-terminal holds of that line, an application sees.
    int app = port.openApplication();
    termios settings{};
    ASSERT_EQ(tcgetattr(app, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B9600));
    EXPECT_NE(settings.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
    ::close(app);
}

TEST(VirtualPortControl, EachChangeBecomesItsRecord) {
    ScratchDirectory scratch;
    RunningPort port;
    ASSERT_TRUE(port.opened);
    port.nextControl();
    int app = port.openApplication();
    ASSERT_GE(app, 0);

    setTermios(app, [](termios& t) { cfsetospeed(&t, B115200); cfsetispeed(&t, B115200); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(115200)}}));

    setTermios(app, [](termios& t) { t.c_cflag |= CSTOPB | PARODD; });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B000C, {2, 1, 8}}}));

    setTermios(app, [](termios& t) { t.c_cflag |= CRTSCTS; });
    Records records = port.nextControl();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, 0x1B0064u);
    EXPECT_EQ(Bytes(records[0].second.begin(), records[0].second.begin() + 8), (Bytes{9, 0, 0, 0, 0x80, 0, 0, 0}));

    setTermios(app, [](termios& t) { t.c_iflag |= IXON | IXOFF; t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS); });
    records = port.nextControl();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Bytes(records[0].second.begin(), records[0].second.begin() + 8), (Bytes{1, 0, 0, 0, 0x43, 0, 0, 0}));

    setTermios(app, [](termios& t) { t.c_cc[VSTART] = 0x05; t.c_cc[VSTOP] = 0x06; });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B005C, {0, 0, 0, 0, 0x05, 0x06}}}));

    ASSERT_EQ(tcflush(app, TCIFLUSH), 0);
    EXPECT_EQ(port.nextControl(), (Records{{0x1B004C, little(0x0A)}}));
    ASSERT_EQ(tcflush(app, TCOFLUSH), 0);
    EXPECT_EQ(port.nextControl(), (Records{{0x1B004C, little(0x05)}}));

    // Setting what is already set, and hanging up (B0), ask for nothing the
    // server could take: the next report is the next real change.
    setTermios(app, [](termios&) {});
    setTermios(app, [](termios& t) { cfsetospeed(&t, B0); });
    setTermios(app, [](termios& t) { cfsetospeed(&t, B300); cfsetispeed(&t, B300); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(300)}}));
    ::close(app);
}

TEST(VirtualPortControl, ChangesAreSeenAfterAProgramDropsExtproc) {
    ScratchDirectory scratch;
    RunningPort port;
    ASSERT_TRUE(port.opened);
    port.nextControl();
    int app = port.openApplication();
    setTermios(app, [](termios& t) {
        t.c_lflag &= ~static_cast<tcflag_t>(EXTPROC);
        cfsetospeed(&t, B4800);
    });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(4800)}}));
    setTermios(app, [](termios& t) { cfsetospeed(&t, B2400); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(2400)}}));
    ::close(app);
}
