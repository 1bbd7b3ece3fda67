#include "net/overlapped_win32.h"

namespace net {

Overlapped finishOverlapped(HANDLE handle, BOOL issued, DWORD immediateCount, OVERLAPPED& overlapped, HANDLE stop) {
    if (issued) return {Overlapped::done, immediateCount};
    if (GetLastError() != ERROR_IO_PENDING) return {Overlapped::notIssued, 0};
    const HANDLE events[2] = {overlapped.hEvent, stop};
    const DWORD woken = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, INFINITE);
    DWORD count = 0;
    if (woken == WAIT_OBJECT_0 + 1) {
        CancelIoEx(handle, &overlapped);
        // The record must stay untouched until the driver has let go of the
        // request, which a cancel makes it do at once.
        GetOverlappedResult(handle, &overlapped, &count, TRUE);
        return {Overlapped::stopped, static_cast<DWORD>(overlapped.InternalHigh)};
    }
    if (woken != WAIT_OBJECT_0) return {Overlapped::waitFailed, 0};
    if (!GetOverlappedResult(handle, &overlapped, &count, FALSE))
        return {Overlapped::failed, static_cast<DWORD>(overlapped.InternalHigh)};
    return {Overlapped::done, count};
}

}  // namespace net
