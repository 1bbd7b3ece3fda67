// The virtual serial port that local applications use. On Windows it is the
// separate virtual serial driver, reached through its device "com<N>"; on
// Linux it is our own: a pseudo-terminal whose slave applications open
// through a symlink while the client holds the master.
//
// After open(), three kinds of request may be outstanding together, each
// issued by its own thread: waitControl, read and write. The port lives
// for the whole run; sessions come and go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client/line_format.h"

namespace client {

struct PortOptions {
    int32_t comNumber = 0;
    // Where the Linux port is published; empty: "com<N>" in the current directory.
    std::string devicePath;
    // What the Linux port cannot hold itself (data bits, even/no parity).
    LineFormat line;
};

// How one request ended. `again`: nothing happened, issue it again;
// `failed`: its result could not be collected.
struct PortResult {
    enum Status { done, again, failed };
    Status status;
    int count;
};

class VirtualPort {
public:
    VirtualPort();
    ~VirtualPort();
    VirtualPort(const VirtualPort&) = delete;
    VirtualPort& operator=(const VirtualPort&) = delete;

    // Opens and attaches the port; false when it cannot be had, and then
    // openFailure() says why (on Linux; Windows' boxes do not show it).
    bool open(const PortOptions& options);
    const std::string& openFailure() const { return failure; }
    // The events of the three requests (Windows); false when one cannot be made.
    bool createEvents();
    // Takes back what open() published for applications (Linux: the
    // symlink). Safe while the requests run.
    void withdraw();

    // Completes with control-request records once applications have changed
    // the port's settings or flushed it; the first call reports the settings
    // the port starts with.
    PortResult waitControl(unsigned char* buffer, int size);
    // Completes with up to `size` bytes that applications wrote, as many as
    // are there (the Windows driver: at most net::chunkSize).
    PortResult read(unsigned char* buffer, int size);
    // Gives applications `count` bytes to read; done means every byte was
    // taken, again that the Windows driver refused some of them (lost).
    PortResult write(const unsigned char* data, int count);
    // Makes a write that waits for the port fail, until allowWrites(): the
    // session its bytes came from has ended. Any thread.
    void stopWrites();
    void allowWrites();

    // Where applications find the port, for the running note.
    std::string describe() const;

private:
    struct Driver;
    std::unique_ptr<Driver> driver;
    std::string failure;
};

}  // namespace client
