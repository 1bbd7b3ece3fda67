#include <dirent.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/protocol.h"
#include "pty_pair.h"
#include "server/control_codes.h"
#include "server/server_application.h"
#include "tests/net/loopback.h"

namespace {

using testing_support::loopback;
using testing_support::PtyPair;
using testing_support::readLineSettings;

constexpr int safetyMilliseconds = 5000;

std::vector<unsigned char> little32(uint32_t value) {
    std::vector<unsigned char> bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
    return bytes;
}

std::string record(uint32_t code, const std::vector<unsigned char>& input = {}) {
    unsigned char out[net::maxRecordSize];
    size_t size = net::encodeRecord(code, input.data(), static_cast<int>(input.size()), out, 0x5A);
    return std::string(reinterpret_cast<char*>(out), size);
}

std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return bytes;
}

// Waits for a condition that no event reports (bytes taken by the peer);
// bounded, as a safety net.
template <typename Condition>
bool eventually(Condition condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(safetyMilliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool samePeer(int fd, const sockaddr_in& expected) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
           peer.sin_port == expected.sin_port && peer.sin_addr.s_addr == expected.sin_addr.s_addr;
}

std::vector<int> openDescriptors() {
    std::vector<int> result;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') result.push_back(std::atoi(entry->d_name));
    ::closedir(dir);
    return result;
}

// The server's own end of a connection whose other end is `sock`: the
// server runs in this process.
int serverEndOf(net::SocketHandle sock) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length);
    for (int fd : openDescriptors())
        if (fd != sock && samePeer(fd, local)) return fd;
    return -1;
}

