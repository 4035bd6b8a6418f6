// Relay throughput, CPU and latency on the serial-to-client path, against ser2net
// on the same pty-to-TCP path in the same run. Prints figures; never fails.
//
//   relay_bench [--seconds S] [--rates 25,50,...] [--clients 1,10,100] [--no-ser2net]
//   relay_bench serve PTY PORT        (the program's serial source and relay server)
//
// For each server, client count and rate: a pty plays the receiver (the real
// capture, looped, written every 2 ms at the rate), N clients read on one thread,
// every client's bytes are checked against the stream, latency is taken at the
// last client (the last one each block reaches), CPU from /proc/<server>/stat.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "input/serial_source.h"
#include "net/relay_server.h"
#include "../tests/unit/net_test_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopServing = 0;
void onTerm(int) { stopServing = 1; }

void dispatch(unsigned message, Socket s, long lParam) {
    if (message == kMsgRelayListen) onAcceptEvent(nullptr, lParam);
    if (message == kMsgRelayClient) onClientEvent(nullptr, s, lParam);
}

int serve(const char* pty, int port) {
    signal(SIGTERM, onTerm);
    markMainThread();
    feedLockCreate();
    app.serverPort = static_cast<std::uint16_t>(port);
    copyText(app.comBaudText, kNameSize, "115200");
    app.binaryMode = 1;
    startRelayServer(nullptr);
    if (app.listenSocket.load() == kNoSocket) return 1;
    if (!openComPort(pty)) return 2;
    app.comReader = threadStart(comReaderThread, nullptr);
    while (!stopServing) pumpSocketEvents(50, dispatch);
    closeComPort();
    stopRelayServer(nullptr);
    return 0;
}

std::string capture() {
    std::ifstream in(std::string(BREVALINK_SOURCE_DIR) + "/../shared/data/beast-capture-60s.bin", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string c = s.str();
    if (c.empty()) {
        c.resize(65536);
        for (std::size_t i = 0; i < c.size(); ++i) c[i] = static_cast<char>(i * 31 + 7);
    }
    return c;
}

long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::atol(f.c_str());
        if (i == 15) stime = std::atol(f.c_str());
    }
    return utime + stime;
}

struct Result {
    double achievedKBs = 0;
    long long lost = 0;        // bytes missing or wrong, summed over clients
    int disconnected = 0;      // clients the server closed
    double cpuMsPerKB = 0;
    double p50 = 0, p99 = 0;   // ms
};

pid_t startServer(bool ours, const char* self, const char* ptyName, int port, const std::string& scratch) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    // The program appends connect.list to its working directory.
    if (chdir(scratch.c_str()) != 0) _exit(126);
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::string portText = std::to_string(port);
    if (ours) {
        execl(self, self, "serve", ptyName, portText.c_str(), static_cast<char*>(nullptr));
    } else {
        std::string yaml = scratch + "/ser2net.yaml";
        std::ofstream y(yaml);
        y << "connection: &bench\n"
             "    accepter: tcp,127.0.0.1," << port << "\n"
             "    enable: on\n"
             "    options:\n"
             "      max-connections: 100\n"
             "      kickolduser: false\n"
             "    connector: serialdev," << ptyName << ",115200n81,local\n";
        y.close();
        std::string pidFile = scratch + "/ser2net.pid";
        execlp("ser2net", "ser2net", "-n", "-u", "-c", yaml.c_str(), "-P", pidFile.c_str(),
               static_cast<char*>(nullptr));
    }
    _exit(127);
}

