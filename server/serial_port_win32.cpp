#include <windows.h>

#include <initializer_list>

#include "net/overlapped_win32.h"
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

// The count a transfer moved. The port's time-outs bound the wait; a
// signalled `wake` cancels the transfer and keeps what it moved. A write
// that times out having moved nothing fails under Wine (ERROR_TIMEOUT):
// like a comm error, that is no lost port.
int finishTransfer(HANDLE handle, BOOL started, DWORD count, OVERLAPPED& overlapped, HANDLE wake) {
    const net::Overlapped result = net::finishOverlapped(handle, started, count, overlapped, wake);
    switch (result.status) {
    case net::Overlapped::done:
    case net::Overlapped::stopped: return static_cast<int>(result.count);
    case net::Overlapped::waitFailed: return -1;
    case net::Overlapped::failed: return afterFailure(handle) < 0 ? -1 : static_cast<int>(result.count);
    default: return afterFailure(handle);
    }
}

// A COM driver finishes its control requests at once; one it holds longer
// (a character behind a stopped line) is given up after this.
constexpr DWORD controlWaitMilliseconds = 2000;

}  // namespace

struct SerialPort::Platform {
    HANDLE handle = nullptr;
    DCB dcb{};
    COMMTIMEOUTS commTimeouts{};
    OVERLAPPED readOverlapped{};
    OVERLAPPED writeOverlapped{};
    // The replayed requests', used by the session thread only.
    OVERLAPPED controlOverlapped{};
    HANDLE wakeEvent = nullptr;
};

SerialPort::SerialPort(uint32_t queueSize) : queueSize(queueSize), platform(new Platform) {}

SerialPort::~SerialPort() { close(); }

bool SerialPort::open(int32_t portNumber) {
    if (portNumber < 0 || portNumber > 9) return false;
    const char* portName = deviceNames[portNumber];
    platform->handle = CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
    if (platform->handle == INVALID_HANDLE_VALUE) {
        platform->handle = nullptr;
        return false;
    }
    platform->commTimeouts.ReadIntervalTimeout = timeouts.readInterval;
    platform->commTimeouts.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    platform->commTimeouts.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    platform->commTimeouts.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    platform->commTimeouts.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    bool prepared = SetCommMask(platform->handle, 0) && SetupComm(platform->handle, queueSize, queueSize) &&
                    SetCommTimeouts(platform->handle, &platform->commTimeouts) && GetCommState(platform->handle, &platform->dcb);
    if (prepared) {
        // Everything else stays as the port reported it.
        platform->dcb.DCBlength = sizeof(DCB);
        platform->dcb.fBinary = 1;
        platform->dcb.fTXContinueOnXoff = 1;
        // A previous user's abort-on-error would fail every read after the
        // first framing error.
        platform->dcb.fAbortOnError = 0;
        platform->dcb.fOutX = 0;
        platform->dcb.fInX = 0;
        platform->dcb.XonChar = 0x11;
        platform->dcb.XoffChar = 0x13;
        platform->dcb.XonLim = 100;
        platform->dcb.XoffLim = 1500;
        prepared = SetCommState(platform->handle, &platform->dcb);
    }
    if (!prepared) {
        close();
        return false;
    }
    openedName = portName;
    return true;
}

bool SerialPort::setLine(uint32_t baudRate, uint16_t parity, uint16_t byteSize, uint16_t stopBits) {
    platform->dcb.BaudRate = baudRate;
    platform->dcb.ByteSize = static_cast<BYTE>(byteSize);
    platform->dcb.Parity = static_cast<BYTE>(parity);
    platform->dcb.StopBits = static_cast<BYTE>(stopBits);
    platform->dcb.fParity = parity != 0 ? 1 : 0;
    return SetCommState(platform->handle, &platform->dcb);
}

void SerialPort::close() {
    if (platform->handle == nullptr) return;
    CloseHandle(platform->handle);
    platform->handle = nullptr;
    openedName.clear();
}

bool SerialPort::isOpen() const { return platform->handle != nullptr; }

// Unnamed, manual-reset: a named event would be shared with another
// server of the machine (one per port) and wake its transfers.
bool SerialPort::createIoEvents() {
    for (HANDLE* event : {&platform->readOverlapped.hEvent, &platform->writeOverlapped.hEvent,
                          &platform->controlOverlapped.hEvent, &platform->wakeEvent}) {
        *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (*event == nullptr) return false;
    }
    return true;
}

