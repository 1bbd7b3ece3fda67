// What goes over the line, as text: a trace file and live observers on a
// monitor port. The session's threads only copy what passes into memory;
// the trace's own thread makes the lines and writes them, so neither the
// disk nor a slow observer ever holds a session back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/compat.h"
#include "server/allow_list.h"

namespace server {

// Directions of data lines: port<-net, port->net.
enum Direction : uint8_t { toPort, fromPort };

// Microseconds since 1970.
long long nowMicros();
// The time of day with microseconds, local time: 2026-12-07T17:00:33.123456.
void appendTimestamp(std::string& out, long long micros);
// Data lines: up to 16 bytes each, in hex and as printable ASCII.
void appendDataLines(std::string& out, Direction direction, long long micros, const unsigned char* data,
                     size_t length);

// Platform parts (trace_posix.cpp, trace_win32.cpp).
// The file a `trace` setting names: Linux takes it from the working
// directory, Windows from the program's folder.
std::string traceFilePath(const std::string& setting);
// True when `path` no longer names the open file (moved or removed).
bool movedAway(std::FILE* file, const std::string& path);
bool localTime(long long seconds, std::tm& out);
// Makes the calling thread yield the processor to the session's threads.
void lowerThreadPriority();

class Trace {
public:
    // Opens the file for appending; false with `failure` saying why.
    bool openFile(const std::string& path, uint64_t limitBytes, std::string& failure);
    // Takes the monitor's listening socket; observers come from `allowed`.
    void watch(net::SocketHandle listener, const std::vector<AddressRange>& allowed);
    // Starts the writer, which runs for the life of the process; false when
    // no thread could be made.
    bool start();
    // Fixed before start(): the session's threads look without a lock.
    bool on() const { return enabled; }

    void data(Direction direction, const unsigned char* bytes, size_t length);
    // One line: its kind (session, request, rfc2217) and text.
    void event(const char* kind, const std::string& text);
    // Returns once what was noted so far is in the file (or after a while,
    // should the disk hang).
    void flush();

private:
    struct Observer {
        net::SocketHandle sock;
        std::string queue;
        size_t dropped = 0;
    };

    // Appends one record (a header, then the bytes or the text) for the
    // writer, who makes the lines: a copy is all a session's thread does.
    void add(uint8_t kind, const void* payload, size_t length);
    void run();
    // Lines from records, handed on as they are made.
    void render(const std::string& records, std::string& batch);
    // To the file and every observer.
    void emit(std::string& batch);
    void write(const std::string& batch);
    void reopen(bool rotate);
    void acceptObservers();
    void feed(Observer& observer, const std::string& batch);
    bool drain(Observer& observer);

    bool enabled = false;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable written;
    std::string pending;  // records
    size_t droppedLines = 0;
    uint64_t flushWanted = 0;
    uint64_t flushDone = 0;
    bool stopping = false;
    std::thread writer;

    // The writer's own.
    std::string path;
    std::FILE* file = nullptr;
    uint64_t limit = 0;
    uint64_t size = 0;
    net::SocketHandle monitor = net::invalidSocket;
    std::vector<AddressRange> allowed;
    std::vector<Observer> observers;
};

}  // namespace server
