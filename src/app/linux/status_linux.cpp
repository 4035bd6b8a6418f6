// The station seen from afar: one small local HTTP endpoint with a page for
// people ("/"), the same state for programs ("/status.json") and Prometheus
// metrics ("/metrics"), and what the service manager is told of it (WATCHDOG
// from the main loop, a one-line STATUS). What the three bodies say is
// station/status_view's, portable; this file owns the server, the passing of the
// view between the threads and the process's own figures.
//
// Threads: the main thread takes a snapshot of the state record once a second and
// publishes it under `published.lock`; the endpoint's one thread (ours, driving
// libmicrohttpd) answers every request from its own copy of the published one. So
// no request ever reads the live state, and a slow or hostile HTTP client costs
// the receiver's path, the relay and the feed nothing. The endpoint's thread
// bounds the connections, those of one address, their memory, their idle time and
// the time a request's head may take, and serves them all.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "app/linux/shell_linux.h"
#include "config/settings.h"
#include "core/frontend.h"
#include "station/snapshot.h"
#include "station/status_view.h"

namespace {

constexpr int kRetryMs = 5000;  // a port that could not be had is tried again this often
// Room for a few people's browsers, a Prometheus and whoever trickles bytes at us:
// one address (a LAN host, or a whole network behind its router) holds at most
// kPerAddressLimit, so a single slow or hostile host cannot take the others' room.
// A browser keeps one or two connections to the page, Prometheus one.
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kPerAddressLimit = 16;
constexpr unsigned kIdleSeconds = 10;
// A whole request head, from the connection's start or the end of its previous
// request, within this: a real client sends it in one go, and a head fed a line at
// a time (which the idle time-out never ends) is cut.
constexpr std::int64_t kHeadMs = 5000;
constexpr std::size_t kConnectionMemory = 16 * 1024;  // a request's head must fit in this

struct Published {
    StatusView view;
    int valid;
};

struct Shared {
    std::mutex lock;  // guards copy
    Published copy;
};
Shared published;
Published mine;  // the endpoint's thread only: the copy a request is answered from

// A connection as the head deadline sees it; the endpoint's thread only (and the
// main thread's MHD_stop_daemon once that thread has ended).
struct Link {
    bool used;
    bool inHead;             // its request head is not all there yet
    MHD_socket fd;
    std::int64_t headSinceMs;
};
Link links[kConnectionLimit];

// Main thread; the endpoint's thread reads `daemon` and `wake`, set before it
// starts, and `stopping`.
struct Endpoint {
    MHD_Daemon* daemon = nullptr;
    pthread_t server;
    std::atomic<bool> stopping {false};
    int wake = -1;           // an eventfd: tells the endpoint's thread to look at `stopping`
    HttpEndpoint wanted;  // the one in use (port 0: off); the defaults until the first is applied
    HttpEndpoint running;
    std::int64_t retryAtMs = 0;
    int toldFailure = 0;
    std::int64_t nextSecondMs = 0;
    char lastStatus[256] = "";
};
Endpoint endpoint;

// ---- texts and figures ------------------------------------------------------

std::string utf8(const char* cp1251) {
    std::size_t length = std::strlen(cp1251);
    std::string out(length * 3 + 1, '\0');
    out.resize(cp1251ToUtf8(cp1251, length, out.data(), out.size(), 0));
    return out;
}

// Both read now, on the endpoint's thread, for the request being answered.
ProcessFigures processFigures() {
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "rb")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE))};
}

// ---- the endpoint's thread ------------------------------------------------

MHD_Result answer(MHD_Connection* c, unsigned code, const std::string& body, const char* type, const char* allow) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "Cache-Control", "no-store");
    if (allow) MHD_add_response_header(r, "Allow", allow);
    MHD_Result result = MHD_queue_response(c, code, r);
    MHD_destroy_response(r);
    return result;
}

Link* linkOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Link*>(info->socket_context) : nullptr;
}