Result runOne(bool ours, const char* self, int clients, int rateKBs, double seconds, const std::string& stream,
              const std::string& scratch) {
    Result r;
    int master = -1, slave = -1;
    char ptyName[128];
    if (openpty(&master, &slave, ptyName, nullptr, nullptr) != 0) return r;
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    int port = peer::freePort();
    pid_t server = startServer(ours, self, ptyName, port, scratch);

    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
        int fd = -1;
        for (int tries = 0; tries < 200 && fd < 0; ++tries) {
            fd = peer::connectLocal(static_cast<std::uint16_t>(port));
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // The program listens with a backlog of 1; back-to-back connects would find
        // the queue full and wait out SYN retransmissions. Only the pace changes.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (fd < 0) break;
        fds.push_back(fd);
    }
    if (static_cast<int>(fds.size()) != clients) {
        std::fprintf(stderr, "could not connect %d clients\n", clients);
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        for (int fd : fds) close(fd);
        close(master);
        close(slave);
        return r;
    }
    // Warm-up: single marker bytes until every client has seen one, then drain.
    std::vector<char> seen(static_cast<std::size_t>(clients), 0);
    auto warmUntil = Clock::now() + std::chrono::seconds(10);
    char scratchBuffer[65536];
    while (std::count(seen.begin(), seen.end(), 1) < clients && Clock::now() < warmUntil) {
        char marker = 'M';
        if (write(master, &marker, 1) < 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < clients; ++i) {
            pollfd p{fds[i], POLLIN, 0};
            if (poll(&p, 1, 0) > 0 && recv(fds[i], scratchBuffer, sizeof scratchBuffer, 0) > 0) seen[i] = 1;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int fd : fds)
        while (recv(fd, scratchBuffer, sizeof scratchBuffer, MSG_DONTWAIT) > 0) {
        }

    // The measured stream.
    const long long total = static_cast<long long>(rateKBs * 1024.0 * seconds);
    const int perTick = std::max(1, static_cast<int>(rateKBs * 1024.0 * 0.002));
    // Filled by the writer, published through `published`; never reallocated.
    std::vector<std::pair<long long, Clock::time_point>> writes(static_cast<std::size_t>(total / perTick + 2));
    std::atomic<std::size_t> published{0};
    std::vector<long long> received(static_cast<std::size_t>(clients), 0);
    std::vector<long long> wrong(static_cast<std::size_t>(clients), 0);
    std::vector<char> closed(static_cast<std::size_t>(clients), 0);
    std::vector<double> latencies;
    std::atomic<long long> written{0};
    std::atomic<bool> writing{true};

    long cpuBefore = cpuTicks(server);
    auto started = Clock::now();
    std::thread writer([&] {
        long long at = 0;
        auto next = Clock::now();
        while (at < total) {
            int n = static_cast<int>(std::min<long long>(perTick, total - at));
            int off = 0;
            while (off < n) {
                std::size_t pos = static_cast<std::size_t>((at + off) % static_cast<long long>(stream.size()));
                int chunk = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(n - off), stream.size() - pos));
                ssize_t w = write(master, stream.data() + pos, static_cast<std::size_t>(chunk));
                if (w <= 0) break;
                off += static_cast<int>(w);
            }
            at += off;
            std::size_t k = published.load();
            if (k < writes.size()) {
                writes[k] = {at, Clock::now()};
                published.store(k + 1);
            }
            written = at;
            next += std::chrono::microseconds(2000);
            std::this_thread::sleep_until(next);
        }
        writing = false;
    });

    // Readers: all clients on this thread.
    std::size_t nextWrite = 0;
    auto drainUntil = Clock::time_point::max();
    const int last = clients - 1;
    std::vector<pollfd> polls(static_cast<std::size_t>(clients));
    for (;;) {
        if (!writing && drainUntil == Clock::time_point::max()) drainUntil = Clock::now() + std::chrono::seconds(3);
        bool all = !writing;
        for (int i = 0; i < clients && all; ++i)
            if (!closed[i] && received[i] < total) all = false;
        if (all || Clock::now() > drainUntil) break;
        for (int i = 0; i < clients; ++i) polls[i] = pollfd{closed[i] ? -1 : fds[i], POLLIN, 0};
        if (poll(polls.data(), polls.size(), 20) <= 0) continue;
        auto now = Clock::now();
        for (int i = 0; i < clients; ++i) {
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = recv(fds[i], scratchBuffer, sizeof scratchBuffer, MSG_DONTWAIT);
            if (n <= 0) {
                closed[i] = 1;
                continue;
            }
            for (ssize_t k = 0; k < n; ++k) {
                long long off = received[i] + k;
                if (scratchBuffer[k] != stream[static_cast<std::size_t>(off % static_cast<long long>(stream.size()))]) ++wrong[i];
            }
            received[i] += n;
            if (i == last) {
                // Every write whose last byte has now arrived at the last client.
                long long upTo = received[i];
                while (nextWrite < published.load()) {
                    if (writes[nextWrite].first > upTo) break;
                    latencies.push_back(std::chrono::duration<double, std::milli>(now - writes[nextWrite].second).count());
                    ++nextWrite;
                }
            }
        }
    }
    writer.join();
    auto ended = Clock::now();
    long cpuAfter = cpuTicks(server);

    for (int i = 0; i < clients; ++i) {
        r.lost += (total - std::min(received[i], total)) + wrong[i];
        r.disconnected += closed[i];
    }
    double kb = static_cast<double>(total) / 1024.0;
    r.achievedKBs = kb / std::chrono::duration<double>(ended - started).count();
    r.cpuMsPerKB = (cpuAfter - cpuBefore) * (1000.0 / sysconf(_SC_CLK_TCK)) / kb;
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        r.p50 = latencies[latencies.size() / 2];
        r.p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }

    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    for (int fd : fds) close(fd);
    close(master);
    close(slave);
    return r;
}

