#include "server/control_codes.h"
#include "server/serial_port.h"

namespace server {

namespace {

// Entry 0 names no device, so port number 0 never opens.
const char* const deviceNames[] = {"dmy",  "COM1", "COM2", "COM3", "COM4",
                                   "COM5", "COM6", "COM7", "COM8", "COM9"};

static_assert(sizeof(DCB) == 28, "DCBlength is 28");

// A failed transfer: after a comm error (framing, overrun, ...) the port
// goes on once ClearCommError has reported it; -1 when even that fails.
int afterFailure(HANDLE handle) {
    DWORD errors = 0;
    return ClearCommError(handle, &errors, nullptr) ? 0 : -1;
}

// Waits for an overlapped transfer that went pending and collects its count;
// one that completed at once has its count already. The port's time-outs
// bound the wait; a signalled `wake` (may be null) cancels the transfer and
// keeps what it moved.
int finishTransfer(HANDLE handle, BOOL started, DWORD count, OVERLAPPED& overlapped, HANDLE wake) {
    if (started) return static_cast<int>(count);
    if (GetLastError() != ERROR_IO_PENDING) return afterFailure(handle);
    HANDLE events[2] = {overlapped.hEvent, wake};
    DWORD waited = WaitForMultipleObjects(wake != nullptr ? 2 : 1, events, FALSE, INFINITE);
    if (waited == WAIT_OBJECT_0 + 1) {
        CancelIoEx(handle, &overlapped);
        GetOverlappedResult(handle, &overlapped, &count, TRUE);
        return static_cast<int>(overlapped.InternalHigh);
    }
    if (waited != WAIT_OBJECT_0) return -1;
    if (!GetOverlappedResult(handle, &overlapped, &count, FALSE)) return afterFailure(handle);
    return static_cast<int>(count);
}

}  // namespace

int16_t SerialPort::open(int32_t portNumber) {
    if (portNumber < 0 || portNumber > 9) return -1;
    const char* portName = deviceNames[portNumber];
    handle = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        handle = nullptr;
        return -1;
    }
    commTimeouts.ReadIntervalTimeout = timeouts.readInterval;
    commTimeouts.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    commTimeouts.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    commTimeouts.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    commTimeouts.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    bool prepared = SetCommMask(handle, 0) && SetupComm(handle, queueSize, queueSize) &&
                    SetCommTimeouts(handle, &commTimeouts) && GetCommState(handle, &dcb);
    if (prepared) {
        // Everything else stays as the port reported it.
        dcb.DCBlength = sizeof(DCB);
        dcb.fBinary = 1;
        dcb.fTXContinueOnXoff = 1;
        // A previous user's abort-on-error would fail every read after the
        // first framing error.
        dcb.fAbortOnError = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 100;
        dcb.XoffLim = 1500;
        prepared = SetCommState(handle, &dcb);
    }
    if (!prepared) {
        close();
        return -1;
    }
    openedName = portName;
    return static_cast<int16_t>(portNumber);
}

int16_t SerialPort::setLine(uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits) {
    dcb.BaudRate = baudRate;
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.StopBits = static_cast<BYTE>(stopBits);
    dcb.fParity = parity != 0 ? 1 : 0;
    return SetCommState(handle, &dcb) ? 0 : -1;
}

void SerialPort::close() {
    if (handle == nullptr) return;
    CloseHandle(handle);
    handle = nullptr;
    openedName.clear();
}

bool SerialPort::isOpen() const { return handle != nullptr; }

bool SerialPort::createIoEvents() {
    readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, "READ03x");
    if (readOverlapped.hEvent == nullptr) return false;
    writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, "WRITE03x");
    if (writeOverlapped.hEvent == nullptr) return false;
    wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return wakeEvent != nullptr;
}

int SerialPort::read(unsigned char* buffer, int capacity) {
    DWORD count = 0;
    BOOL started = ReadFile(handle, buffer, static_cast<DWORD>(capacity), &count, &readOverlapped);
    return finishTransfer(handle, started, count, readOverlapped, wakeEvent);
}

void SerialPort::wake() { SetEvent(wakeEvent); }

void SerialPort::rearm() { ResetEvent(wakeEvent); }

int SerialPort::write(const unsigned char* data, int length) {
    DWORD count = 0;
    BOOL started = WriteFile(handle, data, static_cast<DWORD>(length), &count, &writeOverlapped);
    // Not woken by the session's end: under Wine that upset the session after
    // it. The write time-outs bound the wait.
    return finishTransfer(handle, started, count, writeOverlapped, nullptr);
}

bool SerialPort::healthy() {
    DWORD errors = 0;
    return isOpen() && ClearCommError(handle, &errors, nullptr);
}

void SerialPort::resumeTransmission() {
    EscapeCommFunction(handle, SETXON);
    ClearCommBreak(handle);
}

// Closing the handle at the end of the process is all it takes.
void SerialPort::releaseExclusive() {}

// The driver checks the request itself; one that it cannot finish at once
// (pending) counts as refused. Time-outs are the server's own: a client's
// are checked, not applied.
bool SerialPort::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    if (ioControlCode == code::setTimeouts)
        return decodePortRequest(ioControlCode, input, length).refusal == Refusal::none;
    // The handle is overlapped, so the request needs a record of its own:
    // without one, a request the driver holds would complete into memory
    // this call has already left.
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    DWORD returned = 0;
    BOOL done = DeviceIoControl(handle, ioControlCode, const_cast<unsigned char*>(input), static_cast<DWORD>(length),
                                nullptr, 0, &returned, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        // Cancelled and collected before the record goes out of scope.
        CancelIoEx(handle, &overlapped);
        GetOverlappedResult(handle, &overlapped, &returned, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return done != FALSE;
}

}  // namespace server
