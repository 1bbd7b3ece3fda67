#include "server/rfc2217_session.h"

#include <stdexcept>
#include <system_error>
#include <thread>

#include "net/net_event.h"

namespace server {

Rfc2217Session::Rfc2217Session(SerialPort& port, net::SocketHandle connection) : port(port), sock(connection) {
    // The pump's empty sends need a real buffer: Winsock fails a null one.
    pending.reserve(4 * net::chunkSize);
}

void Rfc2217Session::run() {
    {
        std::lock_guard<std::mutex> lock(sending);
        stream.appendOffers(pending);
        if (!sendPending()) return;
    }
    net::NetEvent readiness(sock);
    readiness.create();
    readiness.select(net::netEventRead | net::netEventClose);
    std::thread pump;
    try {
        pump = std::thread([this] { pumpPortToNet(); });
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
    for (;;) {
        const int got = net::receiveBytes(sock, netBuffer, sizeof netBuffer);
        if (got < 0 && net::lastErrorWouldBlock()) {
            if (!readiness.wait()) break;
            continue;
        }
        if (got <= 0) break;
        written = 0;
        writeToPort(stream.receive(netBuffer, static_cast<size_t>(got), dataBuffer, *this));
        if (stream.answers.empty()) continue;
        std::lock_guard<std::mutex> lock(sending);
        pending.insert(pending.end(), stream.answers.begin(), stream.answers.end());
        stream.answers.clear();
        if (!sendPending()) break;
    }
    readiness.close();
    // The pump's next send fails, or it sees `ending` before its next read.
    ending = true;
    ::shutdown(sock, net::shutdownBoth);
    resumed.notify_all();
    // The port's read time-out bounds this wait.
    pump.join();
}

void Rfc2217Session::comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) {
    // Bytes the client wrote before a change go out under the old settings.
    writeToPort(dataBefore);
    std::lock_guard<std::mutex> lock(sending);
    commands.execute(command, length, pending);
    resumed.notify_all();
    // A failed connection shows in the next receive.
    sendPending();
}

bool Rfc2217Session::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    return port.replay(ioControlCode, input, length);
}

bool Rfc2217Session::settings(net::SerialSettings& out) { return port.readSettings(out); }

bool Rfc2217Session::modemLines(uint8_t& lines) { return port.readModemLines(lines); }

void Rfc2217Session::writeToPort(size_t upTo) {
    // Short writes go on; a write that takes nothing (the port failed or the
    // line stayed blocked) drops the rest, as on the native port.
    while (written < upTo) {
        const int put = port.write(dataBuffer + written, static_cast<int>(upTo - written));
        if (put <= 0) break;
        written += static_cast<size_t>(put);
    }
    written = upTo;
}

bool Rfc2217Session::sendPending() {
    const bool sent = net::sendAll(sock, pending.data(), static_cast<int>(pending.size()));
    pending.clear();
    return sent;
}

void Rfc2217Session::pumpPortToNet() {
    unsigned char piece[net::chunkSize];
    unsigned char escaped[2 * net::chunkSize];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sending);
            // Woken by every command and by the end of the session.
            resumed.wait(lock, [this] { return ending || !commands.suspended(); });
            if (ending) return;
        }
        const int got = port.read(piece, net::chunkSize);
        if (got < 0) return;
        const size_t size = net::telnet::TelnetStream::escape(piece, static_cast<size_t>(got), escaped);
        std::lock_guard<std::mutex> lock(sending);
        commands.pollModemLines(pending);
        pending.insert(pending.end(), escaped, escaped + size);
        // Also with nothing read: an empty send says whether the connection
        // is still usable.
        if (!sendPending()) return;
    }
}

}  // namespace server
