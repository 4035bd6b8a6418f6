// The status endpoint's three bodies from a view of the station (see
// status_view.h). Everything is built in Windows-1251, as the station's texts and
// this file's literals are, and converted to UTF-8 as a whole at the end.
#include "station/status_view.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <numbers>

// Built without exceptions: a JSON error aborts instead of throwing.
#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include "core/cp1251.h"
#include "core/frontend.h"
#include "core/version.h"
#include "station/checks.h"

namespace {

constexpr int kChartPoints = 360;  // the hour drawn as 10 s averages

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

// The DFs a Mode S frame is judged as (modesLook), each always listed so that
// the series stay put; the verdicts in LookFigures' order.
const int kJudgedDfs[] = {0, 4, 5, 11, 16, 17, 18, 20, 21};
const char* const kVerdictNames[kLookVerdicts] = {"good", "bad_parity", "unconfirmed"};

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

// A label value as the text format wants it: backslash, quote and line end escaped.
std::string labelValue(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (*p == '\\' || *p == '"') out += '\\';
        if (*p == '\n') {
            out += "\\n";
            continue;
        }
        out += *p;
    }
    return out;
}

// One family per figure, one sample per target.
void appendPushMetrics(std::string& out, const StationSnapshot& s) {
    struct Family {
        const char* name;
        const char* type;
        const char* help;
    };
    const Family families[] = {
        {"brevalink_push_up", "gauge", "1 while the push target is connected."},
        {"brevalink_push_bytes_total", "counter", "Bytes pushed to the target."},
        {"brevalink_push_dropped_frames_total", "counter", "Whole frames (or lines) dropped from the target's backlog."},
        {"brevalink_push_dropped_bytes_total", "counter", "Bytes dropped from the target's backlog."},
        {"brevalink_push_backlog_bytes", "gauge", "Bytes waiting for the target."},
        {"brevalink_push_reconnects_total", "counter", "Connections to the target made after the first."},
    };
    for (int f = 0; f < 6; ++f) {
        metric(out, families[f].name, families[f].type, families[f].help);
        for (int i = 0; i < s.pushCount; ++i) {
            const PushFigures& p = s.push[i];
            unsigned long long value = f == 0   ? p.state == kPushUp
                                       : f == 1 ? p.bytesSent
                                       : f == 2 ? p.framesDropped
                                       : f == 3 ? p.bytesDropped
                                       : f == 4 ? p.backlogBytes
                                                : (p.connections > 0 ? p.connections - 1 : 0);
            appendf(out, "%s{target=\"%s\"} %llu\n", families[f].name, labelValue(p.target).c_str(), value);
        }
    }
}

}  // namespace

std::string renderMetrics(const StatusView& view, const ProcessFigures& process) {
    const StationSnapshot& s = view.station;
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
    metric(out, "brevalink_frames_total", "counter", "Binary frames by type and frame lines by kind from the receiver.");
    for (int k = 0; k < kStreamKinds; ++k)
        if (k != kKindLineOther)
            appendf(out, "brevalink_frames_total{kind=\"%s\"} %llu\n", kKindNames[k],
                    static_cast<unsigned long long>(s.kinds[k]));
    single(out, "brevalink_text_lines_other_total", "counter",
           "Text lines other than frame lines (replies, MSG lines), counted in text mode.", s.kinds[kKindLineOther]);
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
    const LookFigures& m = s.modes;
    metric(out, "brevalink_aircraft", "gauge", "Aircraft heard in the last minute, and of those with a position.");
    appendf(out, "brevalink_aircraft{kind=\"seen\"} %d\nbrevalink_aircraft{kind=\"with_position\"} %d\n", m.aircraftNow,
            m.withPosition);
    metric(out, "brevalink_range_max_meters", "gauge", "The farthest position heard: in the last minute, over 24 h.");
    appendf(out, "brevalink_range_max_meters{window=\"now\"} %d\nbrevalink_range_max_meters{window=\"24h\"} %d\n",
            m.farthestNowM > 0 ? m.farthestNowM : 0, m.farthestDayM > 0 ? m.farthestDayM : 0);
    metric(out, "brevalink_modes_frames_total", "counter", "Mode S frames by downlink format and parity verdict.");
    for (int df : kJudgedDfs)
        for (int v = 0; v < kLookVerdicts; ++v)
            appendf(out, "brevalink_modes_frames_total{df=\"%d\",verdict=\"%s\"} %llu\n", df, kVerdictNames[v],
                    static_cast<unsigned long long>(m.byDf[df][v]));
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
    if (s.pushCount) appendPushMetrics(out, s);
    single(out, "process_cpu_seconds_total", "counter", "User and system CPU time of the program.", process.cpuSeconds, 2);
    single(out, "process_resident_memory_bytes", "gauge", "Resident memory of the program.", process.residentBytes);
    return out;
}