// A client that speaks the protocol by hand.
class TestClient {
public:
    explicit TestClient(uint16_t serverPort, int receiveBuffer = 0) {
        dataListener.create();
        if (receiveBuffer != 0)
            ::setsockopt(dataListener.handle(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        dataListener.bind(loopback, 0);
        dataListener.listen(1);
        control.open(0, 0);
        int noDelay = 1;
        ::setsockopt(control.handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        connected = control.connect(loopback, serverPort);
    }
    ~TestClient() {
        net::releaseSocket(data);
        control.close(net::shutdownBoth);
        dataListener.close(net::shutdownBoth);
    }

    std::string handshakeBytes(uint16_t port) const {
        unsigned char bytes[net::handshakeSize];
        net::encodeHandshake(port, bytes);
        return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
    }
    void sendControl(const std::string& bytes) {
        ASSERT_TRUE(net::sendAll(control.handle(), bytes.data(), static_cast<int>(bytes.size())));
    }
    // Sends the first bytes and waits until the server has taken them, so
    // that the rest comes in a receive of its own.
    void sendControlTaken(const std::string& bytes) {
        sendControl(bytes);
        int serverEnd = -1;
        ASSERT_TRUE(eventually([&] {
            // The server may not have accepted the connection yet.
            if (serverEnd < 0) serverEnd = serverEndOf(control.handle());
            if (serverEnd < 0) return false;
            int unsent = 0, unread = 0;
            ::ioctl(control.handle(), SIOCOUTQ, &unsent);
            ::ioctl(serverEnd, FIONREAD, &unread);
            return unsent == 0 && unread == 0;
        }));
    }
    void handshake() {
        sendControl(handshakeBytes(dataListener.localPort()));
        acceptData();
    }
    void acceptData() {
        pollfd entry{dataListener.handle(), POLLIN, 0};
        ASSERT_EQ(::poll(&entry, 1, safetyMilliseconds), 1) << "no connection back";
        sockaddr_in peer{};
        data = dataListener.accept(peer);
    }
    void sendData(const std::string& bytes) {
        ASSERT_TRUE(net::sendAll(data, bytes.data(), static_cast<int>(bytes.size())));
    }
    std::string receiveData(size_t count) const { return receiveFrom(data, count); }
    // True once the server has closed `sock`'s connection (after what it
    // sent before), gracefully or, with bytes left unread, by a reset.
    bool seesEnd(net::SocketHandle sock) const {
        for (;;) {
            pollfd entry{sock, POLLIN, 0};
            if (::poll(&entry, 1, safetyMilliseconds) != 1) return false;
            char chunk[256];
            int got = net::receiveBytes(sock, chunk, sizeof chunk);
            if (got <= 0) return true;
        }
    }
    bool controlIsQuiet() const {
        pollfd entry{control.handle(), POLLIN, 0};
        return ::poll(&entry, 1, 0) == 0;
    }
    // The client process ending: both connections close.
    void leave() {
        net::releaseSocket(data);
        data = net::invalidSocket;
        control.close(net::shutdownBoth);
    }

    static std::string receiveFrom(net::SocketHandle sock, size_t count) {
        std::string result;
        while (result.size() < count) {
            pollfd entry{sock, POLLIN, 0};
            if (::poll(&entry, 1, safetyMilliseconds) != 1) break;
            char chunk[4096];
            int got = net::receiveBytes(sock, chunk, static_cast<int>(std::min(sizeof chunk, count - result.size())));
            if (got <= 0) break;
            result.append(chunk, static_cast<size_t>(got));
        }
        return result;
    }

    bool connected = false;
    net::ListenSocket dataListener;
    net::ConnectSocket control;
    net::SocketHandle data = net::invalidSocket;
};

class ServerSession : public ::testing::Test {
protected:
    void SetUp() override {
        net::startNetworking();
        app->serialPort.device = pty->slavePath;
        // Silent reads end after 20 ms, so that sessions end quickly.
        app->serialPort.timeouts.readTotalMultiplier = 0;
        app->serialPort.timeouts.readTotalConstant = 20;
        std::strcpy(app->clientHost, "127.0.0.1");
        app->port = 0;
        ASSERT_TRUE(app->initNetwork());
        ASSERT_TRUE(app->openSerial());
        serverPort = app->listenSocket.localPort();
    }

    void TearDown() override {
        if (!serving.joinable()) return;
        if (finished.wait_for(std::chrono::milliseconds(safetyMilliseconds)) == std::future_status::ready) {
            serving.join();
            return;
        }
        ADD_FAILURE() << "the sessions did not end";
        // The session thread still uses them.
        serving.detach();
        app.release();
        pty.release();
    }

    // Serves `sessions` sessions on a thread, as the session thread does.
    void serve(int sessions) {
        serving = std::thread([this, sessions] {
            try {
                for (int i = 0; i < sessions; ++i) app->serveSession();
            } catch (const std::runtime_error& error) {
                failure = error.what();
                // The process would end here; stop the pumps instead.
                ::shutdown(app->dataSocket.handle(), net::shutdownBoth);
                app->endSession();
            }
            done.set_value();
        });
    }

    bool sessionsEnded() {
        return finished.wait_for(std::chrono::milliseconds(safetyMilliseconds)) == std::future_status::ready;
    }

    // Control requests are replayed in order: once an IMMEDIATE_CHAR sent
    // behind them reaches the line, the ones before it have been applied.
    void awaitReplayed(TestClient& client) {
        client.sendControl(record(server::code::immediateChar, {0xA5}));
        ASSERT_EQ(pty->receive(1), "\xA5");
    }

    std::unique_ptr<PtyPair> pty = std::make_unique<PtyPair>();
    std::unique_ptr<server::ServerApplication> app = std::make_unique<server::ServerApplication>(nullptr);
    uint16_t serverPort = 0;
    std::thread serving;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::string failure;
};

TEST_F(ServerSession, ConnectsBackToTheClientAndCarriesDataBothWaysInOrder) {
    serve(1);
    TestClient client(serverPort);
    ASSERT_TRUE(client.connected);
    client.handshake();
    EXPECT_EQ(app->clientAddress, loopback);
    EXPECT_EQ(app->dataPort, client.dataListener.localPort());
    // Small pieces go out at once on both connections.
    EXPECT_TRUE(testing_support::noDelay(app->controlSocket));
    EXPECT_TRUE(testing_support::noDelay(app->dataSocket.handle()));

    // More than 64 bytes at once reach the port whole and in order.
    const std::string toPort = pattern(1000);
    client.sendData(toPort);
    EXPECT_EQ(pty->receive(toPort.size()), toPort);

    const std::string fromPort = pattern(700).substr(3);
    EXPECT_TRUE(pty->send(fromPort));
    EXPECT_EQ(client.receiveData(fromPort.size()), fromPort);

    EXPECT_TRUE(client.controlIsQuiet());
    client.control.close(net::shutdownBoth);
    EXPECT_TRUE(client.seesEnd(client.data));
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
}

TEST_F(ServerSession, SilentLineKeepsTheSessionGoing) {
    app->serialPort.timeouts.readTotalConstant = 1;
    serve(1);
    TestClient client(serverPort);
    client.handshake();
    // The scenario, not a synchronisation: the line stays silent over many
    // read time-outs, each followed by a zero-length send.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(pty->send("still here"));
    EXPECT_EQ(client.receiveData(10), "still here");
    client.sendData("and back");
    EXPECT_EQ(pty->receive(8), "and back");
    client.leave();
    EXPECT_TRUE(sessionsEnded());
}

TEST_F(ServerSession, ControlRequestsAreReplayedInOrderAndAssembledFromPieces) {
    namespace code = server::code;
    serve(1);
    TestClient client(serverPort);
    client.handshake();

    // Two records in one segment: the second one wins.
    client.sendControl(record(code::setBaudRate, little32(19200)) + record(code::setBaudRate, little32(115200)));
    awaitReplayed(client);
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 115200u);

    // L = 0 takes six bytes, and the record behind it is read right.
    client.sendControl(record(code::setDtr) + record(code::setLineControl, {2, 0, 8}));
    awaitReplayed(client);
    EXPECT_TRUE(readLineSettings(pty->master).cflag & CSTOPB);

    // A record split over receives, also inside its length-byte read.
    const std::string split = record(code::setBaudRate, little32(12345));
    client.sendControlTaken(split.substr(0, 1));
    client.sendControlTaken(split.substr(1, 3));
    client.sendControl(split.substr(4));
    awaitReplayed(client);
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 12345u);
    EXPECT_EQ(readLineSettings(pty->master).inputSpeed, 12345u);

    // Nothing ever comes back on the control connection.
    EXPECT_TRUE(client.controlIsQuiet());
    client.leave();
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
}

TEST_F(ServerSession, ModemLineRequestsOnAPtyDoNotEndTheSession) {
    namespace code = server::code;
    serve(1);
    TestClient client(serverPort);
    client.handshake();
    client.sendControl(record(code::setDtr) + record(code::clrRts) + record(code::setRts) + record(code::clrDtr) +
                       record(code::setModemControl, little32(0x03)) +
                       record(code::setHandflow, {0x01, 0, 0, 0, 0x40, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0}));
    awaitReplayed(client);
    client.sendData("line up");
    EXPECT_EQ(pty->receive(7), "line up");
    client.leave();
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
}

TEST_F(ServerSession, RequestThatNeedsAnOutputBufferEndsTheServer) {
    serve(1);
    TestClient client(serverPort);
    client.handshake();
    client.sendControl(record(server::code::getBaudRate));
    ASSERT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "seiral ioctl error");
}

