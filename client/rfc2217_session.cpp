#include "client/rfc2217_session.h"

#include "client/control_records.h"
#include "client/session.h"
#include "net/send_all.h"

namespace client {

void Rfc2217Link::begin(std::vector<unsigned char>& out) { stream.appendOffers(out); }

void Rfc2217Link::commands(const unsigned char* records, int size, std::vector<unsigned char>& out) {
    // A server that never agrees gets nothing; its queue stays bounded.
    if (!agreed && held.size() > net::controlBufferSize) held.clear();
    std::vector<unsigned char>& target = agreed ? out : held;
    forEachRecord(records, size,
                  [&](const unsigned char* record, size_t) { translator.translate(net::decodeRecord(record), target); });
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

void Session::carryRfc2217Input() {
    unsigned char received[net::controlBufferSize];
    unsigned char data[net::controlBufferSize];
    std::vector<unsigned char> out;
    const net::SocketHandle sock = controlSocket.handle();
    // The waits end with the connection (keepalive bounds a silent peer) or end().
    while (!latch.ended()) {
        if (!controlEvent->wait()) {
            end(lostText);
            break;
        }
        const int got = net::receiveBytes(sock, received, sizeof received);
        if (const char* why = receiveEnd(got)) {
            end(why);
            break;
        }
        if (got < 0) continue;
        size_t count;
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            out.clear();
            count = rfc2217->receive(received, static_cast<size_t>(got), data, out);
            if (!out.empty() && !net::sendAll(sock, out.data(), static_cast<int>(out.size()))) {
                end(lostText);
                break;
            }
        }
        if (count > 0 && !latch.ended()) writeToDevice(data, static_cast<int>(count));
    }
}

bool Session::sendData(const unsigned char* data, int count) {
    if (!speaksRfc2217) return net::sendAll(dataSocket, data, count);
    // A piece from the port is at most net::largeChunkSize bytes.
    unsigned char escaped[2 * net::largeChunkSize];
    const size_t size = net::telnet::TelnetStream::escape(data, static_cast<size_t>(count), escaped);
    std::lock_guard<std::mutex> lock(sendMutex);
    return net::sendAll(controlSocket.handle(), escaped, static_cast<int>(size));
}

}  // namespace client
