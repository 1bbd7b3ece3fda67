// An application on the application side of the suite's test port driver
// (port_driver.c), \\.\COM13, using it as a Windows program uses a serial
// port: one command per run, exit status 0 when every check holds.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// The test driver's own requests (application side only).
constexpr DWORD failWaitCode = 0x001B2084;
constexpr DWORD emptyReadCode = 0x001B2088;
constexpr DWORD driverQueueSize = 4096;  // what the driver holds for this side
constexpr DWORD limitMs = 60000;  // a safety net for each request, never a synchronisation

int failures = 0;

void expect(bool holds, const std::string& what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what.c_str());
    if (!holds) ++failures;
}

// The byte stream both ends of an exchange compute (xorshift32).
std::vector<unsigned char> stream(uint32_t seed, size_t size) {
    std::vector<unsigned char> bytes(size);
    for (auto& byte : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        byte = static_cast<unsigned char>(seed);
    }
    return bytes;
}

std::vector<unsigned char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// One overlapped read or write, bounded; the count done, or -1.
long transfer(HANDLE port, bool reading, unsigned char* bytes, DWORD size) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD count = 0;
    BOOL done = reading ? ReadFile(port, bytes, size, &count, &overlapped)
                        : WriteFile(port, bytes, size, &count, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, limitMs) != WAIT_OBJECT_0) {
            CancelIo(port);
            GetOverlappedResult(port, &overlapped, &count, TRUE);
            std::printf("%s timed out\n", reading ? "read" : "write");
        } else {
            done = GetOverlappedResult(port, &overlapped, &count, FALSE);
        }
    }
    CloseHandle(overlapped.hEvent);
    return done ? static_cast<long>(count) : -1;
}

bool writeAll(HANDLE port, const std::vector<unsigned char>& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 4096));
        long count = transfer(port, false, const_cast<unsigned char*>(bytes.data() + at), piece);
        if (count <= 0) return false;
        at += static_cast<size_t>(count);
    }
    return true;
}

std::vector<unsigned char> readAll(HANDLE port, size_t size) {
    std::vector<unsigned char> bytes(size);
    size_t at = 0;
    while (at < size) {
        long count = transfer(port, true, bytes.data() + at, static_cast<DWORD>(std::min<size_t>(size - at, 4096)));
        if (count <= 0) break;
        at += static_cast<size_t>(count);
    }
    bytes.resize(at);
    return bytes;
}

// One of the test driver's own requests, answered at once.
bool driverRequest(HANDLE port, DWORD code) {
    DWORD returned = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = DeviceIoControl(port, code, nullptr, 0, nullptr, 0, &returned, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(port, &overlapped, &returned, TRUE);
    CloseHandle(overlapped.hEvent);
    return done != FALSE;
}

// BAUD bit/s, 7E2, RTS/CTS, as a program sets them: the driver answers
// GetCommState itself from what was set.
void configure(HANDLE port, DWORD baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    expect(GetCommState(port, &dcb) != FALSE, "GetCommState");
    dcb.BaudRate = baud;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    expect(SetCommState(port, &dcb) != FALSE, "SetCommState " + std::to_string(baud) + " 7E2 RTS/CTS");
    COMMTIMEOUTS timeouts{50, 0, 1000, 0, 0};
    expect(SetCommTimeouts(port, &timeouts) != FALSE, "SetCommTimeouts");
}

// SIZE bytes each way at once: ours (seed 1) out, the device's (seed 2) in.
void exchange(HANDLE port, size_t size) {
    bool written = false;
    std::thread writer([&] { written = writeAll(port, stream(1, size)); });
    std::vector<unsigned char> received = readAll(port, size);
    writer.join();
    expect(written, std::to_string(size) + " bytes written to the port");
    expect(received == stream(2, size), std::to_string(size) + " bytes from the device read intact (" +
                                            std::to_string(received.size()) + " read)");
}

// SIZE bytes (seed 3) that the device sent at once, left unread until the
// client's write waits for room: the driver counts its bytes as waiting too.
void backlog(HANDLE port, size_t size) {
    COMSTAT status{};
    DWORD errors = 0;
    for (DWORD waited = 0; waited < limitMs && status.cbInQue <= driverQueueSize; waited += 20) {
        Sleep(20);
        ClearCommError(port, &errors, &status);
    }
    expect(status.cbInQue > driverQueueSize, "the client's write waits while the port's input is full");
    expect(readAll(port, size) == stream(3, size), std::to_string(size) + " waiting bytes read intact and in order");
}

// Keeps the port open across a server restart: sets BAUD, then twice a
// ping and its pong, each once a line on standard input says the session
// is up.
void hold(HANDLE port, DWORD baud) {
    configure(port, baud);
    char line[64];
    for (std::string round : {"1", "2"}) {
        expect(std::fgets(line, sizeof line, stdin) != nullptr, "told to go on");
        expect(writeAll(port, bytesOf("ping " + round)), "wrote ping " + round);
        expect(readAll(port, 6) == bytesOf("pong " + round), "read pong " + round);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    HANDLE port = CreateFileA("\\\\.\\COM13", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    expect(port != INVALID_HANDLE_VALUE, "COM13 opens");
    std::string command = argc > 1 && failures == 0 ? argv[1] : "";
    const char* argument = argc > 2 ? argv[2] : "0";
    if (command == "settings") configure(port, std::strtoul(argument, nullptr, 10));
    else if (command == "exchange") exchange(port, std::strtoul(argument, nullptr, 10));
    else if (command == "backlog") backlog(port, std::strtoul(argument, nullptr, 10));
    else if (command == "hold") hold(port, std::strtoul(argument, nullptr, 10));
    else if (command == "purge") expect(PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE, "PurgeComm");
    else if (command == "fail-wait") expect(driverRequest(port, failWaitCode), "the client's control-wait made to fail");
    else if (command == "empty-read") {
        // The driver completes the client's next read empty before any byte.
        expect(driverRequest(port, emptyReadCode), "the client's next read made empty");
        expect(writeAll(port, bytesOf(argument)), std::string("then wrote ") + argument);
    } else return 2;
    return failures == 0 ? 0 : 1;
}
