// One session with the server, from the connect to its end. It owns the
// session's connections (control and data, or the one RFC 2217 connection
// with its Telnet state), the pump that carries the server's bytes to the
// port, and why it ended. The next session is a new object.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client/rfc2217_session.h"
#include "client/virtual_port.h"
#include "net/net_event.h"
#include "net/protocol.h"
#include "net/session_latch.h"
#include "net/tcp_socket.h"

namespace client {

constexpr const char* closedText = "server closed the connection";
constexpr const char* lostText = "server lost";

// The server's connection back must come within this time.
constexpr int connectBackSeconds = 10;

// Why a receive shows the connection ended, or null while it lives.
const char* receiveEnd(int received);

class Session {
public:
    Session(VirtualPort& device, uint32_t serverAddress, uint16_t serverPort, bool rfc2217);
    // Ends the session, joins the pump and closes the connections.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Connects (an RFC 2217 session also sends our offers); returns why that
    // failed, or the empty string.
    std::string connect();
    // Lets the server's bytes reach the port; false when the pump could not start.
    bool start();
    // On the session thread, until the session ends; returns why it ended.
    // Either connection ending, or a send on it failing, ends it.
    std::string run();
    // Any thread: ends the session (the first reason is kept) and wakes
    // every wait of it: receives, sends, and the pump's wait on the port.
    void end(const char* reason);

    // For the port's threads. Control-request records as the protocol has
    // them: unchanged, or as RFC 2217 commands.
    bool sendRecords(const unsigned char* records, int size);
    // Bytes that applications wrote.
    bool sendData(const unsigned char* data, int count);

private:
    void connectToServer();
    void pumpNetworkToDevice();
    // A write the port refused, or gave up on as the connection failed,
    // loses this piece only (the next receive ends the session); one that
    // failed, or did not take the whole piece, ends it.
    void writeToDevice(const unsigned char* data, int count);
    // RFC 2217: what the server sends, to the port (rfc2217_session.cpp).
    void carryRfc2217Input();

    VirtualPort& device;
    const uint32_t serverAddress;
    const uint16_t serverPort;
    const bool speaksRfc2217;
    net::ConnectSocket controlSocket;
    net::ListenSocket listenSocket;
    net::SocketHandle dataSocket = net::invalidSocket;
    std::unique_ptr<net::NetEvent> controlEvent;
    std::unique_ptr<net::NetEvent> dataEvent;
    std::thread pump;
    net::SessionLatch<std::string> latch;
    // One sender at a time on the control connection; with RFC 2217 it also
    // guards the Telnet state, as data, commands and answers share it.
    std::mutex sendMutex;
    std::optional<Rfc2217Link> rfc2217;
    unsigned char netReadBuffer[net::largeChunkSize] = {};
};

}  // namespace client
