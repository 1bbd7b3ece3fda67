// The client program's application object: its settings, the server, the
// virtual serial port and the session's connections, threads and buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client/rfc2217_session.h"
#include "client/settings_memory.h"
#include "client/virtual_port.h"
#include "net/net_event.h"
#include "net/protocol.h"
#include "net/tcp_socket.h"
#include "shell/application.h"

namespace client {

// The server's connection back must come within this time.
constexpr int connectBackSeconds = 10;

class ClientApplication : public shell::Application {
public:
    explicit ClientApplication(shell::InstanceHandle instance);

    void readSettings(const char* fileName) override;
    bool initNetwork() override;
    bool startThreads() override;
    bool openSerial() override;
    std::string runningNote() const override;

    // The session thread (session.cpp). It connects, watches the control
    // connection until the session ends, and with "reconnect" set starts the
    // next one. Either connection ending, or a send on it failing, ends the
    // session for every thread at once. A session error without "reconnect",
    // or a failure of the port itself, shows its text and ends the process
    // with 1.
    void runSession();
    // Connects and starts the session's threads; returns why that failed, or
    // the empty string once data can flow (saying so after a lost session).
    std::string openSession(bool afterLoss);
    // Waits for the session's end, stops its threads, closes its connections
    // and returns why it ended.
    std::string awaitSessionEnd();
    // Any thread: ends the running session (the first reason is kept).
    void endSession(const char* reason);
    // The port's control requests and written bytes, for the rest of the run;
    // while no session runs they are taken from the port and dropped.
    void forwardControlRequests();
    void pumpDeviceToNetwork();
    // The session's bytes from the server, to the port.
    void pumpNetworkToDevice();
    // Both protocols: a write the port refused, or gave up on as the
    // connection failed, loses this piece only (the next receive ends the
    // session); one that failed, or did not take the whole piece, ends it.
    void writeToDevice(const unsigned char* data, int count);
    // The session thread's part of an RFC 2217 session: carries what the
    // server sends to the port until the session ends (rfc2217_session.cpp).
    void carryRfc2217Input();
    // Sends bytes that applications wrote, escaped; the caller holds dataMutex.
    bool sendRfc2217Data(const unsigned char* data, int count);

    // On the session thread: control connection, port number, data
    // connection. Throws std::runtime_error.
    void connectToServer();
    // Releases whatever connectToServer opened; the next call starts afresh.
    void closeConnections();

    int32_t comNumber = -1;
    char hostName[128] = "";
    // The "protocol" setting: native, or rfc2217 (one connection, Telnet).
    char protocolName[16] = "native";
    bool speaksRfc2217 = false;
    // Seconds between attempts to start a new session; 0: one session per run.
    uint32_t reconnectSeconds = 0;
    // Linux only: where the port is published, and what the pty cannot hold.
    char devicePath[512] = "";
    char lineText[16] = "";
    // Linux only: the port's group and mode ("group", "mode").
    char groupName[64] = "";
    char modeText[16] = "";
    uint32_t serverAddress = 0;
    net::ConnectSocket controlSocket;
    net::ListenSocket listenSocket;
    uint16_t dataPortWire = 0;
    sockaddr_in dataPeer{};
    net::SocketHandle dataSocket = net::invalidSocket;
    VirtualPort device;
    std::thread sessionThread;
    // The port's reader and control forwarder serve it from the first
    // session on, also between sessions; the writer runs per session.
    std::thread deviceToNetThread;
    std::thread controlThread;
    std::thread netToDeviceThread;
    unsigned char controlBuffer[net::controlBufferSize] = {};
    unsigned char deviceReadBuffer[net::largeChunkSize] = {};
    unsigned char netReadBuffer[net::largeChunkSize] = {};

    // The port's side sends only while its connection is up, under its lock,
    // so that the session thread never closes a socket in use.
    std::mutex controlMutex;
    bool controlUp = false;
    SettingsMemory portSettings;
    std::mutex dataMutex;
    bool dataUp = false;
    uint64_t discardedBytes = 0;
    // The running session's end: the first reason wins.
    std::mutex endMutex;
    std::atomic<bool> ending{false};
    std::string endReason;
    std::unique_ptr<net::NetEvent> controlEvent;
    std::unique_ptr<net::NetEvent> dataEvent;
    // With protocol=rfc2217: the session's Telnet state, under controlMutex.
    std::optional<Rfc2217Link> rfc2217;

private:
    // Sends control-request records as the protocol has them: unchanged, or
    // as RFC 2217 commands. The caller holds controlMutex.
    bool sendRecords(const unsigned char* records, int size);
    // An RFC 2217 session starts with a fresh Telnet state and our offers.
    bool beginRfc2217();
    // Ends what a session left: its writer joined, both connections taken
    // from the port's side and closed.
    void closeSession();
};

}  // namespace client
