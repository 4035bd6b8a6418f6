// BSD sockets and the native socket-event poll loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

struct Watch {
    Socket socket;
    unsigned message;
    long events;
};

constexpr int kMaxWatches = 256;
// The registration table is shared by the thread that registers (main or the
// reconnect thread) and the pump (main); a plain mutex is fine on this side.
std::mutex watchMutex;
Watch watches[kMaxWatches];
int watchCount = 0;

// Events queued by sockPostEvent, delivered first by the next pump; guarded by
// watchMutex.
struct Posted {
    unsigned message;
    Socket socket;
    long lParam;
};
constexpr int kMaxPosted = 256;
Posted posted[kMaxPosted];
int postedCount = 0;

void setNonBlocking(Socket s) {
    int fd = static_cast<int>(s);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void forget(Socket s) {
    for (int i = 0; i < watchCount; ++i) {
        if (watches[i].socket == s) {
            watches[i] = watches[--watchCount];
            return;
        }
    }
}

}  // namespace

int netStartup() { return 1; }
void netCleanup() {}

Socket sockTcp() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? kNoSocket : fd;
}

void sockClose(Socket s) {
    if (s == kNoSocket) return;
    {
        std::lock_guard<std::mutex> g(watchMutex);
        forget(s);
    }
    ::close(static_cast<int>(s));
}