TEST_F(ServerSession, NextClientFindsThePortAsTheLastOneLeftIt) {
    serve(2);
    {
        TestClient first(serverPort);
        first.handshake();
        first.sendControl(record(server::code::setBaudRate, little32(4800)));
        awaitReplayed(first);
        first.control.close(net::shutdownBoth);
        // The session has shut the data connection down; the old pump can no
        // longer send what it reads from now on.
        ASSERT_TRUE(first.seesEnd(first.data));
    }
    EXPECT_TRUE(pty->send("between"));
    TestClient second(serverPort);
    second.handshake();
    EXPECT_TRUE(pty->send(" and after"));
    EXPECT_EQ(second.receiveData(17), "between and after");
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 4800u);
    EXPECT_EQ(app->serialPort.name(), pty->slavePath);
    second.leave();
    EXPECT_TRUE(sessionsEnded());
}

TEST_F(ServerSession, ClosedDataConnectionLeavesControlRequestsReplayed) {
    serve(1);
    TestClient client(serverPort);
    client.handshake();
    net::releaseSocket(client.data);
    client.data = net::invalidSocket;
    client.sendControl(record(server::code::setBaudRate, little32(2400)));
    awaitReplayed(client);
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 2400u);
    client.control.close(net::shutdownBoth);
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
}

