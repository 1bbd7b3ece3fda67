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

    // False when the line stays full for five seconds.
    bool send(const std::string& bytes) const;
    // Once `count` bytes are there; fewer when nothing more comes for five
    // seconds.
    std::string receive(size_t count) const;

    int master = -1;
    std::string slavePath;

private:
    // Held so that the master never reads a hang-up while the port is closed.
    int slave = -1;
};

// The slave's termios as seen through `fd` with TCGETS2.
struct LineSettings {
    uint32_t iflag, oflag, cflag, lflag;
    uint8_t startChar, stopChar;
    uint32_t inputSpeed, outputSpeed;
};

LineSettings readLineSettings(int fd);

}  // namespace testing_support
