// The session in this process, where the end-to-end test cannot look: how
// control bytes are split over receives, and the server's own sockets.
#include <dirent.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
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

std::string record(uint32_t code, const std::vector<unsigned char>& input = {}) {
    unsigned char out[net::maxRecordSize];
    size_t size = net::encodeRecord(code, input.data(), static_cast<int>(input.size()), out, 0x5A);
    return std::string(reinterpret_cast<char*>(out), size);
}

// For conditions no event reports (bytes taken by the peer); bounded.
template <typename Condition>
bool eventually(Condition condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(safetyMilliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<int> openDescriptors() {
    std::vector<int> result;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') result.push_back(std::atoi(entry->d_name));
    ::closedir(dir);
    return result;
}

// The server's end of the connection whose other end is `sock`.
int serverEndOf(net::SocketHandle sock) {
    sockaddr_in local{}, peer{};
    socklen_t length = sizeof local;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length);
    for (int fd : openDescriptors()) {
        length = sizeof peer;
        if (fd != sock && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_port == local.sin_port && peer.sin_addr.s_addr == local.sin_addr.s_addr)
            return fd;
    }
    return -1;
}

// A client that speaks the protocol by hand.
class TestClient {
public:
    explicit TestClient(uint16_t serverPort) {
        dataListener.open(loopback, 0);
        dataListener.listen(1);
        control.open(0, 0);
        EXPECT_TRUE(control.connect(loopback, serverPort));
    }
    ~TestClient() { leave(); }

    std::string handshakeBytes() {
        unsigned char bytes[net::handshakeSize];
        net::encodeHandshake(dataListener.localPort(), bytes);
        return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
    }
    void sendControl(const std::string& bytes) {
        ASSERT_TRUE(net::sendAll(control.handle(), bytes.data(), static_cast<int>(bytes.size())));
    }
    // Sends and waits until the server has read the bytes, so that what
    // follows comes in a receive of its own.
    void sendControlTaken(const std::string& bytes) {
        sendControl(bytes);
        int serverEnd = -1;
        ASSERT_TRUE(eventually([&] {
            if (serverEnd < 0) serverEnd = serverEndOf(control.handle());  // maybe not accepted yet
            int unsent = 0, unread = 0;
            ::ioctl(control.handle(), SIOCOUTQ, &unsent);
            return serverEnd >= 0 && ::ioctl(serverEnd, FIONREAD, &unread) == 0 && unsent == 0 && unread == 0;
        }));
    }
    void handshake(bool inTwoSegments = false) {
        const std::string bytes = handshakeBytes();
        if (inTwoSegments) sendControlTaken(bytes.substr(0, 1));
        sendControl(bytes.substr(inTwoSegments ? 1 : 0));
        pollfd entry{dataListener.handle(), POLLIN, 0};
        ASSERT_EQ(::poll(&entry, 1, safetyMilliseconds), 1) << "no connection back";
        sockaddr_in peer{};
        data = dataListener.accept(peer);
    }
    std::string receiveData(size_t count) {
        std::string result;
        while (result.size() < count) {
            pollfd entry{data, POLLIN, 0};
            if (::poll(&entry, 1, safetyMilliseconds) != 1) break;
            char chunk[4096];
            int got = net::receiveBytes(data, chunk, static_cast<int>(std::min(sizeof chunk, count - result.size())));
            if (got <= 0) break;
            result.append(chunk, static_cast<size_t>(got));
        }
        return result;
    }
    // The client process ending: both connections close.
    void leave() {
        net::releaseSocket(data);
        data = net::invalidSocket;
        control.close(net::shutdownBoth);
        dataListener.close(net::shutdownBoth);
    }

    net::ListenSocket dataListener;
    net::ConnectSocket control;
    net::SocketHandle data = net::invalidSocket;
};

class ServerSession : public ::testing::Test {
protected:
    void SetUp() override {
        net::startNetworking();
        app->serialPort.device = pty->slavePath;
        // Silent reads end at once, so that sessions end quickly.
        app->serialPort.timeouts.readTotalMultiplier = 0;
        app->serialPort.timeouts.readTotalConstant = 1;
        std::strcpy(app->clientHost, "127.0.0.1");
        app->port = 0;
        ASSERT_TRUE(app->initNetwork());
        ASSERT_TRUE(app->openSerial());
        serverPort = app->listenSocket.localPort();
    }

    void TearDown() override {
        if (!serving.joinable()) return;
        if (sessionsEnded()) {
            serving.join();
            return;
        }
        ADD_FAILURE() << "the sessions did not end";
        // The session thread still uses them.
        serving.detach();
        app.release();
        pty.release();
    }

    // Serves `sessions` sessions on a thread, as the session thread does; a
    // session error ends the test program.
    void serve(int sessions) {
        serving = std::thread([this, sessions] {
            for (int i = 0; i < sessions; ++i) app->serveSession();
            done.set_value();
        });
    }

    bool sessionsEnded() {
        return finished.wait_for(std::chrono::milliseconds(safetyMilliseconds)) == std::future_status::ready;
    }

    std::unique_ptr<PtyPair> pty = std::make_unique<PtyPair>();
    std::unique_ptr<server::ServerApplication> app = std::make_unique<server::ServerApplication>(nullptr);
    uint16_t serverPort = 0;
    std::thread serving;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
};

TEST_F(ServerSession, SplitHandshakeSplitRecordAndASilentLine) {
    serve(1);
    TestClient client(serverPort);
    client.handshake(true);
    EXPECT_EQ(app->clientAddress, loopback);
    EXPECT_EQ(app->dataPort, client.dataListener.localPort());
    // Small pieces go out at once on both connections.
    EXPECT_TRUE(testing_support::noDelay(app->controlSocket));
    EXPECT_TRUE(testing_support::noDelay(app->dataSocket.handle()));

    // Split inside the length-byte read and inside the rest.
    const std::string split = record(server::code::setBaudRate, {0x00, 0xE1, 0x00, 0x00});  // 57600
    client.sendControlTaken(split.substr(0, 1));
    client.sendControlTaken(split.substr(1, 3));
    client.sendControl(split.substr(4) + record(server::code::immediateChar, {0xA5}));
    ASSERT_EQ(pty->receive(1), "\xA5");
    EXPECT_EQ(readLineSettings(pty->master).outputSpeed, 57600u);

    // The scenario, not a synchronisation: the line stays silent over many
    // read time-outs, each followed by a zero-length send.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(pty->send("still here"));
    EXPECT_EQ(client.receiveData(10), "still here");
    client.leave();
    EXPECT_TRUE(sessionsEnded());
}

}  // namespace
