#include "server/rfc2217_session.h"

#include <chrono>

#include "net/send_all.h"
#include "net/socket_wait.h"
#include "server/control_codes.h"

namespace server {

namespace {

// How often a suspended pump, or a reader whose queue is full, looks whether
// its session has ended.
constexpr int checkMilliseconds = 100;

}  // namespace

Rfc2217Session::Rfc2217Session(Session& session)
    : session(session), port(session.port), sock(session.client.control) {
    // The pump's empty sends need a real buffer: Winsock fails a null one.
    pending.reserve(4 * net::chunkSize);
}

void Rfc2217Session::run() {
    {
        std::lock_guard<std::mutex> lock(sending);
        stream.appendOffers(pending);
        if (!sendPending()) return;
    }
    startThread(session.portWriter, [this] { session.writePort(*this); });
    startThread(session.portToNet, [this] { pumpPortToNet(); });
    while (!session.ending.ended()) {
        if (!session.queue.hasRoom()) {
            // The line holds the client back; only its close can be seen now.
            session.queue.waitForRoom(checkMilliseconds);
            unsigned char next;
            const int peeked = net::peekBytes(sock, &next, 1);
            if (peeked == 0 || (peeked < 0 && !net::lastErrorWouldBlock())) session.end(connectionEnd(peeked));
            continue;
        }
        if (!net::waitReadable(sock, checkMilliseconds)) continue;
        const int got = net::receiveBytes(sock, netBuffer, sizeof netBuffer);
        if (got < 0 && net::lastErrorWouldBlock()) continue;
        if (got <= 0) {
            session.end(connectionEnd(got));
            break;
        }
        queued = 0;
        queueData(stream.receive(netBuffer, static_cast<size_t>(got), dataBuffer, *this));
        std::lock_guard<std::mutex> lock(sending);
        pending.insert(pending.end(), stream.answers.begin(), stream.answers.end());
        stream.answers.clear();
        // Clients that do not poll learn the modem lines once, then on change.
        if (!modemStateSent && stream.comPortAgreed()) {
            commands.announceModemState(pending);
            modemStateSent = true;
        }
        if (!pending.empty() && !sendPending()) break;
    }
    // Every way out has ended the session; a suspended pump is woken to see it.
    resumed.notify_all();
}

void Rfc2217Session::comPortCommand(const unsigned char* command, size_t length, size_t dataBefore) {
    // Bytes the client wrote before a command go first.
    queueData(dataBefore);
    // Commands keep their order among themselves.
    if (net::rfc2217::ComPortServer::waitsForData(command, length) || session.queue.holdsRequest()) {
        session.queue.addRequest(command, length);
        return;
    }
    // Purged output includes what waits for the line.
    if (net::rfc2217::ComPortServer::purgesOutput(command, length)) session.queue.dropData();
    execute(command, length);
}

void Rfc2217Session::apply(const std::vector<unsigned char>& command) { execute(command.data(), command.size()); }

void Rfc2217Session::execute(const unsigned char* command, size_t length) {
    std::lock_guard<std::mutex> lock(sending);
    const size_t start = pending.size();
    commands.execute(command, length, pending);
    if (session.trace.on()) traceCommand(command, length, start);
    resumed.notify_all();
    sendPending();
}

bool Rfc2217Session::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    std::lock_guard<std::mutex> lock(session.replaying);
    const bool done = port.replay(ioControlCode, input, length);
    const bool gone = !done && !port.healthy();
    if (session.trace.on()) {
        const char* known = done || gone ? nullptr : refusalText(ioControlCode, input, length);
        session.traceRequest(ioControlCode, input, length, done, gone, known != nullptr ? known : port.failureText());
    }
    if (done) return true;
    // A refused value is answered as it stands; a port that went away
    // refuses everything, and that ends the session.
    if (gone) session.end(SessionEnd::portLost);
    return false;
}

bool Rfc2217Session::settings(net::SerialSettings& out) { return port.readLineSettings(out); }

bool Rfc2217Session::modemLines(uint8_t& lines) { return port.readModemLines(lines); }

void Rfc2217Session::queueData(size_t upTo) {
    if (queued < upTo) session.queue.addData(dataBuffer + queued, upTo - queued);
    queued = upTo;
}

bool Rfc2217Session::sendPending(int* sent) {
    const bool delivered = net::sendAll(sock, pending.data(), static_cast<int>(pending.size()), sent);
    if (!delivered) session.end(connectionEnd(-1));
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
            while (commands.suspended() && !session.ending.ended())
                resumed.wait_for(lock, std::chrono::milliseconds(checkMilliseconds));
        }
        if (!session.refillFromPort()) return;
        const unsigned char* piece = session.unsent.buffer + session.unsent.offset;
        const size_t size =
            net::telnet::TelnetStream::escape(piece, static_cast<size_t>(session.unsent.length), escaped);
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
        for (size_t end = start; taken < session.unsent.length; ++taken) {
            end += piece[taken] == net::telnet::iac ? 2 : 1;
            if (end > static_cast<size_t>(sent)) break;
        }
        session.unsent.offset += taken;
        session.unsent.length -= taken;
        session.bytesFromPort += static_cast<uint64_t>(taken);
        session.trace.data(fromPort, piece, static_cast<size_t>(taken));
        if (!delivered) return;
    }
}

// The command and the answer it got, which follows `start` in `pending` as
// IAC SB COM-PORT-OPTION answer IAC SE.
void Rfc2217Session::traceCommand(const unsigned char* command, size_t length, size_t start) {
    std::vector<unsigned char> answer;
    for (size_t i = start + 3; i + 1 < pending.size(); ++i) {
        if (pending[i] == net::telnet::iac && pending[i + 1] == net::telnet::se) break;
        answer.push_back(pending[i]);
        if (pending[i] == net::telnet::iac) ++i;
    }
    session.trace.event("rfc2217", describeComPortCommand(command, length) + " -> " +
                                   (answer.empty() ? std::string("no answer")
                                                   : describeComPortCommand(answer.data(), answer.size())));
}

}  // namespace server
