// The serial reader of the Windows build under Wine: bytes per second from a COM
// port (one end of a pty pair) into the decoder and relay clients, and the reader
// thread's CPU, block reads against one-byte reads in the same run. The stream is
// written by a thread of this program into the pair's other end, opened as a
// second COM port. Built and run by bench/wine/run.sh; prints figures only.
//
//   serial_reader_bench_win.exe READER_COM WRITER_COM CAPTURE_FILE
#include <winsock.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "input/serial_source.h"

namespace {

const char kEndFrame[] = "\x1A" "2\xFF\xFF\xFF\xFF\xFF\xF0\x10\x5D\xFF\xFF\xFF\x00\x00\x00";
const char kEndLine[] = "@FFFFFFFFFFF05DFFFFFF000000;\r\n";

std::string newestLine() {
    TextGuard g(app.ring.lock);
    return app.ring.slots[app.ring.write];
}

double threadCpu(HANDLE t) {
    FILETIME c, e, k, u;
    if (!GetThreadTimes(t, &c, &e, &k, &u)) return 0;
    auto v = [](FILETIME f) {
        return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e7;
    };
    return v(k) + v(u);
}

double nowSeconds() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Relay clients: connected loopback pairs; a thread drains the far ends.
struct Clients {
    std::vector<SOCKET> theirs;
    std::atomic<bool> stop{false};
    HANDLE drain = nullptr;

    static DWORD WINAPI drainProc(void* p) {
        Clients* self = static_cast<Clients*>(p);
        static char buf[65536];
        while (!self->stop.load()) {
            fd_set set;
            FD_ZERO(&set);
            for (SOCKET s : self->theirs) FD_SET(s, &set);
            timeval tv{0, 20000};
            if (self->theirs.empty()) {
                Sleep(20);
                continue;
            }
            if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
            for (SOCKET s : self->theirs)
                if (FD_ISSET(s, &set)) recv(s, buf, sizeof buf, 0);
        }
        return 0;
    }

