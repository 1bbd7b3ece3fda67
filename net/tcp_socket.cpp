#include "net/tcp_socket.h"

#include <cstring>

#include "net/socket_options.h"
#include "net/socket_wait.h"

namespace net {

namespace {

sockaddr_in makeAddress(uint32_t address, uint16_t port) {
    sockaddr_in result;
    std::memset(&result, 0, sizeof result);
    result.sin_family = AF_INET;
    result.sin_addr.s_addr = htonl(address);
    result.sin_port = htons(port);
    return result;
}

}  // namespace

void TcpSocket::create() {
    sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == invalidSocket) throw SocketError("socket error", lastError());
}

void TcpSocket::bind(uint32_t requestedAddress, uint16_t requestedPort) {
    if (sock == invalidSocket) throw SocketError("socket error", lastError());
    sockaddr_in local = makeAddress(requestedAddress, requestedPort);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0)
        throw SocketError("bind error", lastError());
    if (requestedPort != 0) {
        port = requestedPort;
    } else {
        sockaddr_in bound;
        std::memset(&bound, 0, sizeof bound);
        SocketLength length = sizeof bound;
        if (::getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &length) < 0)
            throw SocketError("getsockname error", lastError());
        port = ntohs(bound.sin_port);
    }
}

void TcpSocket::close(int how) {
    ::shutdown(sock, how);
    releaseSocket(sock);
    port = 0;
    sock = invalidSocket;
}

void ListenSocket::open(uint32_t requestedAddress, uint16_t requestedPort) {
    create();
    setListenReuse(sock);
    bind(requestedAddress, requestedPort);
}

void ListenSocket::listen(int backlog) {
    if (::listen(sock, backlog) < 0) throw SocketError("listen error", lastError());
}

SocketHandle ListenSocket::accept(sockaddr_in& peer) {
    SocketLength length = sizeof peer;
    SocketHandle connection = ::accept(sock, reinterpret_cast<sockaddr*>(&peer), &length);
    if (connection == invalidSocket) throw SocketError("accept error", lastError());
    return connection;
}

void ConnectSocket::open(uint32_t localAddress, uint16_t localPort) {
    create();
    if (localPort != 0 || localAddress != 0) bind(localAddress, localPort);
}

bool ConnectSocket::connect(uint32_t peer, uint16_t peerPortNumber) {
    sockaddr_in remote = makeAddress(peer, peerPortNumber);
    return ::connect(sock, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
}

bool ConnectSocket::connect(uint32_t peer, uint16_t peerPortNumber, int milliseconds) {
    setBlocking(sock, false);
    sockaddr_in remote = makeAddress(peer, peerPortNumber);
    bool connected = ::connect(sock, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    failure = connected || lastErrorInProgress() ? 0 : lastError();
    if (!connected && failure == 0 && waitWritable(sock, milliseconds)) {
        int error = 0;
        SocketLength length = sizeof error;
        connected = ::getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
                    error == 0;
        failure = error;
    }
    setBlocking(sock, true);
    return connected;
}

}  // namespace net
