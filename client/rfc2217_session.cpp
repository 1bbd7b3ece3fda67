#include "client/rfc2217_session.h"

#include <algorithm>

#include "client/client_application.h"
#include "client/session.h"
#include "net/send_all.h"

namespace client {

void Rfc2217Link::begin(std::vector<unsigned char>& out) { stream.appendOffers(out); }

void Rfc2217Link::commands(const unsigned char* records, int size, std::vector<unsigned char>& out) {
    // A server that never agrees gets nothing; its queue stays bounded.
    if (!agreed && held.size() > net::controlBufferSize) held.clear();
    std::vector<unsigned char>& target = agreed ? out : held;
    for (int at = 0; at + net::recordHeaderSize <= size;) {
        const int length = net::recordHeaderSize + records[at];
        if (!net::validRecordLength(records[at]) || at + length > size) break;
        translator.translate(net::decodeRecord(records + at), target);
        at += length;
    }
}

size_t Rfc2217Link::receive(const unsigned char* in, size_t length, unsigned char* data,
                            std::vector<unsigned char>& out) {
    const size_t count = stream.receive(in, length, data, *this);
    out.insert(out.end(), stream.answers.begin(), stream.answers.end());
    stream.answers.clear();
    if (!agreed && stream.comPortAgreed()) {
        agreed = true;
        out.insert(out.end(), held.begin(), held.end());
        held.clear();
    }
    return count;
}

void ClientApplication::carryRfc2217Input() {
    unsigned char received[net::controlBufferSize];
    unsigned char data[net::controlBufferSize];
    std::vector<unsigned char> out;
    const net::SocketHandle sock = controlSocket.handle();
    // The waits end with the connection (keepalive bounds a silent peer) or endSession.
    while (!ending) {
        if (!controlEvent->wait()) {
            endSession(lostText);
            break;
        }
        const int got = net::receiveBytes(sock, received, sizeof received);
        if (const char* end = receiveEnd(got)) {
            endSession(end);
            break;
        }
        if (got < 0) continue;
        size_t count;
        {
            std::lock_guard<std::mutex> lock(controlMutex);
            out.clear();
            count = rfc2217->receive(received, static_cast<size_t>(got), data, out);
            if (!out.empty() && !net::sendAll(sock, out.data(), static_cast<int>(out.size()))) {
                endSession(lostText);
                break;
            }
        }
        if (count > 0 && !ending) writeToDevice(data, static_cast<int>(count));
    }
}

bool ClientApplication::sendRfc2217Data(const unsigned char* data, int count) {
    unsigned char escaped[2 * net::largeChunkSize];
    const size_t size =
        net::telnet::TelnetStream::escape(data, static_cast<size_t>(std::min(count, net::largeChunkSize)), escaped);
    // Commands and answers share the connection.
    std::lock_guard<std::mutex> lock(controlMutex);
    return net::sendAll(controlSocket.handle(), escaped, static_cast<int>(size));
}

}  // namespace client
