#include "server/trace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "net/deadline.h"
#include "net/resolve.h"

namespace server {

namespace {

using net::Clock;

constexpr size_t bytesPerLine = 16;
// Data lines are made this many bytes at a time, and written out in pieces
// of about emitSize.
constexpr size_t renderSlice = 1024;
constexpr size_t emitSize = 64u << 10;
// Beyond this much waiting for the writer (bytes and headers), lines are
// dropped and counted rather than held: the session never waits for it.
constexpr size_t pendingLimit = 16u << 20;
// What one observer may have waiting for its connection.
constexpr size_t observerLimit = 1u << 20;
// The system's share of it: keeps what a stalled observer holds bounded.
constexpr int observerSendBuffer = 64 << 10;
constexpr size_t maxObservers = 8;
// How often the writer looks for observers and at the file.
constexpr int pollMilliseconds = 50;
constexpr int catchUpMilliseconds = 2;
constexpr int flushMilliseconds = 1000;
constexpr int flushWaitMilliseconds = 3000;

const char hexDigits[] = "0123456789abcdef";

// A record's kind is a Direction, or this for a line of text.
constexpr uint8_t textRecord = 2;
struct RecordHeader {
    long long micros;
    uint32_t length;
    uint8_t kind;
};

size_t lines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// `kind`: trace (the writer fell behind) or monitor (an observer did).
std::string droppedLine(const char* kind, size_t count) {
    std::string line;
    appendTimestamp(line, nowMicros());
    return line + " " + kind + " " + std::to_string(count) + " lines dropped\n";
}

}  // namespace

long long nowMicros() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

void appendTimestamp(std::string& out, long long micros) {
    // The date and time change once a second.
    thread_local long long second = -1;
    thread_local char prefix[32] = "";
    if (micros / 1000000 != second) {
        second = micros / 1000000;
        std::tm parts{};
        if (!localTime(second, parts) || std::strftime(prefix, sizeof prefix, "%Y-%m-%dT%H:%M:%S", &parts) == 0)
            std::snprintf(prefix, sizeof prefix, "%lld", second);
    }
    char fraction[] = ".000000";
    for (long long rest = micros % 1000000, at = 6; at > 0; rest /= 10, --at)
        fraction[at] = static_cast<char>('0' + rest % 10);
    out += prefix;
    out += fraction;
}

namespace {

// A byte's columns: two hex digits and two spaces, stored four at a time
// (the next byte's store overwrites the second space), and its printable form.
struct ByteForms {
    uint32_t hex[256];
    char printable[256];
    ByteForms() {
        for (unsigned byte = 0; byte < 256; ++byte) {
            const char columns[4] = {hexDigits[byte >> 4], hexDigits[byte & 0x0F], ' ', ' '};
            std::memcpy(&hex[byte], columns, sizeof columns);
            printable[byte] = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
        }
    }
};
const ByteForms byteForms;

}  // namespace

void appendDataLines(std::string& out, Direction direction, long long micros, const unsigned char* data,
                     size_t length) {
    std::string stamp;
    appendTimestamp(stamp, micros);
    stamp += direction == toPort ? " port<-net " : " port->net ";
    // Sized once and filled in place: the bulk of the writer's work.
    const size_t lines = (length + bytesPerLine - 1) / bytesPerLine;
    const size_t at = out.size();
    out.resize(at + lines * (stamp.size() + 3) + length * 4 - lines);
    char* next = &out[at];
    for (size_t start = 0; start < length; start += bytesPerLine) {
        const size_t count = std::min(bytesPerLine, length - start);
        const unsigned char* bytes = data + start;
        next = std::copy(stamp.begin(), stamp.end(), next);
        for (size_t i = 0; i < count; ++i) std::memcpy(next + 3 * i, &byteForms.hex[bytes[i]], 4);
        next += 3 * count + 1;
        for (size_t i = 0; i < count; ++i) *next++ = byteForms.printable[bytes[i]];
        *next++ = '\n';
    }
}

bool Trace::openFile(const std::string& setting, uint64_t limitBytes, std::string& failure) {
    path = traceFilePath(setting);
    limit = limitBytes;
    file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
        failure = path + ": " + std::strerror(errno);
        return false;
    }
    enabled = true;
    std::fseek(file, 0, SEEK_END);
    const long at = std::ftell(file);
    size = at > 0 ? static_cast<uint64_t>(at) : 0;
    return true;
}