// The endpoint's thread, from MHD_run: a connection's start and end.
void onConnection(void*, MHD_Connection* c, void** context, MHD_ConnectionNotificationCode what) {
    if (what == MHD_CONNECTION_NOTIFY_CLOSED) {
        if (*context) static_cast<Link*>(*context)->used = false;
        *context = nullptr;
        return;
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return;
    for (Link& l : links) {
        if (l.used) continue;
        l = Link {true, true, info->connect_fd, monotonicMs()};
        *context = &l;
        return;
    }
    // More connections than the limit lets in cannot be; one would get no deadline.
    shutdown(info->connect_fd, SHUT_RDWR);
}

// The endpoint's thread: a request answered (or given up); a kept-alive
// connection's next head has its own deadline.
void onCompleted(void*, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
    if (Link* l = linkOf(c)) {
        l->inHead = true;
        l->headSinceMs = monotonicMs();
    }
}

// The endpoint's thread, between two MHD_run: a head past its deadline is cut by
// its socket's shutdown, which the next MHD_run sees as the peer's end and closes.
// Between two MHD_run every used link's socket is still that connection's. Returns
// the milliseconds until the next deadline, -1 for none.
int cutSlowHeads() {
    std::int64_t now = monotonicMs(), next = -1;
    for (Link& l : links) {
        if (!l.used || !l.inHead) continue;
        std::int64_t left = l.headSinceMs + kHeadMs - now;
        if (left <= 0) {
            shutdown(l.fd, SHUT_RDWR);
            l.inHead = false;
        } else if (next < 0 || left < next) {
            next = left;
        }
    }
    return static_cast<int>(next);
}

// The endpoint's thread: waits in poll for the connections, the next time-out or
// head deadline, and the main thread's word to end.
void* serve(void*) {
    MHD_Daemon* daemon = endpoint.daemon;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd fds[2] = {{info ? info->epoll_fd : -1, POLLIN, 0}, {endpoint.wake, POLLIN, 0}};
    while (!endpoint.stopping.load()) {
        MHD_run(daemon);
        int wait = cutSlowHeads();
        MHD_UNSIGNED_LONG_LONG due = 0;
        if (MHD_get_timeout(daemon, &due) == MHD_YES && (wait < 0 || due < static_cast<unsigned long long>(wait)))
            wait = static_cast<int>(due);
        poll(fds, 2, wait);
    }
    return nullptr;
}

// The endpoint's thread. Every request is answered at its first call, a body
// (which no path takes) is never read.
MHD_Result onRequest(void*, MHD_Connection* c, const char* url, const char* method, const char*, const char*,
                     size_t*, void**) {
    if (Link* l = linkOf(c)) l->inHead = false;
    enum { kNone, kPage, kJson, kMetrics } path = kNone;
    if (std::strcmp(url, "/") == 0) path = kPage;
    else if (std::strcmp(url, "/status.json") == 0) path = kJson;
    else if (std::strcmp(url, "/metrics") == 0) path = kMetrics;
    if (path == kNone) return answer(c, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8", nullptr);
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return answer(c, MHD_HTTP_METHOD_NOT_ALLOWED, "GET or HEAD only\n", "text/plain; charset=utf-8", "GET, HEAD");
    {
        std::lock_guard<std::mutex> guard(published.lock);
        mine = published.copy;
    }
    if (!mine.valid) return answer(c, MHD_HTTP_SERVICE_UNAVAILABLE, "starting\n", "text/plain; charset=utf-8", nullptr);
    switch (path) {
        case kPage: return answer(c, MHD_HTTP_OK, renderStatusPage(mine.view), "text/html; charset=utf-8", nullptr);
        case kJson: return answer(c, MHD_HTTP_OK, renderStatusJson(mine.view), "application/json", nullptr);
        default:
            return answer(c, MHD_HTTP_OK, renderMetrics(mine.view, processFigures()),
                          "text/plain; version=0.0.4; charset=utf-8", nullptr);
    }
}

// ---- the main thread ------------------------------------------------------

// Waits for the endpoint's thread to end (it does at its next look).
void stopDaemon() {
    if (!endpoint.daemon) return;
    endpoint.stopping.store(true);
    // An eventfd takes one count whatever; neither result tells anything of use.
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t told = write(endpoint.wake, &one, sizeof one);
    pthread_join(endpoint.server, nullptr);
    MHD_stop_daemon(endpoint.daemon);
    endpoint.daemon = nullptr;
    endpoint.running = HttpEndpoint{};
    [[maybe_unused]] ssize_t taken = read(endpoint.wake, &one, sizeof one);
    endpoint.stopping.store(false);
}

void startDaemon() {
    const HttpEndpoint& w = endpoint.wanted;
    sockaddr_in where {};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<std::uint16_t>(w.port));
    inet_pton(AF_INET, w.address, &where.sin_addr);
    if (endpoint.wake < 0) endpoint.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Run from a thread of ours rather than libmicrohttpd's, so that the head
    // deadline can be kept between two of its runs.
    endpoint.daemon = endpoint.wake < 0 ? nullptr : MHD_start_daemon(
        MHD_USE_EPOLL, static_cast<std::uint16_t>(w.port), nullptr, nullptr, &onRequest, nullptr,
        MHD_OPTION_SOCK_ADDR, &where, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressLimit, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_NOTIFY_CONNECTION, &onConnection, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, nullptr, MHD_OPTION_END);
    if (endpoint.daemon && pthread_create(&endpoint.server, nullptr, serve, nullptr) != 0) {
        MHD_stop_daemon(endpoint.daemon);
        endpoint.daemon = nullptr;
    }
    // Said where the user looks: the journal, or the terminal's message row.
    char text[160];
    if (endpoint.daemon) {
        endpoint.running = w;
        endpoint.toldFailure = 0;
        std::snprintf(text, sizeof text, "status page: http://%s:%d/", w.address, w.port);
        uiNotice(text);
    } else {
        endpoint.retryAtMs = monotonicMs() + kRetryMs;
        if (!endpoint.toldFailure) {
            std::snprintf(text, sizeof text, "status page: cannot listen on %s:%d; trying again every %d s", w.address,
                          w.port, kRetryMs / 1000);
            uiNotice(text);
        }
        endpoint.toldFailure = 1;
    }
}

// Without its line end, which a monitor line may keep.
void trimLineEnd(char* line) {
    std::size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = '\0';
}

void publish() {
    static StationSnapshot fresh;
    takeStationSnapshot(&fresh);
    {
        std::lock_guard<std::mutex> guard(published.lock);
        StatusView& v = published.copy.view;
        v.station = fresh;
        for (int i = 0; i < kMonitorLines; ++i) {
            shellMonitorLine(i, v.monitor[i], sizeof v.monitor[i]);
            trimLineEnd(v.monitor[i]);
        }
        for (int i = 0; i < kStatusLines; ++i) {
            shellStatusLine(i, v.status[i], sizeof v.status[i]);
            trimLineEnd(v.status[i]);
        }
        fpsHistoryAdd(&v.history, fresh.framesRate);
        v.linkCount = shellLinks(v.links, kLinkViews);
        v.nowMs = monotonicMs();
        published.copy.valid = 1;
    }
    // The service manager's one line, when it changed.
    char line[256];
    std::snprintf(line, sizeof line, "приемник: %.0f кадр/с, клиенты: %d, сервер MLAT: %s", fresh.framesRate,
                  fresh.relayClients, fresh.feedUp ? "связь есть" : "нет связи");
    if (std::strcmp(line, endpoint.lastStatus) != 0) {
        copyText(endpoint.lastStatus, sizeof endpoint.lastStatus, line);
        serviceStatus(utf8(line).c_str());
    }
}

// A line of inithttp.ini that cannot work, told as the other settings files' are.
void refuse(const char* text) { uiMessageBox(0, text, "inithttp.ini", kBoxOk); }

}  // namespace

