// The station seen from afar: one small local HTTP endpoint with a page for
// people ("/"), the same state for programs ("/status.json") and Prometheus
// metrics ("/metrics"), and what the service manager is told of it (WATCHDOG
// from the main loop, a one-line STATUS).
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
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include "app/linux/shell_linux.h"
#include "config/settings.h"
#include "core/frontend.h"
#include "core/version.h"
#include "station/checks.h"
#include "station/snapshot.h"

namespace {

constexpr int kHistorySeconds = 3600;  // the page's chart: frames per second over the last hour
constexpr int kChartPoints = 360;      // ... drawn as 10 s averages
constexpr int kRetryMs = 5000;         // a port that could not be had is tried again this often
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
    StationSnapshot station;
    char monitor[kMonitorLines][kRingSlotSize];
    char status[kStatusLines][2048];
    float fps[kHistorySeconds];  // a ring the main thread writes; fpsNewest the last second
    int fpsNewest, fpsCount;
    int valid;
};

struct Shared {
    std::mutex lock;  // guards copy
    Published copy;
};
Shared published;
Published view;  // the endpoint's thread only: the copy a request is answered from

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

// ---- texts ----------------------------------------------------------------

std::string utf8(const char* cp1251) {
    std::size_t length = std::strlen(cp1251);
    std::string out(length * 3 + 1, '\0');
    out.resize(cp1251ToUtf8(cp1251, length, out.data(), out.size(), 0));
    return out;
}

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : sizeof buffer - 1);
}

// For text in the page (kept in Windows-1251 until the whole page is converted).
void appendEscaped(std::string& out, const char* text) {
    for (const char* p = text; *p; ++p) {
        switch (*p) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default: out += *p;
        }
    }
}

const char* const kKindNames[kStreamKinds] = {"mode_ac", "mode_s_short", "mode_s_long",
                                              "line_timed", "line_untimed", "line_other"};

// ---- /metrics -------------------------------------------------------------

