// A session of a client on the RFC 2217 listener: Telnet on one connection,
// serial data both ways, and com-port commands replayed on the serial port
// through the same layer as native control requests, each answered. It
// is the protocol part of its Session, whose port queue, ending, unsent bytes
// and fault rules it shares.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "net/rfc2217.h"
#include "net/telnet_stream.h"
#include "server/session.h"

namespace server {

class Rfc2217Session : net::telnet::CommandSink, net::rfc2217::ComPortTarget, PortRequests {
public:
    explicit Rfc2217Session(Session& session);

    // Runs the session on the session thread until it ends, with the port
    // writer and the pump from the port on the session's threads, which the
    // session joins.
    void run();

private:
    void comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) override;
    bool replay(uint32_t ioControlCode, const unsigned char* input, int length) override;
    bool settings(net::SerialSettings& out) override;
    bool modemLines(uint8_t& lines) override;
    // A command that waited for the data before it, on the port writer.
    void apply(const std::vector<unsigned char>& command) override;

    // Carries out a command and sends its answer.
    void execute(const unsigned char* command, size_t length);
    void traceCommand(const unsigned char* command, size_t length, size_t start);
    void pumpPortToNet();
    // Queues received serial bytes [queued, upTo) for the port.
    void queueData(size_t upTo);
    // Sends `pending` with the lock held; false when the connection failed,
    // which ends the session.
    bool sendPending(int* sent = nullptr);

    Session& session;
    SerialPort& port;
    const net::SocketHandle sock;
    net::telnet::TelnetStream stream{net::telnet::TelnetStream::Role::server};
    net::rfc2217::ComPortServer commands{*this};

    // Every thread sends: the lock keeps answers and data pieces whole, and
    // guards `commands` and `pending`.
    std::mutex sending;
    std::condition_variable resumed;
    std::vector<unsigned char> pending;
    bool modemStateSent = false;

    // Network to port (the session thread).
    unsigned char netBuffer[net::controlBufferSize] = {};
    unsigned char dataBuffer[net::controlBufferSize] = {};
    size_t queued = 0;
};

}  // namespace server