std::vector<int> list(const char* text) {
    std::vector<int> v;
    std::stringstream s(text);
    std::string item;
    while (std::getline(s, item, ',')) v.push_back(std::atoi(item.c_str()));
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0) return serve(argv[2], std::atoi(argv[3]));
    signal(SIGPIPE, SIG_IGN);
    double seconds = 3;
    std::vector<int> rates = {25, 50, 100, 200, 300};
    std::vector<int> clientCounts = {1, 10, 100};
    bool withSer2net = system("command -v ser2net >/dev/null 2>&1") == 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--rates" && i + 1 < argc) rates = list(argv[++i]);
        else if (a == "--clients" && i + 1 < argc) clientCounts = list(argv[++i]);
        else if (a == "--no-ser2net") withSer2net = false;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    char scratch[] = "/tmp/relay-bench-XXXXXX";
    if (!mkdtemp(scratch)) return 1;
    std::string stream = capture();

    std::printf("%-9s %7s %8s %9s %10s %6s %10s %8s %8s\n", "server", "clients", "rate", "achieved", "lost", "drops",
                "cpu ms/kB", "p50 ms", "p99 ms");
    for (int clients : clientCounts) {
        int best[2] = {0, 0};
        double cpuAt[2][16] = {};
        for (std::size_t ri = 0; ri < rates.size(); ++ri) {
            for (int which = 0; which < (withSer2net ? 2 : 1); ++which) {
                bool ours = which == 0;
                Result r = runOne(ours, self, clients, rates[ri], seconds, stream, scratch);
                std::printf("%-9s %7d %6d/s %7.1f/s %10lld %6d %10.4f %8.2f %8.2f\n", ours ? "brevalink" : "ser2net",
                            clients, rates[ri], r.achievedKBs, r.lost, r.disconnected, r.cpuMsPerKB, r.p50, r.p99);
                std::fflush(stdout);
                // Held: nothing lost, nobody dropped, and the source was not slowed
                // (a server that stops reading the pty holds the writer back).
                bool held = r.lost == 0 && r.disconnected == 0 && r.achievedKBs >= 0.95 * rates[ri];
                if (held && rates[ri] > best[which]) best[which] = rates[ri];
                if (ri < 16) cpuAt[which][ri] = r.cpuMsPerKB;
            }
        }
        std::printf("-- %d clients: highest rate held with zero loss: brevalink %d kB/s", clients, best[0]);
        if (withSer2net) {
            std::printf(", ser2net %d kB/s; cpu ratio brevalink/ser2net per rate:", best[1]);
            for (std::size_t ri = 0; ri < rates.size() && ri < 16; ++ri)
                std::printf(" %.2f", cpuAt[1][ri] > 0 ? cpuAt[0][ri] / cpuAt[1][ri] : 0.0);
        }
        std::printf("\n");
    }
    std::string cleanup = std::string("rm -rf ") + scratch;
    if (system(cleanup.c_str()) != 0) return 0;
    return 0;
}