int sockSend(Socket s, const void* data, int count) {
    if (s == kNoSocket || count < 0) return -1;
    ssize_t n = ::send(static_cast<int>(s), data, static_cast<size_t>(count), MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

int sockRecv(Socket s, void* buffer, int capacity) {
    if (s == kNoSocket) return -1;
    ssize_t n = ::recv(static_cast<int>(s), buffer, static_cast<size_t>(capacity), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int sockSetNonBlocking(Socket s) {
    int fd = static_cast<int>(s);
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int sockSetNoDelay(Socket s) {
    int one = 1;
    return ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

int sockSetSendBuffer(Socket s, int bytes) {
    return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

int sockResolve(const char* host, std::uint32_t* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
        *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(found);
        return 1;
    }
    in_addr a{};
    if (::inet_pton(AF_INET, host, &a) == 1) {
        *address = a.s_addr;
        return 1;
    }
    return 0;
}

int sockConnect(Socket s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return ::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

int sockBind(Socket s, std::uint32_t address, std::uint16_t port) {
    int one = 1;
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = address;
    return ::bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
}

int sockParseAddress(const char* text, std::uint32_t* address) {
    in_addr a{};
    if (!text || ::inet_pton(AF_INET, text, &a) != 1) return 0;
    *address = a.s_addr;
    return 1;
}

int sockListen(Socket s, int backlog) { return ::listen(static_cast<int>(s), backlog) == 0; }

Socket sockAccept(Socket s, char* peer, std::size_t peerCapacity) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd = ::accept4(static_cast<int>(s), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
    if (fd < 0) return kNoSocket;
    if (peer && peerCapacity) sockAddressText(from.sin_addr.s_addr, peer, peerCapacity);
    return fd;
}

void sockAddressText(std::uint32_t address, char* out, std::size_t capacity) {
    if (!capacity) return;
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    std::snprintf(out, capacity, "%s", text);
}

int sockWaitWritable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return 1;
    pollfd pfd{static_cast<int>(s), POLLOUT, 0};
    return ::poll(&pfd, 1, timeoutMs) != 0;
}

int sockWatch(void*, Socket s, unsigned message, long events) {
    if (s == kNoSocket) return 0;
    std::lock_guard<std::mutex> g(watchMutex);
    forget(s);
    if (message == 0 || events == 0) return 1;
    if (watchCount >= kMaxWatches) return 0;
    setNonBlocking(s);
    watches[watchCount++] = Watch{s, message, events};
    return 1;
}

int sockPostEvent(void*, unsigned message, Socket s, long lParam) {
    std::lock_guard<std::mutex> g(watchMutex);
    if (postedCount >= kMaxPosted) return 0;
    posted[postedCount++] = Posted{message, s, lParam};
    return 1;
}

int pumpSocketEvents(int timeoutMs, SocketEventSink sink) {
    pollfd fds[kMaxWatches];
    Watch copy[kMaxWatches];
    int n;
    int delivered = 0;
    {
        Posted queued[kMaxPosted];
        int count;
        {
            std::lock_guard<std::mutex> g(watchMutex);
            count = postedCount;
            for (int i = 0; i < count; ++i) queued[i] = posted[i];
            postedCount = 0;
        }
        // Posted events go first, as queued window messages would; the poll then
        // only looks without waiting.
        for (int i = 0; i < count; ++i) sink(queued[i].message, queued[i].socket, queued[i].lParam);
        if (count > 0) timeoutMs = 0;
        delivered = count;
    }
    {
        std::lock_guard<std::mutex> g(watchMutex);
        n = watchCount;
        for (int i = 0; i < n; ++i) {
            copy[i] = watches[i];
            fds[i].fd = static_cast<int>(watches[i].socket);
            fds[i].events = POLLIN;
            fds[i].revents = 0;
        }
    }
    if (n <= 0 || n > kMaxWatches) {
        if (timeoutMs > 0) sleepMs(timeoutMs);
        return delivered;
    }
    if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) return delivered;
    for (int i = 0; i < n; ++i) {
        if (!fds[i].revents) continue;
        {
            // The registration may have been cancelled by an earlier delivery.
            std::lock_guard<std::mutex> g(watchMutex);
            bool still = false;
            for (int k = 0; k < watchCount; ++k)
                if (watches[k].socket == copy[i].socket && watches[k].message == copy[i].message) still = true;
            if (!still) continue;
        }
        long event = 0;
        if (copy[i].events & kEventAccept) {
            event = kEventAccept;
        } else {
            char probe;
            ssize_t r = ::recv(fds[i].fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (r > 0 && (copy[i].events & kEventRead))
                event = kEventRead;
            else if ((r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) &&
                     (copy[i].events & kEventClose))
                event = kEventClose;
        }
        if (!event) continue;
        if (event == kEventClose) {
            // Winsock reports a close once; so do we.
            std::lock_guard<std::mutex> g(watchMutex);
            forget(copy[i].socket);
        }
        sink(copy[i].message, copy[i].socket, event);
        ++delivered;
    }
    return delivered;
}

namespace {

// Waits for a non-blocking connect in 100 ms slices. 1 once connected; otherwise
// 0 with *failure set.
int finishConnect(int fd, int timeoutMs, int (*keepTrying)(const void*), const void* context, int* failure) {
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
        pollfd pfd{fd, POLLOUT, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left < 100 ? left : 100));
        if (r < 0 && errno != EINTR) {
            *failure = kConnectFailed;
            return 0;
        }
        if (r <= 0) continue;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = EIO;
        if (error == 0) return 1;
        *failure = error == ECONNREFUSED ? kConnectRefused : error == ETIMEDOUT ? kConnectTimedOut : kConnectFailed;
        return 0;
    }
}

// A far end that vanished without a close (a board unplugged, a route gone) is
// found within about a minute rather than the system's two hours.
void keepAlive(int fd) {
    int one = 1, idle = 30, interval = 10, count = 3;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
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
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host[0] == '\0' || ::getaddrinfo(host, service, &hints, &found) != 0 || !found) {
        *failure = kConnectNoName;
        return kNoSocket;
    }
    *failure = kConnectFailed;
    Socket connected = kNoSocket;
    for (addrinfo* a = found; a && connected == kNoSocket; a = a->ai_next) {
        int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) continue;
        int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        int ok = r == 0;
        if (!ok && errno == EINPROGRESS) {
            ok = finishConnect(fd, timeoutMs, keepTrying, context, failure);
        } else if (!ok) {
            *failure = errno == ECONNREFUSED ? kConnectRefused : kConnectFailed;
        }
        if (!ok) {
            ::close(fd);
            if (*failure == kConnectCancelled) break;
            continue;
        }
        int flags = ::fcntl(fd, F_GETFL, 0);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        keepAlive(fd);
        if (peer && peerCapacity)
            ::getnameinfo(a->ai_addr, a->ai_addrlen, peer, static_cast<socklen_t>(peerCapacity), nullptr, 0,
                          NI_NUMERICHOST);
        connected = fd;
    }
    ::freeaddrinfo(found);
    return connected;
}

int sockWaitReadable(Socket s, int timeoutMs) {
    if (s == kNoSocket) return 1;
    pollfd pfd{static_cast<int>(s), POLLIN, 0};
    return ::poll(&pfd, 1, timeoutMs) > 0;
}

int sockWaitEitherReadable(Socket a, Socket b, int timeoutMs) {
    pollfd pfd[2] = {{static_cast<int>(a), POLLIN, 0}, {static_cast<int>(b), POLLIN, 0}};
    int count = b == kNoSocket ? 1 : 2;
    if (::poll(pfd, static_cast<nfds_t>(count), timeoutMs) <= 0) return 0;
    return (pfd[0].revents ? 1 : 0) | (count > 1 && pfd[1].revents ? 2 : 0);
}

int sockKeepAlive(Socket s) {
    if (s == kNoSocket) return 0;
    keepAlive(static_cast<int>(s));
    return 1;
}
