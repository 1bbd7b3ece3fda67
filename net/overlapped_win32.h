// Collecting an overlapped request on Windows, for the server's COM port and
// the client's driver alike. What each outcome means is the caller's to say.
#pragma once

#include <windows.h>

namespace net {

struct Overlapped {
    enum Status {
        done,         // completed, at once or after pending
        notIssued,    // failed at once, without pending
        stopped,      // `stop` came first: cancelled, `count` is what it moved
        waitFailed,   // the wait itself failed; the request may still run
        failed,       // pending, then completed with an error; `count` is what it moved
    };
    Status status;
    DWORD count;
};

// The outcome of a ReadFile, WriteFile or DeviceIoControl that returned
// `issued` and `immediateCount` on `overlapped`, whose event it waits for
// when pending, without time limit: the port's time-outs or the driver end
// the request, or `stop` (may be null) cancels it.
Overlapped finishOverlapped(HANDLE handle, BOOL issued, DWORD immediateCount, OVERLAPPED& overlapped, HANDLE stop);

}  // namespace net
