#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <initializer_list>

#include "client/virtual_port.h"
#include "net/protocol.h"
#include "net/overlapped_win32.h"

namespace client {

namespace {

// CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800 / 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr DWORD attachControlCode = 0x001B2000;
constexpr DWORD waitControlCode = 0x001B2004;

}  // namespace

struct VirtualPort::Driver {
    HANDLE device = nullptr;
    std::string name;
    // One record per kind of request, each used by one thread only.
    OVERLAPPED controlOverlapped{};
    OVERLAPPED readOverlapped{};
    OVERLAPPED writeOverlapped{};
    // Signalled while writes are stopped.
    HANDLE writeStop = nullptr;

    // A request that fails at once is issued again; one that `stop`
    // interrupts, or that fails after pending, fails.
    PortResult finish(BOOL issued, DWORD immediateCount, OVERLAPPED& overlapped, HANDLE stop = nullptr) {
        const net::Overlapped result = net::finishOverlapped(device, issued, immediateCount, overlapped, stop);
        switch (result.status) {
        case net::Overlapped::done: return {PortResult::done, static_cast<int>(result.count)};
        case net::Overlapped::notIssued:
        case net::Overlapped::waitFailed: return {PortResult::again, 0};
        default: return {PortResult::failed, 0};
        }
    }
};

VirtualPort::VirtualPort() : driver(new Driver) {}

// The handle lives as long as the process; nothing to give back.
VirtualPort::~VirtualPort() = default;

bool VirtualPort::open(const PortOptions& options) {
    char name[32];
    std::snprintf(name, sizeof name, "com%d", static_cast<int>(options.comNumber));
    HANDLE device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    if (!DeviceIoControl(device, attachControlCode, nullptr, 0, nullptr, 0, &returned, nullptr)) {
        CloseHandle(device);
        return false;
    }
    driver->device = device;
    driver->name = name;
    return true;
}

// Unnamed: a named event would be shared with every other client of the
// machine and complete its requests' waits.
bool VirtualPort::createEvents() {
    for (HANDLE* event : {&driver->controlOverlapped.hEvent, &driver->readOverlapped.hEvent,
                          &driver->writeOverlapped.hEvent, &driver->writeStop}) {
        *event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (*event == nullptr) return false;
    }
    return true;
}

// The driver's device needs no withdrawing.
void VirtualPort::withdraw() {}

PortResult VirtualPort::waitControl(unsigned char* buffer, int size) {
    DWORD count = 0;
    BOOL issued = DeviceIoControl(driver->device, waitControlCode, nullptr, 0, buffer, static_cast<DWORD>(size),
                                  &count, &driver->controlOverlapped);
    return driver->finish(issued, count, driver->controlOverlapped);
}

// The driver's reads and writes are of at most chunkSize bytes.
PortResult VirtualPort::read(unsigned char* buffer, int size) {
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(size < net::chunkSize ? size : net::chunkSize);
    BOOL issued = ReadFile(driver->device, buffer, wanted, &count, &driver->readOverlapped);
    return driver->finish(issued, count, driver->readOverlapped);
}

// A larger piece goes to the driver in several writes, in order. A write the
// driver refuses loses its own bytes only, as when each came in its own
// receive.
// The driver's write has no wait a socket could join: the session's end cuts it.
PortResult VirtualPort::write(const unsigned char* data, int count, net::SocketHandle) {
    int written = 0;
    bool refused = false;
    for (int at = 0; at < count; at += net::chunkSize) {
        const int piece = count - at < net::chunkSize ? count - at : net::chunkSize;
        DWORD taken = 0;
        BOOL issued = WriteFile(driver->device, data + at, static_cast<DWORD>(piece), &taken, &driver->writeOverlapped);
        const PortResult result = driver->finish(issued, taken, driver->writeOverlapped, driver->writeStop);
        if (result.status == PortResult::again) {
            refused = true;
            continue;
        }
        written += result.count;
        if (result.status == PortResult::failed || result.count < piece) return {result.status, written};
    }
    return {refused ? PortResult::again : PortResult::done, written};
}

void VirtualPort::stopWrites() { SetEvent(driver->writeStop); }

void VirtualPort::allowWrites() { ResetEvent(driver->writeStop); }

std::string VirtualPort::describe() const { return driver->name; }

bool findGroup(const char*, int64_t&) { return true; }

}  // namespace client
