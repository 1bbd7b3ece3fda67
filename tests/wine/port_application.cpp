// An application on the application side of the suite's test port driver
// (port_driver.c), using it as a Windows program uses a serial port: one
// command per run, exit status 0 when every check holds.
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
constexpr DWORD statisticsCode = 0x001B2080;
constexpr DWORD failWaitCode = 0x001B2084;
constexpr DWORD emptyReadCode = 0x001B2088;
constexpr DWORD limitMs = 60000;  // a safety net for each request, never a synchronisation

struct Statistics {
    ULONG largestClientWrite;
    ULONG clientWriteWaiting;
    ULONG emptyReads;
};

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

HANDLE openPort(const char* name) {
    std::string path = std::string("\\\\.\\") + name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("FAILED: open %s: error %lu\n", path.c_str(), GetLastError());
        std::exit(1);
    }
    return port;
}

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
bool driverRequest(HANDLE port, DWORD code, void* output = nullptr, DWORD size = 0) {
    DWORD returned = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL done = DeviceIoControl(port, code, nullptr, 0, output, size, &returned, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(port, &overlapped, &returned, TRUE);
    CloseHandle(overlapped.hEvent);
    return done != FALSE;
}

Statistics statistics(HANDLE port) {
    Statistics numbers{};
    driverRequest(port, statisticsCode, &numbers, sizeof numbers);
    return numbers;
}

// Polls the driver's counters, with a safety limit.
template <typename Condition>
bool eventually(HANDLE port, Condition condition) {
    for (DWORD waited = 0; waited < limitMs; waited += 20) {
        if (condition(statistics(port))) return true;
        Sleep(20);
    }
    return false;
}

// 115200 bit/s, 7E2, RTS/CTS, as a program sets them; the driver answers
// GetCommState itself from what was set.
int commandSettings(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    expect(GetCommState(port, &dcb) != FALSE, "GetCommState before any change");
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    expect(SetCommState(port, &dcb) != FALSE, "SetCommState 115200 7E2 RTS/CTS");
    COMMTIMEOUTS timeouts{50, 0, 1000, 0, 0};
    expect(SetCommTimeouts(port, &timeouts) != FALSE, "SetCommTimeouts");
    DCB back{};
    back.DCBlength = sizeof back;
    expect(GetCommState(port, &back) != FALSE && back.BaudRate == 115200 && back.ByteSize == 7 &&
               back.Parity == EVENPARITY && back.StopBits == TWOSTOPBITS && back.fOutxCtsFlow &&
               back.fRtsControl == RTS_CONTROL_HANDSHAKE,
           "GetCommState reads back what was set");
    COMMTIMEOUTS timeoutsBack{};
    expect(GetCommTimeouts(port, &timeoutsBack) != FALSE && timeoutsBack.ReadIntervalTimeout == 50 &&
               timeoutsBack.ReadTotalTimeoutConstant == 1000,
           "GetCommTimeouts reads back what was set");
    return failures == 0 ? 0 : 1;
}

// SIZE bytes each way at once: ours (seed 1) out, the device's (seed 2) in.
int commandExchange(HANDLE port, size_t size) {
    bool written = false;
    std::thread writer([&] { written = writeAll(port, stream(1, size)); });
    std::vector<unsigned char> received = readAll(port, size);
    writer.join();
    expect(written, std::to_string(size) + " bytes written to the port");
    expect(received == stream(2, size), std::to_string(size) + " bytes from the device read intact (" +
                                            std::to_string(received.size()) + " read)");
    expect(statistics(port).largestClientWrite <= 64, "the client wrote them in pieces of at most 64 bytes");
    return failures == 0 ? 0 : 1;
}

// SIZE bytes (seed 3) that the device sent at once, left unread until the
// client's write had to wait for room.
int commandBacklog(HANDLE port, size_t size) {
    expect(eventually(port, [](const Statistics& now) { return now.clientWriteWaiting != 0; }),
           "the client's write waits while the port's input is full");
    std::vector<unsigned char> received = readAll(port, size);
    expect(received == stream(3, size), std::to_string(size) + " waiting bytes read intact and in order");
    expect(statistics(port).largestClientWrite <= 64, "no client write of more than 64 bytes");
    return failures == 0 ? 0 : 1;
}

// The client's next read completes with no bytes; then TEXT follows.
int commandEmptyRead(HANDLE port, const char* text) {
    Statistics before = statistics(port);
    expect(driverRequest(port, emptyReadCode), "asked for an empty read");
    expect(eventually(port, [&](const Statistics& now) { return now.emptyReads > before.emptyReads; }),
           "the client's read completed with 0 bytes");
    expect(writeAll(port, std::vector<unsigned char>(text, text + std::strlen(text))), "then wrote " + std::string(text));
    return failures == 0 ? 0 : 1;
}

// Keeps the port open across a server restart: sets BAUD, then twice a
// ping and its pong, each once a line on standard input says the session
// is up.
int commandHold(HANDLE port, DWORD baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    expect(GetCommState(port, &dcb) != FALSE, "GetCommState");
    dcb.BaudRate = baud;
    expect(SetCommState(port, &dcb) != FALSE, "SetCommState " + std::to_string(baud));
    for (const char* round : {"1", "2"}) {
        std::printf("waiting to send ping %s\n", round);
        char line[64];
        expect(std::fgets(line, sizeof line, stdin) != nullptr, "told to go on");
        std::string ping = std::string("ping ") + round, pong = std::string("pong ") + round;
        expect(writeAll(port, std::vector<unsigned char>(ping.begin(), ping.end())), "wrote " + ping);
        expect(readAll(port, pong.size()) == std::vector<unsigned char>(pong.begin(), pong.end()), "read " + pong);
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::string command = argc > 2 ? argv[1] : "";
    if (command.empty()) {
        std::fputs("usage: morvane-port-app settings PORT | exchange PORT SIZE | backlog PORT SIZE\n"
                   "       | purge PORT | empty-read PORT TEXT | fail-wait PORT | hold PORT BAUD\n",
                   stderr);
        return 2;
    }
    HANDLE port = openPort(argv[2]);
    if (command == "settings") return commandSettings(port);
    if (command == "exchange" && argc == 4) return commandExchange(port, std::strtoul(argv[3], nullptr, 10));
    if (command == "backlog" && argc == 4) return commandBacklog(port, std::strtoul(argv[3], nullptr, 10));
    if (command == "hold" && argc == 4) return commandHold(port, std::strtoul(argv[3], nullptr, 10));
    if (command == "empty-read" && argc == 4) return commandEmptyRead(port, argv[3]);
    if (command == "purge") expect(PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE, "PurgeComm");
    else if (command == "fail-wait") expect(driverRequest(port, failWaitCode), "the client's control-wait made to fail");
    else return 2;
    return failures == 0 ? 0 : 1;
}
