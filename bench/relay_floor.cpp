// The floor of a relay's cost: what the kernel must do whatever relays the
// stream. It reads the source and, at most once per the program's window (the
// longer of the reader's gathering, kReceiverGatherMs, and the relay's,
// kRelayWindowPerClientUs per client up to kRelayWindowMs, so that both make as
// many reads and sends), gives the gathered bytes to each client with one send()
// each. No ring, no second thread, no parsing, no status: anything a real relay
// costs beyond this is its own. relay_linux.sh runs it beside the others; on its
// own:
//
//   relay_floor SOURCE PORT [--uring]     (SOURCE: the server end of a pty)
//
// --uring makes each window's sends one io_uring submission instead of a send()
// per client (built when liburing is there): the trial of whether the program's
// fan-out would gain from it.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "core/app_state.h"
#include "relay_floor_window.h"

#ifdef BREVALINK_FLOOR_URING
#include <liburing.h>
#endif

namespace {

std::int64_t nowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void sleepUntilUs(std::int64_t us) {
    timespec t{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool uring = argc == 4 && std::string_view(argv[3]) == "--uring";
    if (argc != 3 && !uring) {
        std::fprintf(stderr, "usage: relay_floor SOURCE PORT [--uring]\n");
        return 2;
    }
#ifdef BREVALINK_FLOOR_URING
    io_uring ring{};
    if (uring && io_uring_queue_init(256, &ring, 0) != 0) {
        std::fprintf(stderr, "relay_floor: no io_uring here\n");
        return 1;
    }
#else
    if (uring) {
        std::fprintf(stderr, "relay_floor: built without liburing\n");
        return 2;
    }
#endif
    signal(SIGPIPE, SIG_IGN);
    int source = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (source < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios raw{};
    if (tcgetattr(source, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(source, TCSANOW, &raw);
    }
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 128) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("relay_floor: listening on port %s\n", argv[2]);
    std::fflush(stdout);

    std::vector<int> clients;
    std::vector<char> gone;
    std::vector<unsigned char> buffer(kRelaySendLimit);
    std::int64_t lastSendUs = 0;
    pollfd fds[2] = {{listener, POLLIN, 0}, {source, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return 1;
        if (fds[0].revents & POLLIN) {
            int c;
            while ((c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                // As the program's clients: no Nagle delay, the same send buffer.
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                int size = kRelaySendBuffer;
                setsockopt(c, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
                clients.push_back(c);
            }
        }
        if (!(fds[1].revents & (POLLIN | POLLHUP))) continue;
        // Bytes after a quiet spell go at once; the rest gather in the pty until a
        // window has passed since the last send.
        std::int64_t windowUs = floorWindowUs(clients.size());
        if (nowUs() < lastSendUs + windowUs) sleepUntilUs(lastSendUs + windowUs);
        ssize_t got = read(source, buffer.data(), buffer.size());
        if (got <= 0) {
            if (got < 0 && errno == EAGAIN) continue;
            // A pty whose other end is not open yet reads as hung up: wait for it.
            usleep(10000);
            continue;
        }
        // A client that does not take the whole window goes, as the program's does.
        lastSendUs = nowUs();  // the window counts from the round's start, as the program's
        gone.assign(clients.size(), 0);  // no allocation once it has held them all
#ifdef BREVALINK_FLOOR_URING
        if (uring) {
            std::size_t queued = 0;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                io_uring_sqe* sqe = io_uring_get_sqe(&ring);
                if (!sqe) {
                    io_uring_submit(&ring);
                    sqe = io_uring_get_sqe(&ring);
                }
                io_uring_prep_send(sqe, clients[i], buffer.data(), static_cast<std::size_t>(got),
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
                io_uring_sqe_set_data64(sqe, i);
                ++queued;
            }
            io_uring_submit_and_wait(&ring, static_cast<unsigned>(queued));
            for (std::size_t done = 0; done < queued; ++done) {
                io_uring_cqe* cqe = nullptr;
                if (io_uring_wait_cqe(&ring, &cqe) != 0) break;
                if (cqe->res != got) gone[io_uring_cqe_get_data64(cqe)] = 1;
                io_uring_cqe_seen(&ring, cqe);
            }
        } else
#endif
            for (std::size_t i = 0; i < clients.size(); ++i)
                gone[i] = send(clients[i], buffer.data(), static_cast<std::size_t>(got), MSG_NOSIGNAL) != got;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (gone[i])
                close(clients[i]);
            else
                clients[kept++] = clients[i];
        }
        clients.resize(kept);
    }
}