void Trace::watch(net::SocketHandle listener, const std::vector<AddressRange>& ranges) {
    monitor = listener;
    allowed = ranges;
    enabled = true;
    net::setBlocking(monitor, false);
}

bool Trace::start() {
    if (!on()) return true;
    try {
        std::thread([this] { run(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void Trace::data(Direction direction, const unsigned char* bytes, size_t length) {
    if (on() && length != 0) add(direction, bytes, length);
}

void Trace::event(const char* kind, const std::string& what) {
    if (!on()) return;
    const std::string text = std::string(kind) + " " + what;
    add(textRecord, text.data(), text.size());
}

void Trace::add(uint8_t kind, const void* payload, size_t length) {
    const RecordHeader header{nowMicros(), static_cast<uint32_t>(length), kind};
    std::lock_guard<std::mutex> lock(mutex);
    if (pending.size() + sizeof header + length > pendingLimit) {
        droppedLines += kind == textRecord ? 1 : (length + bytesPerLine - 1) / bytesPerLine;
        return;
    }
    pending.append(reinterpret_cast<const char*>(&header), sizeof header);
    pending.append(static_cast<const char*>(payload), length);
}

void Trace::flush() {
    if (!on()) return;
    std::unique_lock<std::mutex> lock(mutex);
    const uint64_t ticket = ++flushWanted;
    wake.notify_one();
    written.wait_for(lock, std::chrono::milliseconds(flushWaitMilliseconds), [&] { return flushDone >= ticket; });
}

void Trace::run() {
    // Where the processor is short, the trace falls behind, not the line.
    lowerThreadPriority();
    std::string records;
    std::string batch;
    bool catchingUp = false;
    Clock::time_point flushed = Clock::now();
    for (;;) {
        uint64_t ticket;
        size_t dropped;
        {
            std::unique_lock<std::mutex> lock(mutex);
            // Observers that take lines as fast as they come get them so.
            wake.wait_for(lock, std::chrono::milliseconds(catchingUp ? catchUpMilliseconds : pollMilliseconds),
                          [&] { return flushWanted != flushDone; });
            records.swap(pending);
            dropped = droppedLines;
            droppedLines = 0;
            ticket = flushWanted;
        }
        acceptObservers();
        render(records, batch);
        records.clear();
        if (dropped != 0) batch += droppedLine("trace", dropped);
        if (!batch.empty()) emit(batch);
        catchingUp = false;
        for (size_t i = 0; i < observers.size();) {
            const size_t before = observers[i].queue.size();
            if (drain(observers[i])) {
                catchingUp |= !observers[i].queue.empty() && observers[i].queue.size() < before;
                ++i;
            } else {
                net::releaseSocket(observers[i].sock);
                observers.erase(observers.begin() + static_cast<long>(i));
            }
        }
        batch.clear();
        const bool due = Clock::now() - flushed >= std::chrono::milliseconds(flushMilliseconds);
        if (!path.empty() && (ticket != flushDone || due)) {
            flushed = Clock::now();
            if (file != nullptr) std::fflush(file);
            // logrotate moved the file away, or it could not be opened again:
            // the next lines go to a new one.
            if (file == nullptr || movedAway(file, path)) reopen(false);
        }
        std::lock_guard<std::mutex> lock(mutex);
        flushDone = ticket;
        written.notify_all();
    }
}

void Trace::render(const std::string& records, std::string& batch) {
    for (size_t at = 0; at + sizeof(RecordHeader) <= records.size();) {
        RecordHeader header;
        std::memcpy(&header, records.data() + at, sizeof header);
        const char* payload = records.data() + at + sizeof header;
        at += sizeof header + header.length;
        if (header.kind == textRecord) {
            appendTimestamp(batch, header.micros);
            batch += ' ';
            batch.append(payload, header.length);
            batch += '\n';
            continue;
        }
        // A slice at a time, so that the lines are written while still in
        // the processor's cache.
        for (size_t done = 0; done < header.length; done += renderSlice) {
            appendDataLines(batch, static_cast<Direction>(header.kind), header.micros,
                            reinterpret_cast<const unsigned char*>(payload) + done,
                            std::min<size_t>(renderSlice, header.length - done));
            if (batch.size() >= emitSize) emit(batch);
        }
    }
}

void Trace::emit(std::string& batch) {
    write(batch);
    for (Observer& observer : observers) feed(observer, batch);
    batch.clear();
}

void Trace::write(const std::string& batch) {
    if (file == nullptr) return;
    std::fwrite(batch.data(), 1, batch.size(), file);
    size += batch.size();
    if (limit != 0 && size >= limit) reopen(true);
}

void Trace::reopen(bool rotate) {
    if (file != nullptr) std::fclose(file);
    if (rotate) {
        // Windows renames onto no existing file.
        const std::string old = path + ".1";
        std::remove(old.c_str());
        std::rename(path.c_str(), old.c_str());
    }
    // Should the folder have gone, the trace stops rather than the server.
    file = std::fopen(path.c_str(), "ab");
    size = 0;
}

void Trace::acceptObservers() {
    if (monitor == net::invalidSocket) return;
    for (;;) {
        sockaddr_in peer{};
        net::SocketLength peerLength = sizeof peer;
        const net::SocketHandle sock = ::accept(monitor, reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (sock == net::invalidSocket) return;
        const uint32_t address = ntohl(peer.sin_addr.s_addr);
        std::string greeting;
        appendTimestamp(greeting, nowMicros());
        if (!allows(allowed, address)) {
            net::releaseSocket(sock);
            continue;
        }
        net::setBlocking(sock, false);
        ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&observerSendBuffer),
                     sizeof observerSendBuffer);
        if (observers.size() >= maxObservers) {
            greeting += " monitor full: " + std::to_string(maxObservers) + " observers already\n";
            net::sendBytes(sock, greeting.data(), static_cast<int>(greeting.size()));
            net::releaseSocket(sock);
            continue;
        }
        // Its first line tells the observer it is being fed.
        greeting += " monitor observer " + std::to_string(observers.size() + 1) + " of " +
                    std::to_string(maxObservers) + " from " + net::dottedAddress(address) + "\n";
        observers.push_back(Observer{sock, greeting});
    }
}

void Trace::feed(Observer& observer, const std::string& batch) {
    if (batch.empty()) return;
    // Whole pieces, and only once the connection takes no more: one that
    // keeps up never loses a line.
    if (observer.queue.size() + batch.size() > observerLimit) drain(observer);
    if (!observer.queue.empty() && observer.queue.size() + batch.size() > observerLimit) {
        observer.dropped += lines(batch);
        return;
    }
    observer.queue += batch;
}

bool Trace::drain(Observer& observer) {
    while (!observer.queue.empty()) {
        const int sent = net::sendBytes(observer.sock, observer.queue.data(), static_cast<int>(observer.queue.size()));
        if (sent < 0) return net::lastErrorWouldBlock();
        observer.queue.erase(0, static_cast<size_t>(sent));
        // Caught up: it learns how much it missed.
        if (observer.queue.empty() && observer.dropped != 0) {
            observer.queue = droppedLine("monitor", observer.dropped);
            observer.dropped = 0;
        }
    }
    return true;
}

}  // namespace server
