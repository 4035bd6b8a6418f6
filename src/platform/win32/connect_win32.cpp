// Connecting by name for the receiver's TCP source: getaddrinfo, IPv6 and IPv4,
// and a connect with a time-out. The only Winsock 2 part of the program
// (ws2_32); the sockets it returns are the same handles the Winsock 1.1 calls
// of net_win32.cpp use.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

void setBlocking(SOCKET s, int blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

// Waits for a non-blocking connect in 100 ms slices: writable once connected,
// in the except set once it failed.
int finishConnect(SOCKET s, int timeoutMs, int (*keepTrying)(const void*), const void* context, int* failure) {
    std::int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        if (keepTrying && !keepTrying(context)) {
            *failure = kConnectCancelled;
            return 0;
        }
        std::int64_t left = deadline - monotonicMs();
        if (left <= 0) {
            *failure = kConnectTimedOut;
            return 0;
        }
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        int slice = static_cast<int>(left < 100 ? left : 100);
        timeval wait{slice / 1000, (slice % 1000) * 1000};
        int r = select(0, nullptr, &writable, &failed, &wait);
        if (r == SOCKET_ERROR) {
            *failure = kConnectFailed;
            return 0;
        }
        if (r == 0) continue;
        if (FD_ISSET(s, &writable)) return 1;
        int error = 0;
        int len = sizeof error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len);
        *failure = error == WSAECONNREFUSED ? kConnectRefused
                   : error == WSAETIMEDOUT  ? kConnectTimedOut
                                            : kConnectFailed;
        return 0;
    }
}

// A far end that vanished without a close is found within about a minute rather
// than the system's two hours.
void keepAlive(SOCKET s) {
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive values{1, 30000, 10000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

}  // namespace

Socket sockConnectHost(const char* host, std::uint16_t port, int timeoutMs, int (*keepTrying)(const void*),
                       const void* context, char* peer, std::size_t peerCapacity, int* failure) {
    if (peer && peerCapacity) peer[0] = '\0';
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (host[0] == '\0' || getaddrinfo(host, service, &hints, &found) != 0 || !found) {
        *failure = kConnectNoName;
        return kNoSocket;
    }
    *failure = kConnectFailed;
    Socket connected = kNoSocket;
    for (addrinfo* a = found; a && connected == kNoSocket; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) continue;
        setBlocking(s, 0);
        int ok = connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0;
        if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
            ok = finishConnect(s, timeoutMs, keepTrying, context, failure);
        } else if (!ok) {
            *failure = WSAGetLastError() == WSAECONNREFUSED ? kConnectRefused : kConnectFailed;
        }
        if (!ok) {
            closesocket(s);
            if (*failure == kConnectCancelled) break;
            continue;
        }
        setBlocking(s, 1);
        keepAlive(s);
        if (peer && peerCapacity)
            getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), peer, static_cast<DWORD>(peerCapacity),
                        nullptr, 0, NI_NUMERICHOST);
        connected = static_cast<Socket>(s);
    }
    freeaddrinfo(found);
    return connected;
}

int sockWaitReadable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return 1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(s), &readable);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

int sockWaitEitherReadable(Socket a, Socket b, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(a), &readable);
    if (b != kNoSocket) FD_SET(static_cast<SOCKET>(b), &readable);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) return 0;
    return (FD_ISSET(static_cast<SOCKET>(a), &readable) ? 1 : 0) |
           (b != kNoSocket && FD_ISSET(static_cast<SOCKET>(b), &readable) ? 2 : 0);
}

int sockKeepAlive(Socket s) {
    if (s == kNoSocket) return 0;
    keepAlive(static_cast<SOCKET>(s));
    return 1;
}
