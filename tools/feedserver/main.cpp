// feedserver: a stand-in for the MLAT feed server, to see what the program sends.
//
// Listens for the program's feed link, prints the four introduction lines, then
// the feed: record lines, raw receiver bytes (hex) or compressed framed blocks
// (DLE/STX unstuffed, length checked, inflated, shown as the lines they carry).
// Malformed blocks are flagged. It can switch the program's feed to raw bytes and
// back: keys o / t (then Enter) on stdin, SIGUSR1 / SIGUSR2, or --raw-after /
// --text-after N seconds after each connect.
//
// It can also play a hung server: --stall-after S stops reading a link S seconds
// after it connected (and shrinks its receive buffer, as a hung server's would be
// full), so the program's send buffer toward it fills up;
// --stall-for D resumes after D seconds, --stall-once stalls only the first link.
// A stalled link is still watched for errors (a reset from the program) and for a
// new connection, either of which ends it with a "closed: ... (stalled)" summary.
//
// One link at a time, one thread, a poll loop; every output line is flushed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kRaw[] = "#SET OUT DATE ORIGINAL\r\n";
const char kText[] = "#SET OUT DATE TEXT\r\n";

struct Options {
    int port = 8888;
    double rawAfter = -1;
    double textAfter = -1;
    double closeAfter = -1;
    double stallAfter = -1;
    double stallFor = -1;
    int stallOnce = 0;
    int once = 0;
    int quiet = 0;
    const char* dump = nullptr;
};

volatile sig_atomic_t wantRaw = 0;
volatile sig_atomic_t wantText = 0;
volatile sig_atomic_t wantQuit = 0;
int linksSeen = 0;

void onSignal(int sig) {
    if (sig == SIGUSR1) wantRaw = 1;
    if (sig == SIGUSR2) wantText = 1;
    if (sig == SIGINT || sig == SIGTERM) wantQuit = 1;
}

void usage() {
    std::fprintf(stderr,
                 "usage: feedserver [--port N] [--raw-after S] [--text-after S] [--close-after S]\n"
                 "                  [--stall-after S] [--stall-for D] [--stall-once]\n"
                 "                  [--once] [--quiet] [--dump FILE]\n"
                 "  --port N         listen on N (default 8888)\n"
                 "  --raw-after S    send \"#SET OUT DATE ORIGINAL\" S seconds after each connect\n"
                 "  --text-after S   send \"#SET OUT DATE TEXT\" S seconds after each connect\n"
                 "  --close-after S  close each link S seconds after it connected\n"
                 "  --stall-after S  stop reading each link S seconds after it connected (a hung server)\n"
                 "  --stall-for D    resume reading a stalled link after D seconds (default: never)\n"
                 "  --stall-once     only the first link of this run stalls\n"
                 "  --once           exit when the first link ends\n"
                 "  --quiet          print only the introduction, commands, blocks' summaries and errors\n"
                 "  --dump FILE      append the decoded feed bytes (inflated blocks, lines, raw bytes)\n"
                 "keys on stdin (then Enter): o = raw bytes, t = record lines, q = quit\n"
                 "signals: SIGUSR1 = raw bytes, SIGUSR2 = record lines\n");
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

std::string printable(const unsigned char* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '\r' || c == '\n') continue;
        if (std::isprint(c)) {
            s.push_back(static_cast<char>(c));
        } else {
            char t[8];
            std::snprintf(t, sizeof t, "\\x%02x", c);
            s += t;
        }
    }
    return s;
}

void hexLines(const char* label, const unsigned char* p, std::size_t n) {
    for (std::size_t at = 0; at < n; at += 16) {
        std::string line;
        for (std::size_t i = at; i < n && i < at + 16; ++i) {
            char t[4];
            std::snprintf(t, sizeof t, "%02x ", p[i]);
            line += t;
        }
        out("%s %s\n", label, line.c_str());
    }
}

// One connection of the feed link.
class Link {
public:
    Link(int fd, const Options& o, const char* peer)
        : fd_(fd), opt_(o), start_(now()), mayStall_(o.stallAfter >= 0 && !(o.stallOnce && linksSeen > 0)) {
        ++linksSeen;
        out("connected: %s\n", peer);
        if (o.dump) dump_ = std::fopen(o.dump, "ab");
    }
    ~Link() {
        if (dump_) std::fclose(dump_);
        ::close(fd_);
    }
    int fd() const { return fd_; }
    bool stalled() const { return stalled_; }

