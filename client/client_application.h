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
};

}  // namespace client
