// Loopback peers and block decoding shared by the feed and relay tests: the test
// plays the feed server and the relay clients with plain BSD sockets on
// 127.0.0.1, free ports only.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "net/feed_link.h"
#include "net/feed_queue.h"
#include "net/relay_server.h"
#include "station/station.h"

namespace peer {

// A listening socket on 127.0.0.1 with a port the system picked.
inline int listenLocal(std::uint16_t* port, int backlog = 128) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, backlog);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// A port nobody listens on right now (bound, then released).
inline std::uint16_t freePort() {
    std::uint16_t port = 0;
    int fd = listenLocal(&port);
    ::close(fd);
    return port;
}

inline int connectLocal(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Accepts one connection, waiting at most timeoutMs; -1 when none came.
inline int acceptWithin(int listening, int timeoutMs) {
    pollfd p{listening, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads until `want` bytes arrived, the peer closed, or timeoutMs passed.
inline std::string readBytes(int fd, std::size_t want, int timeoutMs = 5000) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (got.size() < want) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) break;
        ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, want - got.size()), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// Reads until the peer closes (or timeoutMs); true when it closed.
inline bool readsToEnd(int fd, std::string* got, int timeoutMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0) return false;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return true;
        if (got) got->append(buffer, static_cast<std::size_t>(n));
    }
}

inline void sendText(int fd, const std::string& text) {
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// The window procedure's socket cases, for the native pump.
inline void dispatch(unsigned message, Socket s, long lParam) { stationEvent(nullptr, message, s, lParam); }

// Pumps socket events on this (the "main") thread until cond holds or timeoutMs.
template <class Cond>
bool pumpUntil(Cond cond, int timeoutMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return cond();
        pumpSocketEvents(10, dispatch);
    }
    return true;
}

// One decoded feed block.
struct Block {
    bool wellFormed = false;
    std::string payload;  // unstuffed
};

// Splits a framed byte stream into blocks: DLE STX type len-hi len-lo 0 payload
// DLE ETX, every 0x10 doubled. A block is well formed when the length field
// matches the unstuffed payload plus 4 and the zero byte is in place.
inline std::vector<Block> splitBlocks(const std::string& wire, std::size_t* used = nullptr) {
    std::vector<Block> blocks;
    std::size_t i = 0;
    std::size_t lastEnd = 0;
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(wire[k]); };
    while (i + 1 < wire.size()) {
        if (byte(i) != 0x10 || byte(i + 1) != 0x02) {
            blocks.push_back(Block{});
            break;
        }
        std::size_t k = i + 2;
        std::string body;  // type, length, zero, payload (unstuffed)
        bool done = false;
        while (k < wire.size()) {
            unsigned char b = byte(k);
            if (b == 0x10) {
                if (k + 1 >= wire.size()) break;
                if (byte(k + 1) == 0x10) {
                    body.push_back(0x10);
                    k += 2;
                    continue;
                }
                if (byte(k + 1) == 0x03) {
                    k += 2;
                    done = true;
                    break;
                }
                break;
            }
            body.push_back(static_cast<char>(b));
            ++k;
        }
        if (!done) break;  // incomplete: wait for more
        Block blk;
        if (body.size() >= 4) {
            unsigned length = (static_cast<unsigned char>(body[1]) << 8) | static_cast<unsigned char>(body[2]);
            blk.payload = body.substr(4);
            blk.wellFormed = static_cast<unsigned char>(body[0]) == 101 && body[3] == 0 &&
                             length == ((blk.payload.size() + 4) & 0xFFFF);
        }
        blocks.push_back(blk);
        i = k;
        lastEnd = k;
    }
    if (used) *used = lastEnd;
    return blocks;
}

// zlib's uncompress, loaded the way the program loads compress.
inline std::string inflate(const std::string& z) {
    static void* lib = libraryLoad("zlib1.dll");
    static auto fn = reinterpret_cast<CompressFn>(librarySymbol(lib, "uncompress"));
    std::vector<unsigned char> out(1 << 18);
    unsigned long length = out.size();
    if (!fn || fn(out.data(), &length, reinterpret_cast<const unsigned char*>(z.data()), z.size()) != 0)
        return "<inflate failed>";
    return std::string(reinterpret_cast<char*>(out.data()), length);
}

// The link thread's part for a test that sets up the link itself: writes what is
// queued for the feed to app.feed.socket now, until the queue is empty (or the
// socket takes nothing for timeoutMs).
inline void writeQueued(int timeoutMs = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const unsigned char* data;
    while (int n = feedQueuePeek(&data)) {
        int taken = sockSend(app.feed.socket.load(), data, n);
        if (taken > 0) {
            feedQueueTake(taken);
        } else {
            if (std::chrono::steady_clock::now() > until) return;
            sockWaitWritable(app.feed.socket.load(), 50);
        }
    }
}

// The link's own thread for tests without the reconnect thread: serves the link
// whenever it is connected, for the life of the object.
class LinkWriter {
public:
    LinkWriter() {
        if (app.feedQueue.wake == kNoEvent) app.feedQueue.wake = eventCreate();
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                serveLink();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~LinkWriter() {
        stop_.store(true);
        app.reconnectStop.store(1);
        eventSet(app.feedQueue.wake);
        thread_.join();
        app.reconnectStop.store(0);
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

inline void loadCompress() {
    static void* lib = libraryLoad("zlib1.dll");
    app.zlibModule = lib;
    app.zlibCompress = reinterpret_cast<CompressFn>(librarySymbol(lib, "compress"));
    app.zlibUncompress = reinterpret_cast<CompressFn>(librarySymbol(lib, "uncompress"));
}

}  // namespace peer
