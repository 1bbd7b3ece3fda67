#include "server/rfc2217_session.h"

#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace server {

namespace {

// How often a suspended pump looks whether its session has ended.
constexpr int suspendCheckMilliseconds = 100;

}  // namespace

void ServerApplication::serveRfc2217() { Rfc2217Session(*this).run(); }

Rfc2217Session::Rfc2217Session(ServerApplication& app) : app(app), port(app.serialPort), sock(app.controlSocket) {
    // The pump's empty sends need a real buffer: Winsock fails a null one.
    pending.reserve(4 * net::chunkSize);
}

void Rfc2217Session::run() {
    {
        std::lock_guard<std::mutex> lock(sending);
        stream.appendOffers(pending);
        if (!sendPending()) return;
    }
    try {
        app.comToNetThread = std::thread([this] { pumpPortToNet(); });
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
    net::NetEvent& readiness = *app.controlReadiness;
    while (!app.sessionEnding && readiness.wait()) {
        const int got = net::receiveBytes(sock, netBuffer, sizeof netBuffer);
        if (got < 0 && net::lastErrorWouldBlock()) continue;
        if (got <= 0) {
            app.finishSession(connectionEnd(got));
            break;
        }
        written = 0;
        if (!writeToPort(stream.receive(netBuffer, static_cast<size_t>(got), dataBuffer, *this))) break;
        if (stream.answers.empty()) continue;
        std::lock_guard<std::mutex> lock(sending);
        pending.insert(pending.end(), stream.answers.begin(), stream.answers.end());
        stream.answers.clear();
        if (!sendPending()) break;
    }
    app.finishSession(SessionEnd::clientClosed);
    resumed.notify_all();
    // Woken by finishSession, as the native pump is; it uses this object.
    app.comToNetThread.join();
}

void Rfc2217Session::comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) {
    // Bytes the client wrote before a change go out under the old settings.
    if (!writeToPort(dataBefore)) return;
    std::lock_guard<std::mutex> lock(sending);
    commands.execute(command, length, pending);
    resumed.notify_all();
    sendPending();
}

bool Rfc2217Session::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    if (port.replay(ioControlCode, input, length)) return true;
    // A refused value is answered as it stands; a port that went away
    // refuses everything, and that ends the session.
    if (!port.healthy()) app.finishSession(SessionEnd::portLost);
    return false;
}

bool Rfc2217Session::settings(net::SerialSettings& out) { return port.readSettings(out); }

bool Rfc2217Session::modemLines(uint8_t& lines) { return port.readModemLines(lines); }

bool Rfc2217Session::writeToPort(size_t upTo) {
    if (written < upTo && !app.writeToPort(dataBuffer + written, static_cast<int>(upTo - written))) return false;
    written = upTo;
    return true;
}

bool Rfc2217Session::sendPending(int* sent) {
    const bool delivered = net::sendAll(sock, pending.data(), static_cast<int>(pending.size()), sent);
    if (!delivered) app.finishSession(connectionEnd(-1));
    pending.clear();
    return delivered;
}

// As the native pump, with the bytes IAC-escaped and the modem lines polled
// between reads.
void Rfc2217Session::pumpPortToNet() {
    unsigned char escaped[2 * net::largeChunkSize];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sending);
            while (commands.suspended() && !app.sessionEnding)
                resumed.wait_for(lock, std::chrono::milliseconds(suspendCheckMilliseconds));
        }
        if (!app.refillFromPort()) return;
        const unsigned char* piece = app.comReadBuffer + app.unsentOffset;
        const size_t size =
            net::telnet::TelnetStream::escape(piece, static_cast<size_t>(app.unsentLength), escaped);
        std::lock_guard<std::mutex> lock(sending);
        commands.pollModemLines(pending);
        const size_t start = pending.size();
        pending.insert(pending.end(), escaped, escaped + size);
        // Also with nothing read: an empty send says whether the connection
        // is still usable.
        int sent = 0;
        const bool delivered = sendPending(&sent);
        // Only bytes that went out whole count; the rest waits for the next client.
        int taken = 0;
        for (size_t end = start; taken < app.unsentLength; ++taken) {
            end += piece[taken] == net::telnet::iac ? 2 : 1;
            if (end > static_cast<size_t>(sent)) break;
        }
        app.unsentOffset += taken;
        app.unsentLength -= taken;
        app.bytesFromPort += static_cast<uint64_t>(taken);
        if (!delivered) return;
    }
}

}  // namespace server
