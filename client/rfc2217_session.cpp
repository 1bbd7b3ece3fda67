#include "client/rfc2217_session.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace client {

void Rfc2217Session::run(uint32_t serverAddress, uint16_t serverPort) {
    net::setSessionOptions(connection.handle());
    if (!connection.connect(serverAddress, serverPort)) throw std::runtime_error("connect connect error");
    {
        std::lock_guard<std::mutex> lock(sending);
        stream.appendOffers(pending);
        if (!sendPending()) throw std::runtime_error("send ioctl error");
    }
    try {
        deviceToNetThread = std::thread([this] { pumpDeviceToNetwork(); });
        netToDeviceThread = std::thread([this] { pumpNetworkToDevice(); });
    } catch (const std::system_error&) {
        throw std::runtime_error("create thread error");
    }
    std::vector<unsigned char> out;
    for (;;) {
        const PortResult result = device.waitControl(controlBuffer, net::controlBufferSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) throw std::runtime_error("ctrl event error");
        out.clear();
        for (int at = 0; at + net::recordHeaderSize <= result.count;) {
            const int size = net::recordHeaderSize + controlBuffer[at];
            if (!net::validRecordLength(controlBuffer[at]) || at + size > result.count) break;
            // A request without an RFC 2217 equivalent is dropped.
            commands.translate(net::decodeRecord(controlBuffer + at), out);
            at += size;
        }
        if (!out.empty() && !sendCommands(out)) throw std::runtime_error("send ioctl error");
    }
}

bool Rfc2217Session::sendCommands(const std::vector<unsigned char>& commandBytes) {
    std::lock_guard<std::mutex> lock(sending);
    if (!agreed) {
        // A server that never agrees gets none; keep only the latest changes.
        if (held.size() > net::controlBufferSize) held.clear();
        held.insert(held.end(), commandBytes.begin(), commandBytes.end());
        return true;
    }
    pending.insert(pending.end(), commandBytes.begin(), commandBytes.end());
    return sendPending();
}

bool Rfc2217Session::sendPending() {
    const bool sent = net::sendAll(connection.handle(), pending.data(), static_cast<int>(pending.size()));
    pending.clear();
    return sent;
}

void Rfc2217Session::pumpDeviceToNetwork() {
    unsigned char piece[net::chunkSize];
    unsigned char escaped[2 * net::chunkSize];
    for (;;) {
        const PortResult result = device.read(piece, net::chunkSize);
        if (result.status == PortResult::again) continue;
        if (result.status == PortResult::failed) return;
        if (result.count == 0) continue;
        const size_t size = net::telnet::TelnetStream::escape(piece, static_cast<size_t>(result.count), escaped);
        std::lock_guard<std::mutex> lock(sending);
        pending.insert(pending.end(), escaped, escaped + size);
        if (!sendPending()) return;
    }
}

void Rfc2217Session::pumpNetworkToDevice() {
    for (;;) {
        const int received = net::receiveBytes(connection.handle(), netBuffer, sizeof netBuffer);
        if (received <= 0) return;
        const size_t count = stream.receive(netBuffer, static_cast<size_t>(received), dataBuffer, *this);
        {
            std::lock_guard<std::mutex> lock(sending);
            pending.insert(pending.end(), stream.answers.begin(), stream.answers.end());
            stream.answers.clear();
            if (!agreed && stream.comPortAgreed()) {
                agreed = true;
                pending.insert(pending.end(), held.begin(), held.end());
                held.clear();
            }
            if (!pending.empty() && !sendPending()) return;
        }
        for (size_t done = 0; done < count;) {
            const int piece = static_cast<int>(std::min<size_t>(count - done, net::chunkSize));
            const PortResult result = device.write(dataBuffer + done, piece);
            // A write the port refused loses this piece only.
            if (result.status == PortResult::failed || (result.status == PortResult::done && result.count < piece))
                return;
            done += static_cast<size_t>(piece);
        }
    }
}

}  // namespace client