    explicit Clients(int n) {
        SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int len = sizeof a;
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
        listen(l, 16);
        for (int i = 0; i < n; ++i) {
            SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
            connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            SOCKET s = accept(l, nullptr, nullptr);
            app.clients.entries[i].socket = static_cast<Socket>(s);
            copyText(app.clients.entries[i].peer, kPeerSize, "127.0.0.1");
            app.clients.entries[i].relaying = 1;
            theirs.push_back(c);
        }
        closesocket(l);
        drain = CreateThread(nullptr, 0, drainProc, this, 0, nullptr);
    }
    ~Clients() {
        stop = true;
        WaitForSingleObject(drain, INFINITE);
        CloseHandle(drain);
        for (int i = 0; i < static_cast<int>(theirs.size()); ++i) {
            app.clients.entries[i].relaying = 0;
            closesocket(static_cast<SOCKET>(app.clients.entries[i].socket.load()));
            app.clients.entries[i].socket = kNoSocket;
            app.clients.entries[i].peer[0] = '\0';
            closesocket(theirs[i]);
        }
    }
};

int readerCapacity = kComReadBlock;
// Wine reports thread times reliably only to the thread itself.
double readerCpu = 0;
void readerProc(void*) {
    double start = threadCpu(GetCurrentThread());
    comReaderLoop(readerCapacity);
    readerCpu = threadCpu(GetCurrentThread()) - start;
}

// The Wine server does the work of every port and socket call: its CPU (Linux
// clock ticks of /proc/PID/stat, read through the Z: drive) counts as the reader's.
const char* serverStat = nullptr;
double serverCpu() {
    if (!serverStat) return 0;
    FILE* f = std::fopen(serverStat, "rb");
    if (!f) return 0;
    char buf[1024];
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    if (!p) return 0;
    unsigned long long utime = 0, stime = 0;
    // After the command: state, then fields 4..13, then utime and stime.
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return 0;
    return static_cast<double>(utime + stime) / 100.0;
}

struct Result {
    double seconds = 0, cpu = 0, server = 0;
    bool done = false;
};

Result run(const char* readerPort, SerialHandle writer, int capacity, const std::string& stream, double rate) {
    Result r;
    if (!openComPort(readerPort)) {
        std::printf("cannot open %s\n", readerPort);
        return r;
    }
    {
        TextGuard g(app.ring.lock);  // the last run's end line must not end this one
        app.ring.slots[app.ring.write][0] = '\0';
    }
    readerCapacity = capacity;
    app.comReader = threadStart(readerProc, nullptr);
    double server0 = serverCpu();
    double t0 = nowSeconds();
    std::string all = stream + std::string(kEndFrame, sizeof kEndFrame - 1);
    std::size_t at = 0;
    const std::size_t chunk = rate > 0 ? static_cast<std::size_t>(rate / 100) : 4096;
    while (at < all.size()) {
        if (rate > 0) {
            double due = t0 + static_cast<double>(at) / rate;
            double now = nowSeconds();
            if (due > now) Sleep(static_cast<DWORD>((due - now) * 1000));
        }
        std::size_t n = std::min(chunk, all.size() - at);
        if (!serialWrite(writer, all.data() + at, static_cast<int>(n))) break;
        at += n;
    }
    double written = nowSeconds();
    while (newestLine() != kEndLine && nowSeconds() < written + 120) Sleep(1);
    r.done = newestLine() == kEndLine;
    double t1 = nowSeconds();
    r.seconds = t1 - t0;
    r.server = serverCpu() - server0;
    closeComPort();
    r.cpu = readerCpu;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::printf("usage: %s READER_COM WRITER_COM CAPTURE_FILE [WINESERVER_STAT]\n", argv[0]);
        return 2;
    }
    if (argc > 4) serverStat = argv[4];
    WSADATA wsa;
    WSAStartup(0x0101, &wsa);
    app.binaryMode = 1;
    app.levelThreshold = 300;
    copyText(app.comBaudText, kNameSize, "3000000");
    std::string capture;
    if (FILE* f = std::fopen(argv[3], "rb")) {
        char buf[65536];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) capture.append(buf, n);
        std::fclose(f);
    }
    if (capture.empty()) {
        std::printf("no capture in %s\n", argv[3]);
        return 1;
    }
    SerialHandle writer = serialOpen(argv[2], 3000000);
    if (writer == kNoSerial) {
        std::printf("cannot open %s\n", argv[2]);
        return 1;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Every one-byte read and send crosses into the Wine server, so the one-byte
    // runs get a short stream, and only the block reader is paced.
    std::string big = capture, small = capture.substr(0, 16384);
    std::printf("serial reader under Wine, COM port -> decoder (binary frames; %zu bytes per block run, %zu per "
                "byte run)\n\nsaturated (the writer always ahead of the reader):\n",
                big.size(), small.size());
    std::printf("%-10s %-8s %14s %16s %18s\n", "clients", "reads", "bytes/s", "reader us/KiB", "+ wineserver us/KiB");
    for (int clients : {0, 6}) {
        Clients c(clients);
        Result block = run(argv[1], writer, kComReadBlock, big, 0);
        Result byte = run(argv[1], writer, 1, small, 0);
        double blockRate = static_cast<double>(big.size()) / block.seconds;
        double byteRate = static_cast<double>(small.size()) / byte.seconds;
        double kBlock = static_cast<double>(big.size()) / 1024, kByte = static_cast<double>(small.size()) / 1024;
        double blockCpu = block.cpu * 1e6 / kBlock, byteCpu = byte.cpu * 1e6 / kByte;
        double blockAll = (block.cpu + block.server) * 1e6 / kBlock, byteAll = (byte.cpu + byte.server) * 1e6 / kByte;
        std::printf("%-10d %-8s %14.0f %16.1f %18.1f%s\n", clients, "block", blockRate, blockCpu, blockAll,
                    block.done ? "" : " (cut)");
        std::printf("%-10d %-8s %14.0f %16.1f %18.1f%s\n", clients, "1 byte", byteRate, byteCpu, byteAll,
                    byte.done ? "" : " (cut)");
        std::printf("%-10d ratio    %13.1fx %15.1fx %17.1fx  (block over 1 byte)\n\n", clients, blockRate / byteRate,
                    byteCpu / blockCpu, byteAll / blockAll);
    }
    std::printf("paced 2 s streams, block reader only (the one-byte reader keeps up only where its\n"
                "saturated rate above exceeds the line's); keeping up = 2.0 s:\n");
    for (double rate : {86000.0, 300000.0}) {
        std::string paced = (big + big + big).substr(0, static_cast<std::size_t>(rate * 2));
        for (int clients : {0, 6}) {
            Clients c(clients);
            Result block = run(argv[1], writer, kComReadBlock, paced, rate);
            std::printf("  %6.0f B/s, %d clients: reader CPU %5.1f%% of a core (+ wineserver %5.1f%%), decoded in %.2f s\n",
                        rate, clients, 100 * block.cpu / block.seconds, 100 * block.server / block.seconds,
                        block.seconds);
        }
    }
    serialClose(writer);
    return 0;
}