int SerialPort::read(unsigned char* buffer, int capacity) {
    DWORD count = 0;
    BOOL started = ReadFile(platform->handle, buffer, static_cast<DWORD>(capacity), &count, &platform->readOverlapped);
    return finishTransfer(platform->handle, started, count, platform->readOverlapped, platform->wakeEvent);
}

void SerialPort::wake() { SetEvent(platform->wakeEvent); }

void SerialPort::rearm() { ResetEvent(platform->wakeEvent); }

int SerialPort::write(const unsigned char* data, int length) {
    DWORD count = 0;
    BOOL started = WriteFile(platform->handle, data, static_cast<DWORD>(length), &count, &platform->writeOverlapped);
    return finishTransfer(platform->handle, started, count, platform->writeOverlapped, platform->wakeEvent);
}

bool SerialPort::healthy() {
    DWORD errors = 0;
    return isOpen() && ClearCommError(platform->handle, &errors, nullptr);
}

void SerialPort::resumeTransmission() {
    EscapeCommFunction(platform->handle, SETXON);
    ClearCommBreak(platform->handle);
}

void SerialPort::discardOutput() { PurgeComm(platform->handle, PURGE_TXCLEAR); }

int SerialPort::outputWaiting() const {
    DWORD errors = 0;
    COMSTAT status{};
    return platform->handle != nullptr && ClearCommError(platform->handle, &errors, &status)
               ? static_cast<int>(status.cbOutQue)
               : -1;
}

// Closing the handle at the end of the process is all it takes.
void SerialPort::releaseExclusive() {}

bool SerialPort::readLineSettings(net::SerialSettings& out) const {
    DCB state{};
    state.DCBlength = sizeof state;
    if (platform->handle == nullptr || !GetCommState(platform->handle, &state)) return false;
    out.baudRate = state.BaudRate;
    out.line = net::LineFormat{state.StopBits, state.Parity, state.ByteSize};
    out.flow.ctsRts = state.fOutxCtsFlow || state.fRtsControl == RTS_CONTROL_HANDSHAKE;
    out.flow.xonXoffOutput = state.fOutX;
    out.flow.xonXoffInput = state.fInX;
    return true;
}

bool SerialPort::readModemLines(uint8_t& lines) const {
    DWORD status = 0;
    if (platform->handle == nullptr || !GetCommModemStatus(platform->handle, &status)) return false;
    lines = static_cast<uint8_t>(((status & MS_CTS_ON) ? net::modemCts : 0) | ((status & MS_DSR_ON) ? net::modemDsr : 0) |
                                 ((status & MS_RING_ON) ? net::modemRi : 0) |
                                 ((status & MS_RLSD_ON) ? net::modemCd : 0));
    return true;
}

// The driver checks the request itself. Time-outs are the server's own: a
// client's are checked, not applied. Only a pending request is waited for:
// one refused at once may leave its record pending and its event unset
// (Wine, for the codes its wineserver handles), and a wait on either would
// never end. One still pending after the bound, or woken by the session's
// end, is cancelled and collected before the record is used again.
bool SerialPort::replay(uint32_t ioControlCode, const unsigned char* input, int length) {
    if (ioControlCode == code::setTimeouts)
        return decodePortRequest(ioControlCode, input, length).refusal == Refusal::none;
    OVERLAPPED& overlapped = platform->controlOverlapped;
    ResetEvent(overlapped.hEvent);
    DWORD returned = 0;
    if (DeviceIoControl(platform->handle, ioControlCode, const_cast<unsigned char*>(input),
                        static_cast<DWORD>(length), nullptr, 0, &returned, &overlapped))
        return true;
    lastError = static_cast<int>(GetLastError());
    if (lastError != ERROR_IO_PENDING) return false;
    const HANDLE events[2] = {overlapped.hEvent, platform->wakeEvent};
    if (WaitForMultipleObjects(2, events, FALSE, controlWaitMilliseconds) != WAIT_OBJECT_0)
        CancelIoEx(platform->handle, &overlapped);
    if (GetOverlappedResult(platform->handle, &overlapped, &returned, TRUE)) return true;
    lastError = static_cast<int>(GetLastError());
    return false;
}

std::string SerialPort::failureText() const { return "error " + std::to_string(lastError); }

}  // namespace server