// ---- /status.json ---------------------------------------------------------

std::string renderStatusJson(const StatusView& view) {
    const StationSnapshot& s = view.station;
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
    const LookFigures& m = s.modes;
    json byDf = json::object();
    for (int df : kJudgedDfs) {
        json verdicts = json::object();
        for (int v = 0; v < kLookVerdicts; ++v) verdicts[kVerdictNames[v]] = m.byDf[df][v];
        byDf[std::to_string(df)] = verdicts;
    }
    json aircraft = json::array();
    for (int i = 0; i < m.listed; ++i) {
        const LookAircraft& a = m.aircraft[i];
        char address[8];
        std::snprintf(address, sizeof address, "%06X", static_cast<unsigned>(a.icao & 0xFFFFFF));
        aircraft.push_back({{"address", address},
                            {"callsign", a.callsign[0] ? json(a.callsign) : json(nullptr)},
                            {"altitude_ft", a.hasAltitude ? json(a.altitudeFt) : json(nullptr)},
                            {"latitude", a.hasPosition ? json(std::round(a.lat * 1e5) / 1e5) : json(nullptr)},
                            {"longitude", a.hasPosition ? json(std::round(a.lon * 1e5) / 1e5) : json(nullptr)},
                            {"distance_m", a.hasDistance ? json(std::lround(a.distanceM)) : json(nullptr)},
                            {"bearing_deg", a.hasDistance ? json(std::round(a.bearingDeg * 10) / 10) : json(nullptr)},
                            {"messages", a.messages},
                            {"level", a.level >= 0 ? json(a.level) : json(nullptr)},
                            {"seconds_since_last", std::round(a.ageS * 10) / 10}});
    }
    json push = json::array();
    for (int i = 0; i < s.pushCount; ++i) {
        const PushFigures& p = s.push[i];
        push.push_back({{"target", utf8(p.target)},
                        {"up", p.state == kPushUp},
                        {"state", p.state == kPushUp ? "connected" : p.state == kPushWaiting ? "waiting" : "connecting"},
                        {"bytes", p.bytesSent},
                        {"dropped_frames", p.framesDropped},
                        {"dropped_bytes", p.bytesDropped},
                        {"backlog_bytes", p.backlogBytes},
                        {"reconnects", p.connections > 0 ? p.connections - 1 : 0},
                        {"last_error", utf8(p.lastError)}});
    }
    json links = json::array();
    for (int i = 0; i < view.linkCount; ++i) {
        const LinkView& l = view.links[i];
        links.push_back({{"kind", linkKindName(static_cast<LinkKind>(l.kind))},
                         {"name", utf8(l.name)},
                         {"state", linkStateName(static_cast<LinkState>(l.state))},
                         {"detail", utf8(l.detail)},
                         {"seconds_since_change", (view.nowMs - l.sinceMs) / 1000}});
    }
    json monitor = json::array(), status = json::array();
    for (const auto& line : view.monitor) monitor.push_back(utf8(line));
    for (const auto& line : view.status) status.push_back(utf8(line));
    json j = {
        {"version", kBrevalinkVersion},
        {"uptime_seconds", s.uptimeMs / 1000},
        {"station", {{"name", utf8(s.stationName)}, {"latitude", s.stationLat}, {"longitude", s.stationLon}}},
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
        {"modes",
         {{"aircraft_now", m.aircraftNow},
          {"aircraft_with_position", m.withPosition},
          {"range_max_meters",
           {{"now", m.farthestNowM >= 0 ? json(m.farthestNowM) : json(nullptr)},
            {"24h", m.farthestDayM >= 0 ? json(m.farthestDayM) : json(nullptr)}}},
          {"frames", byDf},
          {"aircraft", aircraft}}},
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
        {"push", push},
        {"links", links},
        {"status_lines", status},
        {"monitor", monitor},
    };
    return j.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

// ---- / --------------------------------------------------------------------

namespace {

// The chart: frames per second over the last hour, 10 s averages, plain SVG.
void appendChart(std::string& out, const FpsHistory& history) {
    double points[kChartPoints];
    int have = 0;
    double top = 1;
    int per = kFpsHistorySeconds / kChartPoints;
    for (int i = 0; i < kChartPoints; ++i) {
        // Point i covers seconds ago (kChartPoints - 1 - i) * per .. + per.
        double sum = 0;
        int n = 0;
        for (int k = 0; k < per; ++k) {
            int ago = (kChartPoints - 1 - i) * per + k;
            if (ago >= history.count) continue;
            sum += history.fps[(history.newest - ago + kFpsHistorySeconds) % kFpsHistorySeconds];
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

// The coverage as a polar chart: north up, one wedge per 10-degree sector out to
// its farthest position of the day, rings every 100 km (or 50 for a short range).
void appendCoverage(std::string& out, const LookFigures& m) {
    int top = 0;
    for (int d : m.sectorDayM) top = d > top ? d : top;
    const int step = top > 200000 ? 100000 : 50000;
    const int rings = top > 0 ? (top + step - 1) / step : 1;
    const double size = 320, centre = size / 2, radius = centre - 24, scale = radius / (rings * double(step));
    appendf(out, "<svg id=\"coverage\" viewBox=\"0 0 %.0f %.0f\" role=\"img\" style=\"max-width:420px\">", size, size);
    for (int r = 1; r <= rings; ++r) {
        double rr = r * step * scale;
        appendf(out, "<circle cx=\"%.0f\" cy=\"%.0f\" r=\"%.1f\" class=\"grid\" fill=\"none\"/>", centre, centre, rr);
        // Below the centre: the top is north's.
        appendf(out, "<text x=\"%.1f\" y=\"%.1f\" style=\"font-size:11px\">%d км</text>", centre + 3, centre + rr - 3,
                r * step / 1000);
    }
    appendf(out, "<text x=\"%.0f\" y=\"14\" text-anchor=\"middle\" style=\"font-size:13px\">С</text>", centre);
    out += "<path class=\"cover\" d=\"";
    for (int sector = 0; sector < kSectors; ++sector) {
        if (m.sectorDayM[sector] < 0) continue;
        double r = m.sectorDayM[sector] * scale;
        double a0 = sector * 10 * std::numbers::pi / 180, a1 = (sector + 1) * 10 * std::numbers::pi / 180;
        // Bearings run clockwise from north: x = sin, y = -cos.
        appendf(out, "M%.0f,%.0fL%.1f,%.1fA%.1f,%.1f 0 0 1 %.1f,%.1fZ", centre, centre, centre + r * std::sin(a0),
                centre - r * std::cos(a0), r, r, centre + r * std::sin(a1), centre - r * std::cos(a1));
    }
    out += "\"/></svg>";
}

// The aircraft heard, most recently heard first.
void appendAircraft(std::string& out, const LookFigures& m) {
    out += "<div style=\"overflow-x:auto\"><table id=\"aircraft-list\"><tr><th>Адрес</th><th>Рейс</th><th>Высота, фт</th><th>Дальность, км</th>"
           "<th>Азимут</th><th>Кадров</th><th>Уровень</th><th>Сек.</th></tr>";
    for (int i = 0; i < m.listed; ++i) {
        const LookAircraft& a = m.aircraft[i];
        appendf(out, "<tr><td>%06X</td><td>", static_cast<unsigned>(a.icao));
        appendEscaped(out, a.callsign);
        out += "</td><td class=\"n\">";
        if (a.hasAltitude) appendf(out, "%d", a.altitudeFt);
        out += "</td><td class=\"n\">";
        if (a.hasDistance) appendf(out, "%.0f</td><td class=\"n\">%.0f°", a.distanceM / 1000, a.bearingDeg);
        else out += "</td><td class=\"n\">";
        appendf(out, "</td><td class=\"n\">%u</td><td class=\"n\">", a.messages);
        if (a.level >= 0) appendf(out, "%d", a.level);
        appendf(out, "</td><td class=\"n\">%.0f</td></tr>", a.ageS);
    }
    out += "</table></div>";
}

// The push targets and their figures.
void appendPush(std::string& out, const StationSnapshot& s) {
    out += "<h2>Передача в другие сети</h2><div style=\"overflow-x:auto\"><table id=\"push\"><tr><th>Куда</th>"
           "<th>Состояние</th><th>Байт</th><th>Отброшено кадров</th><th>Очередь, байт</th><th>Переподключений</th>"
           "<th>Последняя ошибка</th></tr>";
    for (int i = 0; i < s.pushCount; ++i) {
        const PushFigures& p = s.push[i];
        out += "<tr><td>";
        appendEscaped(out, p.target);
        if (p.state == kPushWaiting)
            appendf(out, "</td><td>нет связи, повтор через %d с", p.retrySeconds);
        else
            appendf(out, "</td><td>%s", p.state == kPushUp ? "связь есть" : "идет установление связи");
        appendf(out, "</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td>"
                     "<td class=\"n\">%u</td><td>",
                static_cast<unsigned long long>(p.bytesSent), static_cast<unsigned long long>(p.framesDropped),
                static_cast<unsigned long long>(p.backlogBytes), p.connections > 0 ? p.connections - 1 : 0);
        appendEscaped(out, p.lastError);
        out += "</td></tr>";
    }
    out += "</table></div>";
}

// The links to other machines, each as its last change told it.
void appendLinks(std::string& out, const StatusView& view) {
    out += "<h2>Связи</h2><table id=\"links\"><tr><th>Связь</th><th>Адрес</th><th>Состояние</th><th>С тех пор</th></tr>";
    for (int i = 0; i < view.linkCount; ++i) {
        const LinkView& l = view.links[i];
        const char* kind = l.kind == static_cast<int>(LinkKind::kFeed)        ? "Сервер MLAT"
                           : l.kind == static_cast<int>(LinkKind::kTcpSource) ? "Источник ТСР"
                                                                              : "Передача";
        const char* state = l.state == static_cast<int>(LinkState::kConnected)   ? "связь есть"
                            : l.state == static_cast<int>(LinkState::kListening) ? "ждем подключения"
                            : l.state == static_cast<int>(LinkState::kLost)      ? "связь потеряна"
                                                                                 : "нет связи";
        appendf(out, "<tr data-state=\"%s\"><td>%s</td><td>", linkStateName(static_cast<LinkState>(l.state)), kind);
        appendEscaped(out, l.name);
        appendf(out, "</td><td>%s", state);
        if (l.detail[0]) {
            out += ": ";
            appendEscaped(out, l.detail);
        }
        long long ago = (view.nowMs - l.sinceMs) / 1000;
        appendf(out, "</td><td class=\"n\">%lld:%02lld:%02lld</td></tr>", ago / 3600, ago / 60 % 60, ago % 60);
    }
    out += "</table>";
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
    ".axis{stroke:#888}.grid{stroke:#ddd}.fps{fill:none;stroke:#27c;stroke-width:3}"
    ".cover{fill:#27c;fill-opacity:.35;stroke:#27c;stroke-width:1}";

void appendLight(std::string& out, const char* name, const char* color, const char* id, const char* text) {
    appendf(out, "<div class=\"light\" id=\"%s\" data-state=\"%s\"><span class=\"dot %s\"></span><div>%s<small>", id,
            color, color, name);
    appendEscaped(out, text);
    out += "</small></div></div>";
}

}  // namespace

std::string renderStatusPage(const StatusView& view) {
    const StationSnapshot& s = view.station;
    std::string out;
    out.reserve(32768);
    out += "<!DOCTYPE html><html lang=\"ru\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<meta http-equiv=\"refresh\" content=\"10\"><title>";
    // The station's name first: an owner with several stations tells the tabs apart.
    auto name = [&](const char* separator) {
        if (!s.stationName[0]) return;
        appendEscaped(out, s.stationName);
        out += separator;
    };
    name(" — ");
    out += "brevalink</title><style>";
    out += kPageStyle;
    out += "</style></head><body><h1 id=\"station\">";
    name(" · ");
    out += "brevalink ";
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
    const SnapshotCheck& coords = s.checks[kCheckCoordinates];
    appendLight(out, "Координаты", coords.warning ? "yellow" : "green", "coordinates",
                coords.warning ? coords.text : "сходятся с принятыми");
    std::snprintf(text, sizeof text, s.relayListening ? "порт %d, клиенты: %d" : "порт %d занят", s.relayPort, s.relayClients);
    appendLight(out, "Ретрансляция", s.relayListening ? "green" : "red", "relay", text);
    std::snprintf(text, sizeof text, "%s:%d: %s", s.feedHost, s.feedPort, s.feedUp ? "связь есть" : "нет связи");
    appendLight(out, "Сервер MLAT", s.feedUp ? "green" : "red", "feed", text);
    if (s.pushCount) {
        int up = 0;
        for (int i = 0; i < s.pushCount; ++i) up += s.push[i].state == kPushUp;
        std::snprintf(text, sizeof text, "подключено %d из %d", up, s.pushCount);
        appendLight(out, "Передача", up == s.pushCount ? "green" : up ? "yellow" : "red", "push", text);
    }
    out += "</div><h2>Сейчас</h2><table>";
    appendf(out, "<tr><td>Кадров в секунду</td><td class=\"n\" id=\"fps\">%.0f</td></tr>", s.framesRate);
    appendf(out, "<tr><td>Байт в секунду</td><td class=\"n\">%.0f</td></tr>", s.bytesRate);
    appendf(out, "<tr><td>Кадров всего</td><td class=\"n\">%llu</td></tr>",
            static_cast<unsigned long long>(s.kinds[kKindModeAC] + s.kinds[kKindModeSShort] + s.kinds[kKindModeSLong] +
                                            s.kinds[kKindLineTimed] + s.kinds[kKindLineUntimed]));
    appendf(out, "<tr><td>Самолетов за минуту</td><td class=\"n\" id=\"aircraft\">%d (с координатами %d)</td></tr>",
            s.modes.aircraftNow, s.modes.withPosition);
    if (s.modes.farthestDayM >= 0)
        appendf(out, "<tr><td>Дальность за сутки</td><td class=\"n\" id=\"range\">%d км</td></tr>",
                (s.modes.farthestDayM + 500) / 1000);
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
    appendChart(out, view.history);
    out += "<h2>Покрытие за сутки</h2>";
    appendCoverage(out, s.modes);
    appendf(out, "<h2>Самолеты: %d</h2>", s.modes.listed);
    if (s.modes.listed) appendAircraft(out, s.modes);
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
    if (s.pushCount) appendPush(out, s);
    if (view.linkCount) appendLinks(out, view);
    out += "<h2>Монитор</h2><pre id=\"monitor\">";
    for (const auto& line : view.monitor) {
        appendEscaped(out, line);
        out += '\n';
    }
    out += "</pre></body></html>\n";
    return utf8(out.c_str());
}

void fpsHistoryAdd(FpsHistory* history, double framesPerSecond) {
    history->newest = (history->newest + 1) % kFpsHistorySeconds;
    history->fps[history->newest] = static_cast<float>(framesPerSecond);
    if (history->count < kFpsHistorySeconds) ++history->count;
}