TEST_F(ServerSession, ClientsThatFailTheSetUpAreDroppedAndTheNextIsServed) {
    serve(1);
    {
        TestClient silent(serverPort);
        ::shutdown(silent.control.handle(), SHUT_WR);
        EXPECT_TRUE(silent.seesEnd(silent.control.handle()));
    }
    {
        TestClient halfHandshake(serverPort);
        halfHandshake.sendControl(std::string(1, '\x12'));
        ::shutdown(halfHandshake.control.handle(), SHUT_WR);
        EXPECT_TRUE(halfHandshake.seesEnd(halfHandshake.control.handle()));
    }
    {
        TestClient refusing(serverPort);
        uint16_t closedPort = refusing.dataListener.localPort();
        refusing.dataListener.close(net::shutdownBoth);
        refusing.sendControl(refusing.handshakeBytes(closedPort));
        EXPECT_TRUE(refusing.seesEnd(refusing.control.handle()));
    }
    {
        TestClient garbage(serverPort);
        garbage.sendControl(std::string("\0\0garbage", 9));
        EXPECT_TRUE(garbage.seesEnd(garbage.control.handle()));
    }
    // A handshake in two segments is served.
    TestClient client(serverPort);
    const std::string handshake = client.handshakeBytes(client.dataListener.localPort());
    client.sendControlTaken(handshake.substr(0, 1));
    client.sendControl(handshake.substr(1));
    client.acceptData();
    client.sendData("served");
    EXPECT_EQ(pty->receive(6), "served");
    client.leave();
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
}

TEST_F(ServerSession, InvalidOrTruncatedRequestsEndTheSessionUnreplayed) {
    serve(2);
    {
        TestClient negative(serverPort);
        negative.handshake();
        std::string bad = record(server::code::setBaudRate, little32(1200));
        bad[0] = static_cast<char>(0x84);
        negative.sendControl(bad);
        EXPECT_TRUE(negative.seesEnd(negative.data));
    }
    {
        TestClient truncated(serverPort);
        truncated.handshake();
        truncated.sendControl(record(server::code::setBaudRate, little32(1200)).substr(0, 8));
        ::shutdown(truncated.control.handle(), SHUT_WR);
        EXPECT_TRUE(truncated.seesEnd(truncated.data));
    }
    EXPECT_TRUE(sessionsEnded());
    EXPECT_EQ(failure, "");
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 9600u);
}

TEST_F(ServerSession, SlowClientLosesNoSerialData) {
    serve(1);
    TestClient client(serverPort, 4096);
    client.handshake();
    int serverData = serverEndOf(client.data);
    ASSERT_GE(serverData, 0);
    int small = 4096;
    ::setsockopt(serverData, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    const std::string bytes = pattern(256 * 1024);
    bool lineSent = false;
    std::thread line([&] { lineSent = pty->send(bytes); });
    // Let the server's sends back up before the client starts reading.
    EXPECT_TRUE(eventually([&] {
        int unsent = 0;
        ::ioctl(serverData, SIOCOUTQ, &unsent);
        return unsent >= 1024;
    }));
    std::string received = client.receiveData(bytes.size());
    line.join();
    EXPECT_TRUE(lineSent);
    EXPECT_EQ(received.size(), bytes.size());
    EXPECT_TRUE(received == bytes);
    client.leave();
    EXPECT_TRUE(sessionsEnded());
}

TEST_F(ServerSession, ManySessionsLeaveNoDescriptorsBehind) {
    constexpr int sessions = 25;
    const size_t before = openDescriptors().size();
    serve(sessions);
    for (int i = 0; i < sessions; ++i) {
        TestClient client(serverPort);
        client.handshake();
        client.leave();
    }
    ASSERT_TRUE(sessionsEnded());
    serving.join();
    EXPECT_EQ(openDescriptors().size(), before);
}

}  // namespace
