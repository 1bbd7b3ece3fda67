// The few differences between Winsock and BSD sockets that the network code sees.
#pragma once

#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace net {

#ifdef _WIN32
using SocketHandle = SOCKET;
constexpr SocketHandle invalidSocket = INVALID_SOCKET;
constexpr int shutdownReceive = SD_RECEIVE;
constexpr int shutdownSend = SD_SEND;
constexpr int shutdownBoth = SD_BOTH;
// Never raise SIGPIPE: Winsock has no such signal.
constexpr int sendFlags = 0;
using SocketLength = int;
#else
using SocketHandle = int;
constexpr SocketHandle invalidSocket = -1;
constexpr int shutdownReceive = SHUT_RD;
constexpr int shutdownSend = SHUT_WR;
constexpr int shutdownBoth = SHUT_RDWR;
// A send on a connection the peer closed must fail, not kill the process.
constexpr int sendFlags = MSG_NOSIGNAL;
using SocketLength = socklen_t;
#endif

// True when the last failed socket call only found nothing to do yet
// (WSAEWOULDBLOCK / EAGAIN on a non-blocking socket).
bool lastErrorWouldBlock();

// Starts Winsock 2.2 on Windows; nothing to do elsewhere. The result is
// not examined by the programs, so there is none.
void startNetworking();

// Releases the system handle (closesocket / close). The handle must not be
// in use by any thread any more.
void releaseSocket(SocketHandle sock);

// send() that never raises SIGPIPE.
inline int sendBytes(SocketHandle sock, const void* data, int length) {
    return static_cast<int>(::send(sock, static_cast<const char*>(data), length, sendFlags));
}

inline int receiveBytes(SocketHandle sock, void* data, int length) {
    return static_cast<int>(::recv(sock, static_cast<char*>(data), length, 0));
}

// Looks at what a receive would return without taking it: 0 once the peer
// closed, negative on failure or when nothing is there.
inline int peekBytes(SocketHandle sock, void* data, int length) {
    return static_cast<int>(::recv(sock, static_cast<char*>(data), length, MSG_PEEK));
}

// Bytes that a receive would take at once; 0 when the count cannot be had.
int bytesWaiting(SocketHandle sock);

// The last failed socket call's error code (errno, WSAGetLastError), and
// what the system calls it, for the console.
int lastError();
std::string errorText(int code);

// True when the last failed connect() is still under way (EINPROGRESS /
// WSAEWOULDBLOCK on a non-blocking socket).
bool lastErrorInProgress();

// True when the last failed call says the peer vanished (keepalive or
// retransmissions unanswered, no route) rather than closed or reset.
bool lastErrorPeerLost();

// Switches a socket without a selected event between blocking and not;
// false when the system refused.
bool setBlocking(SocketHandle sock, bool blocking);

#ifndef _WIN32
// poll() that a signal does not end: it then waits again, with the whole
// `milliseconds` (-1: no limit). Its result otherwise.
int pollRetrying(pollfd* entries, nfds_t count, int milliseconds);
#endif

}  // namespace net
