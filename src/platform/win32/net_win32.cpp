// Winsock 1.1 sockets; socket events arrive as window messages (WSAAsyncSelect).
#include <winsock.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int netStartup() {
    WSADATA data;
    return WSAStartup(0x0101, &data) == 0;
}

void netCleanup() { WSACleanup(); }

Socket sockTcp() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

void sockClose(Socket s) {
    if (s != kNoSocket) closesocket(static_cast<SOCKET>(s));
}

int sockSend(Socket s, const void* data, int count) {
    if (s == kNoSocket) return -1;
    int n = send(static_cast<SOCKET>(s), static_cast<const char*>(data), count, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int sockRecv(Socket s, void* buffer, int capacity) {
    if (s == kNoSocket) return -1;
    int n = recv(static_cast<SOCKET>(s), static_cast<char*>(buffer), capacity, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int sockSetNonBlocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}

int sockSetNoDelay(Socket s) {
    int one = 1;
    return setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
}

int sockSetSendBuffer(Socket s, int bytes) {
    return setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

int sockResolve(const char* host, std::uint32_t* address) {
    if (hostent* h = gethostbyname(host)) {
        if (h->h_addr_list && h->h_addr_list[0] && h->h_length == 4) {
            std::memcpy(address, h->h_addr_list[0], 4);
            return 1;
        }
    }
    unsigned long a = inet_addr(host);
    if (a == INADDR_NONE) return 0;
    *address = static_cast<std::uint32_t>(a);
    return 1;
}

int sockConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

int sockBind(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = address;
    return bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

int sockParseAddress(const char* text, std::uint32_t* address) {
    // Only the four dotted numbers: inet_addr takes shorter forms too, and gives
    // INADDR_NONE both for a text that is none and for the broadcast address,
    // which nothing can listen on anyway.
    if (!text || !text[0]) return 0;
    int dots = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.') ++dots;
        else if (*p < '0' || *p > '9') return 0;
    }
    unsigned long a = inet_addr(text);
    if (dots != 3 || a == INADDR_NONE) return 0;
    *address = static_cast<std::uint32_t>(a);
    return 1;
}

int sockListen(Socket s, int backlog) { return listen(static_cast<SOCKET>(s), backlog) == 0; }

Socket sockAccept(Socket s, char* peer, std::size_t peerCapacity) {
    sockaddr_in from{};
    int len = 16;
    SOCKET a = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&from), &len);
    if (a == INVALID_SOCKET) return kNoSocket;
    if (peer && peerCapacity) std::snprintf(peer, peerCapacity, "%s", inet_ntoa(from.sin_addr));
    return static_cast<Socket>(a);
}

void sockAddressText(std::uint32_t address, char* out, std::size_t capacity) {
    in_addr a;
    a.s_addr = address;
    if (capacity) std::snprintf(out, capacity, "%s", inet_ntoa(a));
}

int sockWaitWritable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return 1;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(s), &writable);
    FD_SET(static_cast<SOCKET>(s), &failed);
    timeval t{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, nullptr, &writable, &failed, &t) != 0;
}

int sockWatch(void* window, Socket s, unsigned message, long events) {
    if (s == kNoSocket) return 0;
    return WSAAsyncSelect(static_cast<SOCKET>(s), static_cast<HWND>(window), message, events) != SOCKET_ERROR;
}

int sockPostEvent(void* window, unsigned message, Socket s, long lParam) {
    return PostMessageA(static_cast<HWND>(window), message, static_cast<WPARAM>(s), static_cast<LPARAM>(lParam)) != 0;
}

int pumpSocketEvents(int, SocketEventSink) { return 0; }
