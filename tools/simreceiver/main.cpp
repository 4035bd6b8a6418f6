// simreceiver: plays an ADS-B receiver on a serial line, for trying the relay
// without hardware. It sends real Mode S frames at a chosen rate, in the binary
// escape form or as text lines, and prints the commands the program sends back.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frames.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

// Output queued beyond this is not added to: a line nobody reads loses whole
// frames, as a real line would, and never half of one.
constexpr std::size_t kPendingLimit = 16384;

struct Options {
    std::string tty;
    std::string link;
    std::string input;
    std::string format = "text";
    bool star = false;
    bool keepTimestamps = false;
    double clockHz = 12e6;       // the simulated receiver's counter rate
    bool secondClock = false;    // every other frame from a second receiver's clock
    double silentAfter = -1;     // seconds until the receiver stops sending (< 0: never)
    double rate = 50;
    long long count = -1;
    long baud = 0;
    bool verbose = false;
    bool quiet = false;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "Usage: simreceiver [options] [TTY]\n"
                 "Plays an ADS-B receiver on a serial line. With TTY (a serial device, or one end\n"
                 "of a socat pty pair) it talks on that line; without it, it makes a pseudo-terminal\n"
                 "and prints the path for the program to open as its port.\n"
                 "\n"
                 "  -f, --format text|binary  text lines (default) or binary escape frames\n"
                 "                            (0x1A, type, 6-byte 12 MHz timestamp, signal, payload)\n"
                 "      --star                text lines as \"*HEX;\" without timestamps\n"
                 "                            (default \"@\" + 12 timestamp digits + HEX + \";\")\n"
                 "  -r, --rate N              frames per second (default 50; 0 = as fast as the\n"
                 "                            line takes them)\n"
                 "  -i, --input FILE          frames from a capture (binary escape frames or\n"
                 "                            \"*\"/\"@\" text lines), played in a loop; default:\n"
                 "                            12 built-in real frames\n"
                 "      --keep-timestamps     send the capture's own timestamps instead of the\n"
                 "                            simulated receiver clock\n"
                 "      --clock-hz N          the simulated clock's rate (default 12000000)\n"
                 "      --second-clock        every other frame stamped by a second receiver's\n"
                 "                            clock, 1000 s ahead (two receivers on one line)\n"
                 "      --silent-after S      send nothing after S seconds, the line kept open\n"
                 "  -n, --count N             stop after N frames (default: until Ctrl-C)\n"
                 "  -l, --link PATH           make PATH a symbolic link to the line (for example\n"
                 "                            a Wine prefix's dosdevices/com1); removed at exit\n"
                 "  -b, --baud N              set the line speed (real serial devices)\n"
                 "  -v, --verbose             print every frame sent\n"
                 "  -q, --quiet               print only the commands received\n"
                 "      --self-test           check the built-in frames and the encoders, then exit\n"
                 "  -h, --help                this text\n"
                 "\n"
                 "Commands from the program (\"#00\", \"#43-12\", ...) are printed as they arrive.\n"
                 "Example, with a Wine prefix:\n"
                 "  simreceiver --link \"$WINEPREFIX/dosdevices/com1\" --rate 100\n");
}

speed_t speedFor(long baud) {
    switch (baud) {
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 921600: return B921600;
        case 3000000: return B3000000;
        default: return 0;
    }
}

double nowSeconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool makeRaw(int fd, long baud) {
    termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    if (baud) {
        speed_t s = speedFor(baud);
        if (!s) {
            std::fprintf(stderr, "simreceiver: unsupported speed %ld\n", baud);
            return false;
        }
        cfsetispeed(&t, s);
        cfsetospeed(&t, s);
    }
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Prints what the program sent: one line per LF-ended command, other bytes escaped.
struct CommandPrinter {
    std::string partial;
    double start = 0;
    void take(const char* data, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            char c = data[i];
            if (c == '\n') {
                flush();
                continue;
            }
            if (c >= 0x20 && c < 0x7F) {
                partial += c;
            } else {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
                partial += esc;
            }
            if (partial.size() > 200) flush();
        }
    }
    void flush() {
        std::printf("%8.3f  command: %s\n", nowSeconds() - start, partial.c_str());
        partial.clear();
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    enum { kStar = 1000, kKeep, kSelfTest, kClockHz, kSecondClock, kSilentAfter };
    static const option longs[] = {
        {"format", required_argument, nullptr, 'f'}, {"star", no_argument, nullptr, kStar},
        {"rate", required_argument, nullptr, 'r'},   {"input", required_argument, nullptr, 'i'},
        {"keep-timestamps", no_argument, nullptr, kKeep}, {"count", required_argument, nullptr, 'n'},
        {"link", required_argument, nullptr, 'l'},   {"baud", required_argument, nullptr, 'b'},
        {"verbose", no_argument, nullptr, 'v'},      {"quiet", no_argument, nullptr, 'q'},
        {"self-test", no_argument, nullptr, kSelfTest}, {"help", no_argument, nullptr, 'h'},
        {"clock-hz", required_argument, nullptr, kClockHz}, {"second-clock", no_argument, nullptr, kSecondClock},
        {"silent-after", required_argument, nullptr, kSilentAfter},
        {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "f:r:i:n:l:b:vqh", longs, nullptr)) != -1) {
        switch (c) {
            case 'f': o.format = optarg; break;
            case kStar: o.star = true; break;
            case 'r': o.rate = std::atof(optarg); break;
            case 'i': o.input = optarg; break;
            case kKeep: o.keepTimestamps = true; break;
            case kClockHz: o.clockHz = std::atof(optarg); break;
            case kSecondClock: o.secondClock = true; break;
            case kSilentAfter: o.silentAfter = std::atof(optarg); break;
            case 'n': o.count = std::atoll(optarg); break;
            case 'l': o.link = optarg; break;
            case 'b': o.baud = std::atol(optarg); break;
            case 'v': o.verbose = true; break;
            case 'q': o.quiet = true; break;
            case kSelfTest: {
                int ok = simSelfTest();
                std::printf("self-test %s\n", ok ? "passed" : "FAILED");
                return ok ? 0 : 1;
            }
            case 'h': usage(stdout); return 0;
            default: usage(stderr); return 2;
        }
    }
    if (optind < argc) o.tty = argv[optind++];
    if (optind < argc || (o.format != "text" && o.format != "binary") || o.rate < 0) {
        usage(stderr);
        return 2;
    }
    bool binary = o.format == "binary";

    std::vector<SimFrame> frames;
    if (o.input.empty()) {
        frames = builtinFrames();
    } else {
        std::ifstream in(o.input, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "simreceiver: cannot read %s\n", o.input.c_str());
            return 1;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        frames = parseCapture(bytes);
        if (frames.empty()) {
            std::fprintf(stderr, "simreceiver: no frames in %s\n", o.input.c_str());
            return 1;
        }
    }

    // The line: a given tty, or the master of a new pty whose slave the program opens.
    int fd = -1;
    int keepSlave = -1;
    std::string linePath;
    if (!o.tty.empty()) {
        fd = open(o.tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "simreceiver: cannot open %s: %s\n", o.tty.c_str(), std::strerror(errno));
            return 1;
        }
        if (!makeRaw(fd, o.baud)) {
            std::fprintf(stderr, "simreceiver: cannot set up %s\n", o.tty.c_str());
            return 1;
        }
        linePath = o.tty;
    } else {
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
            std::fprintf(stderr, "simreceiver: cannot make a pseudo-terminal: %s\n", std::strerror(errno));
            return 1;
        }
        linePath = ptsname(fd);
        // Held open so the line never hangs up between the program's opens; raw, so
        // nothing the receiver sends is echoed back.
        keepSlave = open(linePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (keepSlave < 0 || !makeRaw(keepSlave, 0)) {
            std::fprintf(stderr, "simreceiver: cannot set up %s\n", linePath.c_str());
            return 1;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    if (!o.link.empty()) {
        unlink(o.link.c_str());
        if (symlink(linePath.c_str(), o.link.c_str()) != 0) {
            std::fprintf(stderr, "simreceiver: cannot link %s: %s\n", o.link.c_str(), std::strerror(errno));
            return 1;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::printf("simreceiver: receiver on %s%s%s\n", linePath.c_str(), o.link.empty() ? "" : ", linked as ",
                o.link.c_str());
    std::printf("simreceiver: %zu %s frames as %s, ", frames.size(), o.input.empty() ? "built-in" : "captured",
                binary ? "binary escape frames" : o.star ? "'*' text lines" : "'@' text lines");
    if (o.rate > 0)
        std::printf("%g frames/s; Ctrl-C stops\n", o.rate);
    else
        std::printf("as fast as the line takes them; Ctrl-C stops\n");

    CommandPrinter printer;
    double start = nowSeconds();
    printer.start = start;
    double nextReport = start + 5;
    std::string pending;
    std::size_t next = 0;
    long long sent = 0, dropped = 0;
    unsigned long long bytesSent = 0;

    auto readCommands = [&](int waitMs, bool wantWrite) {
        pollfd p{fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
        int r = poll(&p, 1, waitMs);
        if (r > 0 && (p.revents & POLLIN)) {
            char buf[512];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) printer.take(buf, static_cast<std::size_t>(n));
        }
        // A tty whose far end is closed: wait for it to come back.
        if (r > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) usleep(20000);
    };
    auto writePending = [&] {
        if (pending.empty()) return;
        ssize_t n = write(fd, pending.data(), pending.size());
        if (n > 0) {
            bytesSent += static_cast<unsigned long long>(n);
            pending.erase(0, static_cast<std::size_t>(n));
        }
    };

    while (!stopRequested && (o.count < 0 || sent + dropped < o.count)) {
        double now = nowSeconds();
        // Frames due by now (all of them at once when the rate is high).
        long long due = o.rate > 0 ? static_cast<long long>((now - start) * o.rate) + 1 : sent + dropped + 64;
        if (o.silentAfter >= 0 && now - start >= o.silentAfter) due = sent + dropped;
        while (sent + dropped < due && (o.count < 0 || sent + dropped < o.count)) {
            if (pending.size() >= kPendingLimit) {
                ++dropped;
                ++next;
                continue;
            }
            const SimFrame& f = frames[next % frames.size()];
            ++next;
            std::uint64_t ts = static_cast<std::uint64_t>((now - start) * o.clockHz);
            if (o.secondClock && next % 2) ts += static_cast<std::uint64_t>(1000 * o.clockHz);
            if (o.keepTimestamps && f.hasTimestamp) ts = f.timestamp;
            std::size_t before = pending.size();
            if (binary)
                appendBinary(f, ts, pending);
            else if (o.star)
                appendStarLine(f, pending);
            else
                appendAtLine(f, ts, pending);
            ++sent;
            if (o.verbose) {
                std::string shown;
                appendAtLine(f, ts, shown);
                std::printf("%8.3f  sent %s (%zu bytes)\n", now - start, shown.substr(0, shown.size() - 2).c_str(),
                            pending.size() - before);
            }
        }
        writePending();
        // Wait for the next frame, or for the line to drain, reading commands meanwhile.
        int waitMs = 100;
        if (o.rate > 0) {
            double untilNext = (static_cast<double>(sent + dropped) / o.rate) - (nowSeconds() - start);
            waitMs = untilNext <= 0 ? 0 : static_cast<int>(untilNext * 1000) + 1;
            if (waitMs > 100) waitMs = 100;
        } else {
            waitMs = pending.empty() ? 0 : 5;
        }
        if (o.silentAfter >= 0 && nowSeconds() - start >= o.silentAfter) waitMs = 100;  // silent: commands only
        readCommands(waitMs, !pending.empty());
        if (!o.quiet && nowSeconds() >= nextReport) {
            nextReport += 5;
            std::printf("%8.3f  %lld frames sent (%llu bytes)", nowSeconds() - start, sent, bytesSent);
            if (dropped) std::printf(", %lld dropped: nobody reads the line", dropped);
            std::printf("\n");
        }
    }
    // The last frames go out (for at most 2 s: nobody may be reading), and commands
    // that came meanwhile are printed.
    double drainUntil = nowSeconds() + 2;
    while (!stopRequested && !pending.empty() && nowSeconds() < drainUntil) {
        writePending();
        readCommands(5, !pending.empty());
    }
    for (int i = 0; i < 5; ++i) readCommands(20, false);
    if (!printer.partial.empty()) printer.flush();
    std::printf("simreceiver: %lld frames sent (%llu bytes), %lld dropped\n", sent, bytesSent, dropped);
    if (!o.link.empty()) unlink(o.link.c_str());
    if (keepSlave >= 0) close(keepSlave);
    close(fd);
    return 0;
}
