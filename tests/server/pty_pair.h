// A pseudo-terminal pair standing in for a serial port: the server opens the
// slave by its path, the test plays the far end of the line on the master.
#pragma once

#include <cstdint>
#include <string>

namespace testing_support {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Writes every byte to the line; false when it stays full for five
    // seconds.
    bool send(const std::string& bytes) const;
    // What the port sent, once `count` bytes are there; fewer when nothing
    // more comes for five seconds.
    std::string receive(size_t count) const;

    int master = -1;
    std::string slavePath;

private:
    // Held so that the master never reads a hang-up while the port is closed.
    int slave = -1;
};

// The slave's termios as seen through `fd` with TCGETS2.
struct LineSettings {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t startChar = 0;
    uint8_t stopChar = 0;
    uint32_t inputSpeed = 0;
    uint32_t outputSpeed = 0;
};

LineSettings readLineSettings(int fd);

}  // namespace testing_support