    void command(int raw) {
        const char* text = raw ? kRaw : kText;
        if (::send(fd_, text, std::strlen(text), MSG_NOSIGNAL) < 0) {
            out("error: could not send the command\n");
            return;
        }
        raw_ = raw;
        out("sent: %s\n", raw ? "#SET OUT DATE ORIGINAL" : "#SET OUT DATE TEXT");
    }

    // Timed actions; 0 when the link is to be closed.
    int tick() {
        double t = now() - start_;
        if (opt_.rawAfter >= 0 && !rawSent_ && t >= opt_.rawAfter) {
            rawSent_ = 1;
            command(1);
        }
        if (opt_.textAfter >= 0 && !textSent_ && t >= opt_.textAfter) {
            textSent_ = 1;
            command(0);
        }
        if (mayStall_ && !stalled_ && t >= opt_.stallAfter) {
            mayStall_ = 0;
            stalled_ = 1;
            // A hung server's buffers are full: left as they are, the system would
            // take megabytes more for us on loopback while we read nothing.
            int small = 4096;
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            out("stalled\n");
        }
        if (stalled_ && opt_.stallFor >= 0 && t >= opt_.stallAfter + opt_.stallFor) {
            stalled_ = 0;
            out("resumed\n");
        }
        return !(opt_.closeAfter >= 0 && t >= opt_.closeAfter);
    }

    // Reads what arrived; 0 when the program closed the link.
    int read() {
        unsigned char buffer[65536];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return 0;
        bytes_ += static_cast<std::size_t>(n);
        pending_.insert(pending_.end(), buffer, buffer + n);
        parse();
        return 1;
    }

