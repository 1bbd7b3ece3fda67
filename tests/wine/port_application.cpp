// An application on the application side of the suite's test port driver
// (port_driver.c), \\.\COM13, using it as a Windows program uses a serial
// port: one command per run, exit status 0 when every check holds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// The test driver's own requests (application side only).
constexpr DWORD failWaitCode = 0x001B2084;
constexpr DWORD emptyReadCode = 0x001B2088;
constexpr DWORD driverQueueSize = 4096;  // what the driver holds for this side

int failures = 0;

void expect(bool holds, const std::string& what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what.c_str());
    if (!holds) ++failures;
}

// The support module's pattern; the device's bytes come inverted (mask 0xFF).
std::vector<unsigned char> pattern(size_t size, unsigned char mask) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 256) ^ mask);
    return bytes;
}

std::vector<unsigned char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Moves SIZE bytes through the port, overlapped as the client's driver needs,
// in pieces of up to 4096; false when a transfer fails. A transfer that
// never ends is the peer script's to time out.
bool transferAll(HANDLE port, bool reading, unsigned char* bytes, size_t size) {
    for (size_t at = 0; at < size;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD count = 0, piece = static_cast<DWORD>(std::min<size_t>(size - at, 4096));
        BOOL done = reading ? ReadFile(port, bytes + at, piece, &count, &overlapped)
                            : WriteFile(port, bytes + at, piece, &count, &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(port, &overlapped, &count, TRUE);
        CloseHandle(overlapped.hEvent);
        if (!done || count == 0) return false;
        at += count;
    }
    return true;
}

bool writes(HANDLE port, std::vector<unsigned char> bytes) { return transferAll(port, false, bytes.data(), bytes.size()); }

// Whether the next bytes read are `wanted`.
bool reads(HANDLE port, const std::vector<unsigned char>& wanted) {
    std::vector<unsigned char> bytes(wanted.size());
    return transferAll(port, true, bytes.data(), bytes.size()) && bytes == wanted;
}

// One of the test driver's own requests: answered at once, so not overlapped.
bool driverRequest(HANDLE port, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(port, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
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

// SIZE bytes each way at once.
void exchange(HANDLE port, size_t size) {
    bool written = false;
    std::thread writer([&] { written = writes(port, pattern(size, 0)); });
    expect(reads(port, pattern(size, 0xFF)), std::to_string(size) + " bytes from the device read intact");
    writer.join();
    expect(written, std::to_string(size) + " bytes written to the port");
}

// SIZE bytes that the device sent at once, left unread until the client's
// write waits for room: the driver counts its bytes as waiting too. Polled
// (nothing signals it); the peer script bounds the wait.
void backlog(HANDLE port, size_t size) {
    COMSTAT status{};
    DWORD errors = 0;
    while (!ClearCommError(port, &errors, &status) || status.cbInQue <= driverQueueSize) Sleep(20);
    expect(reads(port, pattern(size, 0xFF)), std::to_string(size) + " waiting bytes read intact and in order");
}

// Keeps the port open across a server restart: sets BAUD, then twice a
// ping and its pong, each once a line on standard input says the session
// is up.
void hold(HANDLE port, DWORD baud) {
    configure(port, baud);
    char line[64];
    for (std::string round : {"1", "2"}) {
        expect(std::fgets(line, sizeof line, stdin) != nullptr, "told to go on");
        expect(writes(port, bytesOf("ping " + round)), "wrote ping " + round);
        expect(reads(port, bytesOf("pong " + round)), "read pong " + round);
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
    // Made again until the client's control-wait is pending.
    else if (command == "fail-wait") while (!driverRequest(port, failWaitCode)) Sleep(10);
    else if (command == "empty-read") {
        // The driver completes the client's next read empty before any byte.
        expect(driverRequest(port, emptyReadCode), "the client's next read made empty");
        expect(writes(port, bytesOf(argument)), std::string("then wrote ") + argument);
    } else return 2;
    return failures == 0 ? 0 : 1;
}