void metric(std::string& out, const char* name, const char* type, const char* help) {
    appendf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A metric without labels and its one value, with `decimals` places. Counters go
// through a double, exact up to 2^53: some nine petabytes.
void single(std::string& out, const char* name, const char* type, const char* help, double value, int decimals = 0) {
    metric(out, name, type, help);
    appendf(out, "%s %.*f\n", name, decimals, value);
}

double processCpuSeconds() {
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double residentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "rb")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

std::string metricsText(const Published& p) {
    const StationSnapshot& s = p.station;
    std::string out;
    out.reserve(8192);
    metric(out, "brevalink_build_info", "gauge", "The program's version.");
    appendf(out, "brevalink_build_info{version=\"%s\"} 1\n", kBrevalinkVersion);
    single(out, "brevalink_uptime_seconds", "gauge", "Seconds since the station started.",
           static_cast<double>(s.uptimeMs) / 1000.0, 1);
    metric(out, "brevalink_source_up", "gauge", "1 while the receiver's port is open or its TCP connection is up.");
    appendf(out, "brevalink_source_up{source=\"%s\"} %d\n", s.sourceTcp ? "tcp" : "serial", s.sourceUp);
    single(out, "brevalink_source_bytes_total", "counter", "Bytes read from the receiver.", s.sourceBytes);
    single(out, "brevalink_source_bytes_per_second", "gauge", "Bytes per second from the receiver over the last 10 s.",
           s.bytesRate, 1);
    if (s.lastByteAgeS >= 0)
        single(out, "brevalink_source_last_byte_age_seconds", "gauge", "Seconds since the receiver's last bytes.",
               s.lastByteAgeS, 1);
    metric(out, "brevalink_frames_total", "counter", "Binary frames by type and text lines by kind from the receiver.");
    for (int k = 0; k < kStreamKinds; ++k)
        appendf(out, "brevalink_frames_total{kind=\"%s\"} %llu\n", kKindNames[k], static_cast<unsigned long long>(s.kinds[k]));
    single(out, "brevalink_frames_per_second", "gauge", "Frames per second from the receiver over the last 10 s.",
           s.framesRate, 1);
    single(out, "brevalink_frames_held_back_total", "counter", "Binary frames under the level threshold, not fed.",
           s.heldBack);
    single(out, "brevalink_source_stray_bytes_total", "counter", "Bytes in no frame or no used line.", s.stray);
    metric(out, "brevalink_check_warning", "gauge", "1 while a check of the receiver's data warns.");
    for (int c = 0; c < kCheckCount; ++c)
        appendf(out, "brevalink_check_warning{check=\"%s\"} %d\n", checkName(c), s.checks[c].warning);
    single(out, "brevalink_receiver_frequency_hz", "gauge", "The receiver's clock as measured; 0 until measured.",
           s.measuredHz);
    single(out, "brevalink_receiver_frequency_setting_hz", "gauge", "The receiver's clock as set in the settings.",
           s.settingHz);
    single(out, "brevalink_relay_listening", "gauge", "1 while the relay port is listening.", s.relayListening);
    single(out, "brevalink_relay_clients", "gauge", "Relay clients connected.", s.relayClients);
    single(out, "brevalink_relay_bytes_total", "counter", "Bytes relayed, summed over the clients.", s.relayBytes);
    single(out, "brevalink_relay_drops_total", "counter", "Relay clients dropped for falling behind.", s.relayDrops);
    single(out, "brevalink_relay_overrun_bytes_total", "counter", "Bytes the relay could not keep for its clients.",
           s.relayOverruns);
    single(out, "brevalink_feed_up", "gauge", "1 while the link to the MLAT feed server is up.", s.feedUp);
    single(out, "brevalink_feed_queue_bytes", "gauge", "Bytes waiting for the feed server.", s.feedQueueBytes);
    single(out, "brevalink_feed_reconnects_total", "counter", "Links to the feed server made after the first.",
           s.feedConnections > 0 ? s.feedConnections - 1 : 0);
    single(out, "process_cpu_seconds_total", "counter", "User and system CPU time of the program.", processCpuSeconds(), 2);
    single(out, "process_resident_memory_bytes", "gauge", "Resident memory of the program.", residentBytes());
    return out;
}

// ---- /status.json ---------------------------------------------------------

std::string statusJson(const Published& p) {
    const StationSnapshot& s = p.station;
    using nlohmann::json;
    json frames = json::object(), rates = json::object();
    for (int k = 0; k < kStreamKinds; ++k) {
        frames[kKindNames[k]] = s.kinds[k];
        rates[kKindNames[k]] = std::round(s.kindRates[k] * 10) / 10;
    }
    json checks = json::array();
    for (int c = 0; c < kCheckCount; ++c)
        checks.push_back({{"name", checkName(c)}, {"warning", s.checks[c].warning != 0}, {"text", utf8(s.checks[c].text)}});
    json clients = json::array();
    for (int i = 0; i < s.relayClients; ++i) clients.push_back({{"address", s.clients[i].peer}, {"bytes", s.clients[i].bytes}});
    json monitor = json::array(), status = json::array();
    for (const auto& line : p.monitor) monitor.push_back(utf8(line));
    for (const auto& line : p.status) status.push_back(utf8(line));
    json j = {
        {"version", kBrevalinkVersion},
        {"uptime_seconds", s.uptimeMs / 1000},
        {"source",
         {{"kind", s.sourceTcp ? "tcp" : "serial"},
          {"name", utf8(s.sourceName)},
          {"up", s.sourceUp != 0},
          {"mode", s.binaryMode ? "binary" : "text"},
          {"bytes", s.sourceBytes},
          {"bytes_per_second", std::round(s.bytesRate * 10) / 10},
          {"frames_per_second", std::round(s.framesRate * 10) / 10},
          {"last_byte_age_seconds", s.lastByteAgeS >= 0 ? json(std::round(s.lastByteAgeS * 10) / 10) : json(nullptr)},
          {"frames", frames},
          {"rates", rates},
          {"held_back", s.heldBack},
          {"stray_bytes", s.stray}}},
        {"checks", checks},
        {"receiver_frequency_hz", {{"measured", s.measuredHz > 0 ? json(std::round(s.measuredHz)) : json(nullptr)},
                                   {"setting", s.settingHz}}},
        {"relay",
         {{"port", s.relayPort},
          {"listening", s.relayListening != 0},
          {"clients", clients},
          {"bytes", s.relayBytes},
          {"drops", s.relayDrops},
          {"overrun_bytes", s.relayOverruns}}},
        {"feed",
         {{"host", utf8(s.feedHost)},
          {"port", s.feedPort},
          {"up", s.feedUp != 0},
          {"status", utf8(s.feedStatus)},
          {"queue_bytes", s.feedQueueBytes},
          {"reconnects", s.feedConnections > 0 ? s.feedConnections - 1 : 0}}},
        {"status_lines", status},
        {"monitor", monitor},
    };
    return j.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

// ---- / --------------------------------------------------------------------

// The chart: frames per second over the last hour, 10 s averages, plain SVG.
void appendChart(std::string& out, const Published& p) {
    double points[kChartPoints];
    int have = 0;
    double top = 1;
    int per = kHistorySeconds / kChartPoints;
    for (int i = 0; i < kChartPoints; ++i) {
        // Point i covers seconds ago (kChartPoints - 1 - i) * per .. + per.
        double sum = 0;
        int n = 0;
        for (int k = 0; k < per; ++k) {
            int ago = (kChartPoints - 1 - i) * per + k;
            if (ago >= p.fpsCount) continue;
            sum += p.fps[(p.fpsNewest - ago + kHistorySeconds) % kHistorySeconds];
            ++n;
        }
        points[i] = n ? sum / n : -1;
        if (n) ++have;
        if (n && points[i] > top) top = points[i];
    }
    double scale = std::pow(10, std::floor(std::log10(top)));
    top = std::ceil(top / scale) * scale;
    // In the chart's own units; a phone shows it at about half size.
    const int w = 720, h = 260;
    appendf(out, "<svg id=\"chart\" viewBox=\"0 0 %d %d\" role=\"img\">", w, h + 34);
    appendf(out, "<line x1=\"0\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"axis\"/>", h, w, h);
    appendf(out, "<line x1=\"0\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"grid\"/>", h / 2, w, h / 2);
    appendf(out, "<text x=\"6\" y=\"26\">%.0f</text><text x=\"6\" y=\"%d\">%.0f</text>", top, h / 2 - 6, top / 2);
    appendf(out, "<text x=\"6\" y=\"%d\">-60 мин</text><text x=\"%d\" y=\"%d\" text-anchor=\"middle\">-30 мин</text>"
                 "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">сейчас</text>",
            h + 28, w / 2, h + 28, w - 6, h + 28);
    if (have) {
        out += "<polyline class=\"fps\" points=\"";
        for (int i = 0; i < kChartPoints; ++i) {
            if (points[i] < 0) continue;
            appendf(out, "%.1f,%.1f ", (i + 0.5) * w / kChartPoints, h - points[i] / top * (h - 4));
        }
        out += "\"/>";
    }
    out += "</svg>";
}

const char kPageStyle[] =
    "body{font-family:sans-serif;margin:0;padding:12px;background:#f4f4f4;color:#222;max-width:760px}"
    "h1{font-size:1.3em;margin:0 0 8px}h2{font-size:1.05em;margin:16px 0 6px}"
    ".lights{display:flex;flex-wrap:wrap;gap:8px}"
    ".light{flex:1 1 150px;background:#fff;border-radius:8px;padding:8px;display:flex;align-items:center;gap:8px}"
    ".dot{width:22px;height:22px;border-radius:50%;flex:none}"
    ".green{background:#2a2}.yellow{background:#eb0}.red{background:#d22}"
    ".light small{display:block;color:#555}"
    "table{border-collapse:collapse;background:#fff;width:100%}td,th{padding:3px 8px;text-align:left;border-bottom:1px solid #ddd}"
    "td.n{text-align:right}pre{background:#111;color:#ddd;padding:8px;overflow-x:auto;font-size:12px}"
    "svg{width:100%;height:auto;background:#fff}svg text{font-size:24px;fill:#555}"
    ".axis{stroke:#888}.grid{stroke:#ddd}.fps{fill:none;stroke:#27c;stroke-width:3}";

void appendLight(std::string& out, const char* name, const char* color, const char* id, const char* text) {
    appendf(out, "<div class=\"light\" id=\"%s\" data-state=\"%s\"><span class=\"dot %s\"></span><div>%s<small>", id,
            color, color, name);
    appendEscaped(out, text);
    out += "</small></div></div>";
}

// The page in Windows-1251 like every text of ours; converted as a whole.
std::string statusPage(const Published& p) {
    const StationSnapshot& s = p.station;
    std::string out;
    out.reserve(32768);
    out += "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta http-equiv=\"refresh\" content=\"10\"><title>brevalink</title><style>";
    out += kPageStyle;
    out += "</style></head><body><h1>brevalink ";
    out += kBrevalinkVersion;
    out += "</h1><div class=\"lights\">";
    char text[512];
    int silent = s.checks[kCheckNoData].warning;
    std::snprintf(text, sizeof text, "%s: %s", s.sourceName,
                  !s.sourceUp ? "нет связи" : silent ? "нет данных" : "данные идут");
    appendLight(out, "Приемник", s.sourceUp && !silent ? "green" : "red", "receiver", text);
    int worst = -1;
    for (int c = 0; c < kCheckCount && worst < 0; ++c)
        if (s.checks[c].warning) worst = c;
    appendLight(out, "Проверки", worst < 0 ? "green" : "yellow", "checks", worst < 0 ? "все в порядке" : s.checks[worst].text);
    std::snprintf(text, sizeof text, s.relayListening ? "порт %d, клиенты: %d" : "порт %d занят", s.relayPort, s.relayClients);
    appendLight(out, "Ретрансляция", s.relayListening ? "green" : "red", "relay", text);
    std::snprintf(text, sizeof text, "%s:%d: %s", s.feedHost, s.feedPort, s.feedUp ? "связь есть" : "нет связи");
    appendLight(out, "Сервер MLAT", s.feedUp ? "green" : "red", "feed", text);
    out += "</div><h2>Сейчас</h2><table>";
    appendf(out, "<tr><td>Кадров в секунду</td><td class=\"n\" id=\"fps\">%.0f</td></tr>", s.framesRate);
    appendf(out, "<tr><td>Байт в секунду</td><td class=\"n\">%.0f</td></tr>", s.bytesRate);
    appendf(out, "<tr><td>Кадров всего</td><td class=\"n\">%llu</td></tr>",
            static_cast<unsigned long long>(s.kinds[kKindModeAC] + s.kinds[kKindModeSShort] + s.kinds[kKindModeSLong] +
                                            s.kinds[kKindLineTimed] + s.kinds[kKindLineUntimed]));
    appendf(out, "<tr><td>Режим приемника</td><td class=\"n\">%s</td></tr>", s.binaryMode ? "двоичный" : "текстовый");
    if (s.measuredHz > 0)
        appendf(out, "<tr><td>Частота таймера</td><td class=\"n\">%.0f Гц (задано %d)</td></tr>", s.measuredHz,
                static_cast<int>(s.settingHz));
    appendf(out, "<tr><td>Очередь к серверу MLAT</td><td class=\"n\">%llu байт</td></tr>",
            static_cast<unsigned long long>(s.feedQueueBytes));
    appendf(out, "<tr><td>Отключено клиентов</td><td class=\"n\">%llu</td></tr>", static_cast<unsigned long long>(s.relayDrops));
    long long up = s.uptimeMs / 1000;
    appendf(out, "<tr><td>Работает</td><td class=\"n\">%lld д %02lld:%02lld:%02lld</td></tr></table>", up / 86400,
            up / 3600 % 24, up / 60 % 60, up % 60);
    out += "<h2>Кадров в секунду за час</h2>";
    appendChart(out, p);
    appendf(out, "<h2>Клиенты ретрансляции: %d</h2>", s.relayClients);
    if (s.relayClients) {
        out += "<table id=\"clients\"><tr><th>Адрес</th><th>Байт</th></tr>";
        for (int i = 0; i < s.relayClients; ++i) {
            out += "<tr><td>";
            appendEscaped(out, s.clients[i].peer);
            appendf(out, "</td><td class=\"n\">%llu</td></tr>", static_cast<unsigned long long>(s.clients[i].bytes));
        }
        out += "</table>";
    }
    out += "<h2>Монитор</h2><pre id=\"monitor\">";
    for (const auto& line : p.monitor) {
        appendEscaped(out, line);
        out += '\n';
    }
    out += "</pre></body></html>\n";
    return utf8(out.c_str());
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
        view = published.copy;
    }
    if (!view.valid) return answer(c, MHD_HTTP_SERVICE_UNAVAILABLE, "starting\n", "text/plain; charset=utf-8", nullptr);
    switch (path) {
        case kPage: return answer(c, MHD_HTTP_OK, statusPage(view), "text/html; charset=utf-8", nullptr);
        case kJson: return answer(c, MHD_HTTP_OK, statusJson(view), "application/json", nullptr);
        default: return answer(c, MHD_HTTP_OK, metricsText(view), "text/plain; version=0.0.4; charset=utf-8", nullptr);
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
        Published& p = published.copy;
        p.station = fresh;
        for (int i = 0; i < kMonitorLines; ++i) {
            shellMonitorLine(i, p.monitor[i], sizeof p.monitor[i]);
            trimLineEnd(p.monitor[i]);
        }
        for (int i = 0; i < kStatusLines; ++i) {
            shellStatusLine(i, p.status[i], sizeof p.status[i]);
            trimLineEnd(p.status[i]);
        }
        p.fpsNewest = (p.fpsNewest + 1) % kHistorySeconds;
        p.fps[p.fpsNewest] = static_cast<float>(fresh.framesRate);
        if (p.fpsCount < kHistorySeconds) ++p.fpsCount;
        p.valid = 1;
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

