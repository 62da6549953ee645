// The few socket calls the simulator's control link and the test servers need, the same on POSIX
// and on Winsock. This is the only place that knows which one it is built for: callers use
// Socket, PollFd and the functions below and never test for the platform themselves.
//
// Header-only, so that header-only test helpers can use it without a library. Every function is
// thread-safe in the way the underlying socket call is.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zarncam::net {

#ifdef _WIN32
using Socket = SOCKET;
using PollFd = WSAPOLLFD;
inline constexpr Socket kNoSocket = INVALID_SOCKET;

// Starts Winsock once per process (it stays up until the process ends).
inline bool StartUp() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
inline void Close(Socket s) {
    if (s != kNoSocket) ::closesocket(s);
}
inline bool SetNonBlocking(Socket s) {
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0;
}
inline int Poll(PollFd* fds, std::size_t count, int timeoutMs) {
    return ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}
inline long Send(Socket s, const char* data, std::size_t size) {
    return ::send(s, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
}
inline long Recv(Socket s, char* data, std::size_t size) {
    return ::recv(s, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
}
// True when the last failed call only means "not yet" (a non-blocking operation in progress).
inline bool WouldBlock() {
    const int error = ::WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}
inline void AllowAddressReuse(Socket) {
    // Winsock's SO_REUSEADDR lets another socket take a bound port over: leave it off.
}
#else
using Socket = int;
using PollFd = pollfd;
inline constexpr Socket kNoSocket = -1;

inline bool StartUp() {
    return true;
}
inline void Close(Socket s) {
    if (s != kNoSocket) ::close(s);
}
inline bool SetNonBlocking(Socket s) {
    const int flags = ::fcntl(s, F_GETFL, 0);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
inline int Poll(PollFd* fds, std::size_t count, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}
// MSG_NOSIGNAL: a peer that went away gives an error, not SIGPIPE.
inline long Send(Socket s, const char* data, std::size_t size) {
    return static_cast<long>(::send(s, data, size, MSG_NOSIGNAL));
}
inline long Recv(Socket s, char* data, std::size_t size) {
    return static_cast<long>(::recv(s, data, size, 0));
}
inline bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == EINTR;
}
inline void AllowAddressReuse(Socket s) {
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
}
#endif

// The local port a socket is bound to; 0 when it is not bound.
inline uint16_t BoundPort(Socket s) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// A socket bound to 127.0.0.1:port (0: any free port), listening when backlog > 0.
// kNoSocket when it cannot be bound.
inline Socket BindLoopback(uint16_t port, int backlog) {
    if (!StartUp()) return kNoSocket;
    const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == kNoSocket) return kNoSocket;
    if (backlog > 0) AllowAddressReuse(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        (backlog > 0 && ::listen(s, backlog) != 0)) {
        Close(s);
        return kNoSocket;
    }
    return s;
}

// Waits up to timeoutMs for one event on one socket; the returned events, 0 on time-out.
inline short WaitFor(Socket s, short events, int timeoutMs) {
    PollFd pfd{};
    pfd.fd = s;
    pfd.events = events;
    if (Poll(&pfd, 1, timeoutMs) <= 0) return 0;
    return pfd.revents;
}

// A non-blocking TCP connection to an IPv4 address, established within the time-out.
// kNoSocket when the address is not IPv4 dotted notation, the peer refuses or time runs out.
inline Socket ConnectTcp(const std::string& host, uint16_t port,
                         std::chrono::milliseconds timeout) {
    if (!StartUp()) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) return kNoSocket;
    const Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == kNoSocket) return kNoSocket;
    if (!SetNonBlocking(s)) {
        Close(s);
        return kNoSocket;
    }
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (!WouldBlock()) {
            Close(s);
            return kNoSocket;
        }
        const auto ms = std::max<int64_t>(timeout.count(), 0);
        const short ready = WaitFor(s, POLLOUT, static_cast<int>(std::min<int64_t>(ms, INT_MAX)));
        int error = 0;
        socklen_t length = sizeof(error);
        if ((ready & POLLOUT) == 0 ||
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0) {
            Close(s);
            return kNoSocket;
        }
    }
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
    return s;
}

}  // namespace zarncam::net