void readHttpSettings(HttpEndpoint* out) {
    char path[kPathSize], line[256];
    settingsPath("inithttp.ini", path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;
    if (readLine(f, line, sizeof line - 1) && line[0]) {
        char* end = nullptr;
        long port = std::strtol(line, &end, 10);
        while (end && (*end == ' ' || *end == '\t')) ++end;
        if (end != line && end && *end == '\0' && port >= 0 && port <= 65535) {
            out->port = static_cast<int>(port);
        } else {
            char text[400];
            std::snprintf(text, sizeof text, "the port %s cannot be used; keeping %d", line, out->port);
            refuse(text);
        }
    }
    if (readLine(f, line, sizeof line - 1) && line[0]) {
        in_addr a;
        if (inet_pton(AF_INET, line, &a) == 1) {
            copyText(out->address, sizeof out->address, line);
        } else {
            char text[400];
            std::snprintf(text, sizeof text, "the address %s is not a dotted IPv4 address; keeping %s", line,
                          out->address);
            refuse(text);
        }
    }
    std::fclose(f);
}

int parseHttpOverride(const char* text, HttpEndpoint* out) {
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon == text || colon - text >= static_cast<long>(sizeof out->address)) return 0;
    char address[sizeof out->address];
    std::memcpy(address, text, static_cast<std::size_t>(colon - text));
    address[colon - text] = '\0';
    in_addr a;
    char* end = nullptr;
    long port = std::strtol(colon + 1, &end, 10);
    if (inet_pton(AF_INET, address, &a) != 1 || !end || *end || end == colon + 1 || port < 0 || port > 65535) return 0;
    copyText(out->address, sizeof out->address, address);
    out->port = static_cast<int>(port);
    return 1;
}

void statusApply(const HttpEndpoint& wanted) {
    bool same = wanted.port == endpoint.running.port && std::strcmp(wanted.address, endpoint.running.address) == 0;
    endpoint.wanted = wanted;
    if (endpoint.daemon && same) return;
    stopDaemon();
    endpoint.toldFailure = 0;
    if (wanted.port == 0) {
        uiNotice("status page: off");
        return;
    }
    startDaemon();
}

HttpEndpoint statusInUse() { return endpoint.wanted; }

void statusStop() { stopDaemon(); }

void statusTurn() {
    std::int64_t now = monotonicMs();
    if (now < endpoint.nextSecondMs) return;
    endpoint.nextSecondMs = now + 1000;
    publish();
    // From the main loop only: a loop that hangs stops these, and systemd restarts it.
    serviceWatchdog();
    if (!endpoint.daemon && endpoint.wanted.port != 0 && now >= endpoint.retryAtMs) startDaemon();
}

