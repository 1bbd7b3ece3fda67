#include "server/session.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "net/resolve.h"
#include "net/send_all.h"
#include "net/socket_options.h"
#include "net/socket_wait.h"
#include "server/control_codes.h"
#include "server/rfc2217_session.h"
#include "shell/frontend.h"

namespace server {

namespace {

// How long one wait on the connections lasts before the session's end is
// looked at again: a local shutdown does not end every wait on Windows.
constexpr int endCheckMilliseconds = 200;

const char* describe(SessionEnd cause) {
    switch (cause) {
    case SessionEnd::peerLost: return "peer lost";
    case SessionEnd::portLost: return "port lost";
    default: return "client closed";
    }
}

// Receives all `count` bytes of a record that has begun; false when the
// connection ends or fails first, or the session ends.
bool receiveExact(net::SocketHandle sock, unsigned char* buffer, int count,
                  const net::SessionLatch<SessionEnd>& ending) {
    for (int received = 0; received < count;) {
        const int got = net::receiveBytes(sock, buffer + received, count - received);
        if (got > 0) {
            received += got;
        } else if (got == 0 || !net::lastErrorWouldBlock() || ending.ended()) {
            return false;
        } else {
            net::waitReadable(sock, endCheckMilliseconds);
        }
    }
    return true;
}

}  // namespace

// A connection that ended: by the peer's choice, or because it vanished.
SessionEnd connectionEnd(int result) {
    return result < 0 && net::lastErrorPeerLost() ? SessionEnd::peerLost : SessionEnd::clientClosed;
}

void startThread(std::thread& thread, std::function<void()> function) {
    try {
        thread = std::thread(std::move(function));
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
}

void closeLostPort(const char* title, SerialPort& port) {
    shell::showConsoleLine(std::string(title) + ": serial device " + port.name() +
                           " lost; clients are turned away until it opens again");
    port.close();
}

Session::Session(const SessionContext& context, const Client& client)
    : title(context.title), port(context.port), trace(context.trace), unsent(context.unsent), client(client) {
    const bool rfc2217 = client.listener == Listener::rfc2217;
    const std::string peer = net::dottedAddress(client.address);
    shell::showConsoleLine(std::string(title) + ": session with " + peer +
                           (rfc2217 ? std::string(" on the RFC 2217 port")
                                    : ", data port " + std::to_string(client.dataPort)));
    trace.event("session", "start " + peer +
                               (rfc2217 ? std::string(" rfc2217") : " native, data port " + std::to_string(client.dataPort)));
    // A client's break or XOFF must not hold the line for the next one, and
    // bytes the last one left waiting for the line must not come amid this
    // one's: that client is gone.
    port.resumeTransmission();
    port.discardOutput();
    net::setBlocking(client.control, false);
    if (!rfc2217) net::setBlocking(client.data, false);
}

void Session::run() {
    if (client.listener == Listener::rfc2217) {
        rfc2217 = std::make_unique<Rfc2217Session>(*this);
        rfc2217->run();
        return;
    }
    startThread(portWriter, [this] { writePort(*this); });
    startThread(portToNet, [this] { pumpPortToNet(); });
    readNetwork();
}

Session::~Session() {
    // A session that ended has woken its threads already.
    end(SessionEnd::clientClosed);
    if (portToNet.joinable()) portToNet.join();
    if (portWriter.joinable()) portWriter.join();
    net::releaseSocket(client.data);
    net::releaseSocket(client.control);
    const SessionEnd cause = ending.cause();
    const int waiting = cause == SessionEnd::portLost ? -1 : port.outputWaiting();
    const std::string counts =
        std::to_string(bytesToPort) + " bytes to the port" +
        (waiting > 0 ? " (" + std::to_string(waiting) + " of them still waiting for the line)" : "") + ", " +
        std::to_string(bytesFromPort) + " bytes from the port";
    // In the file before the console says the session ended.
    trace.event("session", "end " + net::dottedAddress(client.address) + " (" + describe(cause) + "), " + counts);
    trace.flush();
    shell::showConsoleLine(std::string(title) + ": session ended (" + describe(cause) + "), " + counts);
    if (cause == SessionEnd::portLost) {
        closeLostPort(title, port);
    } else {
        // A break left on would hold the line until the next client came.
        port.resumeTransmission();
    }
    port.rearm();
}

void Session::end(SessionEnd cause) {
    if (!ending.end(cause)) return;
    // Each thread's next call on its connection, queue or port fails or
    // returns, which ends it. What waits for the port has no client any more.
    ::shutdown(client.control, net::shutdownBoth);
    ::shutdown(client.data, net::shutdownBoth);
    queue.close();
    port.wake();
}

void Session::readNetwork() {
    const net::SocketHandle data = client.data;
    while (!ending.ended()) {
        if (!queue.hasRoom()) {
            // The line holds the client back. The control connection is
            // still served: its requests may be what lets the line move.
            queue.waitForRoom(endCheckMilliseconds);
            if (!serveControl()) return;
            continue;
        }
        // Counted before the control connection is looked at: with no record
        // there, these bytes all came before the next one. A record that is
        // there goes first, ahead of data that may have come after it.
        const int waiting = net::bytesWaiting(data);
        if (net::bytesWaiting(client.control) > 0) {
            if (!serveControl()) return;
            continue;
        }
        if (waiting > 0) {
            const int got =
                net::receiveBytes(data, netReadBuffer, waiting < net::largeChunkSize ? waiting : net::largeChunkSize);
            if (got > 0) {
                queue.addData(netReadBuffer, static_cast<size_t>(got));
                continue;
            }
            if (got < 0 && net::lastErrorWouldBlock()) continue;
            end(connectionEnd(got));
            return;
        }
        // Nothing counted: wait for either connection. A control connection
        // readable with nothing to count has ended; so has a data connection
        // whose next byte cannot even be looked at.
        const int ready = net::waitReadableEither(client.control, data, endCheckMilliseconds);
        if (ready < 0) continue;
        if (ready == 0) {
            if (!serveControl()) return;
            continue;
        }
        unsigned char next;
        const int peeked = net::peekBytes(data, &next, 1);
        if (peeked > 0 || (peeked < 0 && net::lastErrorWouldBlock())) continue;
        end(connectionEnd(peeked));
        return;
    }
}

bool Session::serveControl() {
    unsigned char record[net::maxRecordSize];
    for (;;) {
        const int got = net::receiveBytes(client.control, record, 1);
        if (got < 0 && net::lastErrorWouldBlock()) return !ending.ended();
        if (got <= 0) {
            end(connectionEnd(got));
            return false;
        }
        // A negative length is no request, and a request cut short by the
        // close is never replayed: either ends the session.
        const int rest = record[0] + net::recordHeaderSize - 1;
        if (!net::validRecordLength(record[0]) || !receiveExact(client.control, record + 1, rest, ending)) {
            end(SessionEnd::clientClosed);
            return false;
        }
        const net::ControlRequest request = net::decodeRecord(record);
        // Requests keep their order among themselves.
        if (waitsForData(request.ioControlCode) || queue.holdsRequest()) {
            queue.addRequest(record, static_cast<size_t>(rest + 1));
            continue;
        }
        // Purged output includes what waits here for the line.
        const PortRequest decoded = decodePortRequest(request.ioControlCode, request.input, request.inputLength);
        if (decoded.refusal == Refusal::none && decoded.action == PortAction::purge && decoded.purgeOutput)
            queue.dropData();
        if (!replayRequest(request)) return false;
    }
}

void Session::apply(const std::vector<unsigned char>& record) { replayRequest(net::decodeRecord(record.data())); }

void Session::writePort(PortRequests& requests) {
    PortQueue::Item item;
    while (queue.take(item)) {
        if (item.request)
            requests.apply(item.bytes);
        else if (!writeToPort(item.bytes.data(), static_cast<int>(item.bytes.size())))
            return;
    }
}

// A request the port refuses is skipped: the port keeps its state, as after
// a failed SetCommState, and the session goes on. Only a port that has gone
// ends the session.
bool Session::replayRequest(const net::ControlRequest& request) {
    std::lock_guard<std::mutex> lock(replaying);
    const bool done = port.replay(request.ioControlCode, request.input, request.inputLength);
    const bool gone = !done && !port.healthy();
    std::string why;
    if (!done && !gone) {
        const char* known = refusalText(request.ioControlCode, request.input, request.inputLength);
        why = known != nullptr ? std::string(known) : port.failureText();
    }
    traceRequest(request.ioControlCode, request.input, request.inputLength, done, gone, why);
    if (done) return true;
    if (gone) {
        end(SessionEnd::portLost);
        return false;
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(request.ioControlCode));
    shell::showConsoleLine(std::string(title) + ": request " + code + " refused (" + why + "); the session goes on");
    return true;
}

void Session::traceRequest(uint32_t ioControlCode, const unsigned char* input, int length, bool done, bool gone,
                           const std::string& why) {
    if (!trace.on()) return;
    trace.event("request", describeRequest(ioControlCode, input, length) +
                               (done ? "" : gone ? " failed (port lost)" : " refused (" + why + ")"));
}

bool Session::refillFromPort() {
    if (unsent.length != 0) return true;
    if (ending.ended()) return false;
    const int got = port.read(unsent.buffer, port.readSize());
    if (got < 0) {
        end(SessionEnd::portLost);
        return false;
    }
    unsent.offset = 0;
    unsent.length = got;
    // Woken by the session's end: what the read took waits for the next
    // client.
    return !ending.ended();
}

bool Session::writeToPort(const unsigned char* data, int length) {
    for (int done = 0; done < length;) {
        if (ending.ended()) return false;
        const int put = port.write(data + done, length - done);
        if (put < 0) {
            end(SessionEnd::portLost);
            return false;
        }
        trace.data(toPort, data + done, static_cast<size_t>(put));
        done += put;
        bytesToPort += static_cast<uint64_t>(put);
    }
    return true;
}

void Session::pumpPortToNet() {
    for (;;) {
        if (!refillFromPort()) return;
        // Also with nothing read: a zero-length send says whether the
        // connection is still usable. Only the unsent tail is kept.
        int sent = 0;
        const unsigned char* piece = unsent.buffer + unsent.offset;
        const bool delivered = net::sendAll(client.data, piece, unsent.length, &sent);
        const SessionEnd cause = connectionEnd(-1);
        trace.data(fromPort, piece, static_cast<size_t>(sent));
        unsent.offset += sent;
        unsent.length -= sent;
        bytesFromPort += static_cast<uint64_t>(sent);
        if (!delivered) {
            end(cause);
            return;
        }
    }
}

}  // namespace server