    void summary() {
        out("closed: %zu bytes, %d lines, %d blocks, %zu raw bytes, %d malformed%s\n", bytes_, lines_, blocks_,
            rawBytes_, malformed_, stalled_ ? " (stalled)" : "");
    }

private:
    void parse() {
        while (intro_ < 4) {
            std::size_t end = findCrLf(0);
            if (end == std::string::npos) return;
            std::string line(pending_.begin(), pending_.begin() + static_cast<long>(end));
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(end) + 2);
            ++intro_;
            out("intro %d: %s\n", intro_, printable(reinterpret_cast<const unsigned char*>(line.data()), line.size()).c_str());
            if (intro_ == 4) {
                compressed_ = line.find(":COMPRESS") != std::string::npos;
                if (line != "#TEXT" && line != "#BINARY" && line != "#TEXT:COMPRESS" && line != "#BINARY:COMPRESS")
                    out("MALFORMED introduction: the fourth line is not a kind of data\n");
            }
            if ((intro_ == 2 || intro_ == 3) && !lineIsNumber(line))
                out("MALFORMED introduction: line %d is not a coordinate\n", intro_);
        }
        if (compressed_)
            parseBlocks();
        else
            parsePlain();
    }

    static bool lineIsNumber(const std::string& line) {
        if (line.size() < 2 || line[0] != '#') return false;
        char* end = nullptr;
        std::strtod(line.c_str() + 1, &end);
        return end && *end == '\0';
    }

    std::size_t findCrLf(std::size_t from) const {
        for (std::size_t i = from; i + 1 < pending_.size(); ++i)
            if (pending_[i] == '\r' && pending_[i + 1] == '\n') return i;
        return std::string::npos;
    }

    void emit(const unsigned char* p, std::size_t n) {
        if (dump_) {
            std::fwrite(p, 1, n, dump_);
            std::fflush(dump_);
        }
    }

    // Shows decoded feed content: lines while record lines are expected, hex
    // while the feed was switched to raw bytes.
    void showContent(const unsigned char* p, std::size_t n, const char* indent) {
        emit(p, n);
        if (raw_) {
            rawBytes_ += n;
            if (!opt_.quiet) hexLines(indent[0] ? "  raw:" : "raw:", p, n);
            return;
        }
        std::size_t at = 0;
        while (at < n) {
            std::size_t end = at;
            while (end + 1 < n && !(p[end] == '\r' && p[end + 1] == '\n')) ++end;
            if (end + 1 >= n) {
                if (!opt_.quiet) out("%sMALFORMED line without CR LF: %s\n", indent, printable(p + at, n - at).c_str());
                ++malformed_;
                return;
            }
            ++lines_;
            if (!opt_.quiet) out("%sline: %s\n", indent, printable(p + at, end - at).c_str());
            at = end + 2;
        }
    }

    void parsePlain() {
        if (raw_) {
            if (!pending_.empty()) showContent(pending_.data(), pending_.size(), "");
            pending_.clear();
            return;
        }
        for (;;) {
            std::size_t end = findCrLf(0);
            if (end == std::string::npos) return;
            showContent(pending_.data(), end + 2, "");
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(end) + 2);
        }
    }

    void parseBlocks() {
        while (pending_.size() >= 2) {
            if (pending_[0] != 0x10 || pending_[1] != 0x02) {
                // Bytes outside any block (the program sends a call's own bytes
                // unframed after a failed compression): flag and resynchronise.
                std::size_t skip = 1;
                while (skip + 1 < pending_.size() && !(pending_[skip] == 0x10 && pending_[skip + 1] == 0x02)) ++skip;
                if (skip + 1 >= pending_.size()) skip = pending_.size();
                ++malformed_;
                out("MALFORMED: %zu bytes outside any block: %s\n", skip, printable(pending_.data(), skip < 64 ? skip : 64).c_str());
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(skip));
                continue;
            }
            std::vector<unsigned char> body;
            std::size_t k = 2;
            int state = 0;  // 0 incomplete, 1 complete, -1 bad escape
            while (k < pending_.size()) {
                unsigned char b = pending_[k];
                if (b != 0x10) {
                    body.push_back(b);
                    ++k;
                    continue;
                }
                if (k + 1 >= pending_.size()) break;
                unsigned char next = pending_[k + 1];
                if (next == 0x10) {
                    body.push_back(0x10);
                    k += 2;
                } else if (next == 0x03) {
                    k += 2;
                    state = 1;
                    break;
                } else {
                    state = -1;
                    k += 1;
                    break;
                }
            }
            if (state == 0) return;  // wait for the rest
            std::size_t framed = k;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(k));
            ++blocks_;
            if (state < 0) {
                ++malformed_;
                out("MALFORMED block %d: a lone DLE inside the block\n", blocks_);
                continue;
            }
            checkBlock(body, framed);
        }
    }

    void checkBlock(const std::vector<unsigned char>& body, std::size_t framed) {
        if (body.size() < 4) {
            ++malformed_;
            out("MALFORMED block %d: %zu bytes, too short for a header\n", blocks_, framed);
            return;
        }
        unsigned type = body[0];
        unsigned length = (static_cast<unsigned>(body[1]) << 8) | body[2];
        std::size_t payload = body.size() - 4;
        int bad = 0;
        if (type != 101) {
            out("MALFORMED block %d: type %u, not 101\n", blocks_, type);
            bad = 1;
        }
        if (length != ((payload + 4) & 0xFFFF)) {
            out("MALFORMED block %d: length field %u, payload %zu bytes (+4 = %zu)\n", blocks_, length, payload,
                payload + 4);
            bad = 1;
        }
        if (body[3] != 0) {
            out("MALFORMED block %d: byte after the length is %u, not 0\n", blocks_, body[3]);
            bad = 1;
        }
        static unsigned char inflated[1 << 20];
        uLongf size = sizeof inflated;
        int z = uncompress(inflated, &size, body.data() + 4, static_cast<uLong>(payload));
        if (z != Z_OK) {
            out("MALFORMED block %d: the payload does not inflate (zlib %d)\n", blocks_, z);
            ++malformed_;
            return;
        }
        if (bad) ++malformed_;
        out("block %d: %zu bytes framed, %zu compressed -> %lu bytes\n", blocks_, framed, payload,
            static_cast<unsigned long>(size));
        showContent(inflated, size, "  ");
    }

    int fd_;
    const Options& opt_;
    double start_;
    int mayStall_;
    int stalled_ = 0;
    std::FILE* dump_ = nullptr;
    std::vector<unsigned char> pending_;
    int intro_ = 0;
    int compressed_ = 0;
    int raw_ = 0;
    int rawSent_ = 0;
    int textSent_ = 0;
    std::size_t bytes_ = 0;
    std::size_t rawBytes_ = 0;
    int lines_ = 0;
    int blocks_ = 0;
    int malformed_ = 0;
};

int parseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](double* d) {
            if (i + 1 >= argc) return 0;
            *d = std::atof(argv[++i]);
            return 1;
        };
        if (a == "--port" && i + 1 < argc) {
            o->port = std::atoi(argv[++i]);
        } else if (a == "--raw-after") {
            if (!value(&o->rawAfter)) return 0;
        } else if (a == "--text-after") {
            if (!value(&o->textAfter)) return 0;
        } else if (a == "--close-after") {
            if (!value(&o->closeAfter)) return 0;
        } else if (a == "--stall-after") {
            if (!value(&o->stallAfter)) return 0;
        } else if (a == "--stall-for") {
            if (!value(&o->stallFor)) return 0;
        } else if (a == "--stall-once") {
            o->stallOnce = 1;
        } else if (a == "--once") {
            o->once = 1;
        } else if (a == "--quiet") {
            o->quiet = 1;
        } else if (a == "--dump" && i + 1 < argc) {
            o->dump = argv[++i];
        } else {
            return 0;
        }
    }
    return o->port > 0 && o->port < 65536;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, &opt)) {
        usage();
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(opt.port));
    at.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(listening, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listening, 4) != 0) {
        std::perror("feedserver: bind/listen");
        return 1;
    }
    out("listening: %d\n", opt.port);

    Link* link = nullptr;
    int stdinOpen = 1;
    while (!wantQuit) {
        pollfd fds[4];
        int n = 0;
        // A stalled link is polled with no events: poll still reports its
        // errors (a reset), and the listening socket tells of a new connection.
        const bool stalled = link && link->stalled();
        fds[n++] = pollfd{link ? link->fd() : listening, static_cast<short>(stalled ? 0 : POLLIN), 0};
        int listenAt = -1;
        if (stalled) {
            listenAt = n;
            fds[n++] = pollfd{listening, POLLIN, 0};
        }
        int stdinAt = -1;
        if (stdinOpen) {
            stdinAt = n;
            fds[n++] = pollfd{0, POLLIN, 0};
        }
        int ready = ::poll(fds, static_cast<nfds_t>(n), 100);
        if (link) {
            if (wantRaw) link->command(1);
            if (wantText) link->command(0);
        }
        wantRaw = 0;
        wantText = 0;
        if (ready < 0) continue;
        if (stdinAt >= 0 && (fds[stdinAt].revents & (POLLIN | POLLHUP))) {
            char keys[64];
            ssize_t k = ::read(0, keys, sizeof keys);
            if (k <= 0) stdinOpen = 0;
            for (ssize_t i = 0; i < k; ++i) {
                if (keys[i] == 'q') wantQuit = 1;
                if (link && keys[i] == 'o') link->command(1);
                if (link && keys[i] == 't') link->command(0);
            }
        }
        if (!link) {
            if (fds[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                int fd = ::accept4(listening, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
                if (fd >= 0) {
                    char peer[64];
                    std::snprintf(peer, sizeof peer, "%s:%d", inet_ntoa(from.sin_addr), ntohs(from.sin_port));
                    link = new Link(fd, opt, peer);
                }
            }
            continue;
        }
        int alive = 1;
        if (stalled) {
            if ((fds[0].revents & (POLLHUP | POLLERR)) || (listenAt >= 0 && (fds[listenAt].revents & POLLIN)))
                alive = 0;
        } else if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            alive = link->read();
        }
        if (alive && !link->tick()) {
            out("closing the link\n");
            alive = 0;
        }
        if (!alive) {
            link->summary();
            delete link;
            link = nullptr;
            if (opt.once) break;
        }
    }
    if (link) {
        link->summary();
        delete link;
    }
    ::close(listening);
    return 0;
}
