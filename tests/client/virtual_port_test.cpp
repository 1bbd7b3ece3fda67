// The Linux virtual port, driven as the session drives it, with the test as
// the application. Its symlink and plain data are checked on the programs
// (client_program_test.py, end_to_end_test.py).
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/virtual_port.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Records = std::vector<std::pair<uint32_t, Bytes>>;

Bytes little(uint32_t value) {
    return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
            static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

// A port published as "com3" in a fresh directory, with a reader running as
// the session has one (status bytes reach the control side through it).
class RunningPort {
public:
    explicit RunningPort(client::PortOptions options = client::PortOptions()) {
        char pattern[] = "/tmp/morvane-port-XXXXXX";
        directory = mkdtemp(pattern);
        linkPath = directory + "/com3";
        options.devicePath = linkPath;
        opened = port.open(options);
        if (opened) reader = std::thread([this] {
            unsigned char buffer[64];
            for (;;) {
                client::PortResult result = port.read(buffer, sizeof buffer);
                if (stopping) return;
                ASSERT_EQ(result.status, client::PortResult::done);
            }
        });
    }
    ~RunningPort() {
        if (opened) {
            // One byte wakes the reader so that it sees the stop.
            stopping = true;
            int fd = openApplication();
            EXPECT_EQ(::write(fd, "x", 1), 1);
            reader.join();
            ::close(fd);
        }
        port.withdraw();
        EXPECT_EQ(rmdir(directory.c_str()), 0);
    }

    int openApplication() const { return ::open(linkPath.c_str(), O_RDWR | O_NOCTTY); }

    Records nextControl() {
        unsigned char buffer[4096];
        client::PortResult result = port.waitControl(buffer, sizeof buffer);
        EXPECT_EQ(result.status, client::PortResult::done);
        Records records;
        for (int at = 0; at < result.count; at += 6 + buffer[at]) {
            const unsigned char* record = buffer + at;
            uint32_t code = record[2] | record[3] << 8 | record[4] << 16 | static_cast<uint32_t>(record[5]) << 24;
            records.emplace_back(code, Bytes(record + 6, record + 6 + record[0]));
        }
        return records;
    }

    client::VirtualPort port;
    std::string directory;
    std::string linkPath;
    bool opened = false;

private:
    std::thread reader;
    std::atomic<bool> stopping{false};
};

void setTermios(int fd, const std::function<void(termios&)>& change) {
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    change(settings);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

}  // namespace

TEST(VirtualPortData, AFullPortMakesTheWriterWaitAndLosesNothing) {
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
    std::string received;
    char buffer[4096];
    for (ssize_t length = 1; received.size() < incoming.size() && length > 0;) {
        length = ::read(app, buffer, std::min(sizeof buffer, incoming.size() - received.size()));
        if (length > 0) received.append(buffer, static_cast<size_t>(length));
    }
    EXPECT_TRUE(received == incoming);
    writer.join();
    ::close(app);
}

TEST(VirtualPortControl, FirstReportIsTheStartingLineThenEachChangeBecomesItsRecord) {
    client::PortOptions options;
    ASSERT_TRUE(client::parseLineFormat("7E2", options.line));
    RunningPort port(options);
    ASSERT_TRUE(port.opened);
    // DTR on and RTS on within the handflow record: no DTR/RTS records of our own.
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(9600)},
                                           {0x1B000C, {2, 2, 7}},
                                           {0x1B0064, {1, 0, 0, 0, 0x40, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0}},
                                           {0x1B005C, {0, 0, 0, 0, 0x11, 0x13}}}));
    int app = port.openApplication();
    ASSERT_GE(app, 0);

    setTermios(app, [](termios& t) { cfsetospeed(&t, B115200); cfsetispeed(&t, B115200); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(115200)}}));
    // The word length the pty cannot hold still comes from the "line" key.
    setTermios(app, [](termios& t) { t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | PARODD; });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B000C, {0, 1, 7}}}));
    setTermios(app, [](termios& t) { t.c_cflag |= CRTSCTS; });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0064, {9, 0, 0, 0, 0x80, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0}}}));
    setTermios(app, [](termios& t) { t.c_iflag |= IXON | IXOFF; t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0064, {1, 0, 0, 0, 0x43, 0, 0, 0, 0, 8, 0, 0, 0, 2, 0, 0}}}));
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

    // A program that drops EXTPROC is still heard, then and later.
    setTermios(app, [](termios& t) { t.c_lflag &= ~static_cast<tcflag_t>(EXTPROC); cfsetospeed(&t, B4800); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(4800)}}));
    setTermios(app, [](termios& t) { cfsetospeed(&t, B2400); });
    EXPECT_EQ(port.nextControl(), (Records{{0x1B0004, little(2400)}}));
    ::close(app);
}
