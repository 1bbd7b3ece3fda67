// The one serial port the server shares: opened once at start-up, then read,
// written and given control requests by the threads of each session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/protocol.h"
#include "net/serial_settings.h"

namespace server {

// Win32 COMMTIMEOUTS, in milliseconds, for the port's own reads and writes.
// A read ends when its buffer is full, when more than readInterval passes
// between two bytes, or readTotalMultiplier per byte asked for plus
// readTotalConstant after it started, possibly with nothing.
struct PortTimeouts {
    // Win32's MAXDWORD: in both the read interval and the multiplier it
    // makes a read return as soon as one byte is there.
    static constexpr uint32_t returnOnArrival = 0xFFFFFFFF;
    static constexpr uint32_t defaultReadInterval = 100;

    // The gap after which a partial read is handed on; 0 hands bytes on as
    // soon as they arrive (the total constant still bounds a silent read).
    void setReadInterval(uint32_t milliseconds) {
        readInterval = milliseconds == 0 ? returnOnArrival : milliseconds;
        readTotalMultiplier = milliseconds == 0 ? returnOnArrival : 10;
    }
    bool returnsOnArrival() const {
        return readInterval == returnOnArrival && readTotalMultiplier == returnOnArrival && readTotalConstant != 0 &&
               readTotalConstant != returnOnArrival;
    }

    uint32_t readInterval = defaultReadInterval;
    uint32_t readTotalMultiplier = 10;
    uint32_t readTotalConstant = 500;
    uint32_t writeTotalMultiplier = 10;
    uint32_t writeTotalConstant = 500;
};

// Bytes asked for in the driver's input queue and in its output queue.
constexpr uint32_t portQueueSize = 4096;

class SerialPort {
public:
    explicit SerialPort(uint32_t queueSize);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Port numbers 1 to 9 name COM1 to COM9; 0 and the rest open nothing.
    // False on failure.
    bool open(int32_t portNumber);
    bool setLine(uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits);
    bool open(int32_t portNumber, uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits);
    void close();
    bool isOpen() const;
    // The name the port was opened under.
    const std::string& name() const { return openedName; }

    // Creates what transfers wait on: the events of the reads, writes and
    // replayed requests on Windows, and the wake-up on every platform.
    // False when one cannot be made.
    bool createIoEvents();

    // What one read asks for. A read that returns on arrival takes what is
    // there, up to a large piece; one that waits for its buffer to fill stays
    // small, so that a slow stream still moves every few milliseconds rather
    // than once per total time-out.
    int readSize() const { return timeouts.returnsOnArrival() ? net::largeChunkSize : net::chunkSize; }
    // Reads up to `capacity` bytes within the read time-outs. Returns the
    // count, 0 when the time-out ran out on a silent line, negative when the
    // port failed or hung up. One reader at a time.
    int read(unsigned char* buffer, int capacity);
    // Makes the current or next read, and a write waiting for a stopped line,
    // return at once with what they moved, until rearm(); from any thread.
    void wake();
    void rearm();
    // Writes within the write time-outs. Returns the count written, fewer on
    // a time-out, negative when the port failed. One writer at a time.
    int write(const unsigned char* data, int length);
    // Issues one forwarded control request on the port, without an output
    // buffer. False when the port refuses it.
    bool replay(uint32_t ioControlCode, const unsigned char* input, int length);
    // What the system said when the last replay failed.
    std::string failureText() const;
    // False once the port has hung up or failed for good.
    bool healthy();
    // Lets the line send again: output resumed as after XON, break off.
    void resumeTransmission();
    // Drops the bytes written that the line has not sent yet.
    void discardOutput();
    // Bytes written that the line has not sent yet; -1 when unknown.
    int outputWaiting() const;
    // Lets other programs open the port once this process ends; the port
    // stays usable. Safe while other threads use it.
    void releaseExclusive();
    // The line settings in effect; false when they cannot be read.
    bool readLineSettings(net::SerialSettings& out) const;
    // The modem input lines (net::modemCts...); false when the port has none.
    bool readModemLines(uint8_t& lines) const;

    const uint32_t queueSize;
    PortTimeouts timeouts;
#ifndef _WIN32
    // A tty to open instead of the numbered port (the "device" setting).
    std::string device;
#endif
    // Why the last open failed, for the console (empty on Windows, whose
    // boxes do not show it): the device and the system's reason.
    std::string openFailure;

private:
    // The COM port's handle, state and overlapped records, or the tty's
    // descriptor and the reader's wake-up pipe.
    struct Platform;
    std::string openedName;
    // The system's error code of the last failed replay.
    int lastError = 0;
    std::unique_ptr<Platform> platform;
};

}  // namespace server
