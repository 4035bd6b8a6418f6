// The status endpoint's bodies from a hand-made view: the metrics keep the
// Prometheus text format's rules, the JSON parses and holds the station, and the
// page nests its tags with every text of the station escaped, its chart drawing
// the newest seconds at the right even after the history's ring has wrapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// As the product includes it, so that both instantiate the same code.
#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include "core/frontend.h"
#include "station/checks.h"
#include "station/status_view.h"

namespace {

std::string utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// Literals here are Windows-1251, as the station's texts are.
std::unique_ptr<StatusView> makeView() {
    auto v = std::make_unique<StatusView>();
    StationSnapshot& s = v->station;
    s.uptimeMs = 90061000;
    std::strcpy(s.sourceName, "COM<3>&\"x\"");
    s.sourceUp = 1;
    s.lastByteAgeS = -1;
    s.sourceBytes = (1ull << 40) + 1;  // past what a 32-bit or a float would keep
    s.kinds[kKindModeSLong] = 65386;
    s.framesRate = 1234.25;
    s.checks[kCheckNoData].warning = 1;
    std::strcpy(s.checks[kCheckNoData].text, "нет данных <10 с> & больше");
    s.settingHz = 12000000;
    s.relayPort = 30005;
    s.relayListening = 1;
    s.relayClients = 2;
    std::strcpy(s.clients[0].peer, "10.0.0.2:5000");
    s.clients[0].bytes = 77;
    std::strcpy(s.clients[1].peer, "10.0.0.3:<6>");
    std::strcpy(s.feedHost, "mlat&feed");
    std::strcpy(v->monitor[0], "</pre><script>alert(1)</script>");
    std::strcpy(v->status[2], "Приемник");
    std::strcpy(s.stationName, "Ростов <юг>");
    s.modes.aircraftNow = 12;
    s.modes.withPosition = 9;
    s.modes.farthestNowM = -1;  // nothing placed in the last minute
    s.modes.farthestDayM = 345678;
    s.modes.byDf[17][0] = 5000;
    s.modes.listed = 2;
    s.modes.aircraft[0] = {0x4840D6, "KLM1023", 1, 38000, 1, 123456.7, 87.25, 40, 200, 0.5, 1, 52.257202, 3.919373};
    s.modes.aircraft[1] = {0x00ABCD, "", 0, 0, 0, 0, 0, 3, -1, 59.9, 0, 0, 0};
    s.kinds[kKindLineOther] = 3;
    for (int& d : s.modes.sectorDayM) d = -1;
    s.modes.sectorDayM[0] = 345678;  // due north
    s.modes.sectorDayM[9] = 100000;  // east
    return v;
}

// Every sample under its family's # HELP and # TYPE, each family once and in
// one piece, names and labels as the format allows, counters named _total.
void expectPrometheusText(const std::string& text) {
    std::istringstream in(text);
    std::string line, family;
    std::map<std::string, std::string> types;
    std::set<std::string> helped, sampled;
    auto isName = [](const std::string& n) {
        if (n.empty() || std::isdigit(static_cast<unsigned char>(n[0]))) return false;
        for (char c : n)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':') return false;
        return true;
    };
    while (std::getline(in, line)) {
        SCOPED_TRACE(line);
        std::istringstream words(line);
        std::string first, name, type;
        words >> first;
        if (first == "#") {
            words >> type >> name;
            if (type == "HELP") helped.insert(name);
            if (type != "TYPE") continue;
            words >> type;
            EXPECT_TRUE(types.emplace(name, type).second) << "a second # TYPE";
            EXPECT_TRUE(type == "gauge" || type == "counter");
            EXPECT_EQ(type == "counter", name.size() > 6 && name.ends_with("_total"));
            EXPECT_TRUE(helped.count(name)) << "# HELP comes first";
            family = name;
            continue;
        }
        name = first.substr(0, first.find('{'));
        EXPECT_TRUE(isName(name));
        EXPECT_EQ(name, family) << "a sample outside its family";
        sampled.insert(name);
        if (first.size() > name.size()) {
            std::string labels = first.substr(name.size());
            EXPECT_TRUE(labels.back() == '}' && labels.find('"') != std::string::npos &&
                        labels.find("=\"") == labels.find('=') && std::count(labels.begin(), labels.end(), '"') % 2 == 0);
        }
        std::string value;
        words >> value;
        char* end = nullptr;
        std::strtod(value.c_str(), &end);
        EXPECT_TRUE(!value.empty() && *end == '\0') << "value " << value;
        EXPECT_FALSE(words >> value) << "more than a value";
    }
    EXPECT_EQ(sampled.size(), types.size()) << "a family without samples";
}

// Tags open and close in order, and the text between them holds no markup of its
// own: every '<' starts a tag, every '&' an entity.
void expectWellNested(const std::string& page) {
    std::vector<std::string> open;
    const std::set<std::string> empty = {"meta", "br", "img", "link", "input"};
    for (std::size_t i = 0; i < page.size(); ++i) {
        if (page[i] == '&') {
            std::string tail = page.substr(i, 6);
            EXPECT_TRUE(tail.starts_with("&lt;") || tail.starts_with("&gt;") || tail.starts_with("&amp;") ||
                        tail.starts_with("&quot;")) << "a bare & at " << page.substr(i, 40);
        }
        EXPECT_NE(page[i], '>') << "a bare > at " << page.substr(i > 40 ? i - 40 : 0, 80);
        if (page[i] != '<') continue;
        std::size_t close = page.find('>', i);
        ASSERT_NE(close, std::string::npos);
        std::string tag = page.substr(i + 1, close - i - 1);
        i = close;
        if (tag.starts_with("!")) continue;
        if (tag.starts_with("/")) {
            ASSERT_FALSE(open.empty()) << "</" << tag;
            EXPECT_EQ(tag.substr(1), open.back());
            open.pop_back();
            continue;
        }
        std::string name = tag.substr(0, tag.find_first_of(" /"));
        EXPECT_NE(name, "script");
        if (!tag.ends_with("/") && !empty.count(name)) open.push_back(name);
    }
    EXPECT_TRUE(open.empty()) << "left open: " << (open.empty() ? "" : open.back());
}

TEST(StatusMetrics, FollowTheTextFormatAndKeepCountersExact) {
    auto v = makeView();
    expectPrometheusText(renderMetrics(*v, {1.5, 4096}));
    v->station.lastByteAgeS = 2.5;  // the one metric that comes and goes
    v->station.feedConnections = 3;
    std::string text = renderMetrics(*v, {1.5, 4096});
    expectPrometheusText(text);
    EXPECT_NE(text.find("\nbrevalink_source_bytes_total 1099511627777\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_source_last_byte_age_seconds 2.5\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_feed_reconnects_total 2\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_check_warning{check=\"no_data\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nprocess_resident_memory_bytes 4096\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_aircraft{kind=\"seen\"} 12\nbrevalink_aircraft{kind=\"with_position\"} 9\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_range_max_meters{window=\"24h\"} 345678\n"), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_modes_frames_total{df=\"17\",verdict=\"good\"} 5000\n"), std::string::npos);
    // Frames only; the other text lines have a family of their own.
    EXPECT_EQ(text.find("kind=\"line_other\""), std::string::npos);
    EXPECT_NE(text.find("\nbrevalink_text_lines_other_total 3\n"), std::string::npos);
}

TEST(StatusJson, ParsesAndHoldsTheStationInUtf8) {
    auto v = makeView();
    std::string text = renderStatusJson(*v);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << text;
    EXPECT_EQ(j["source"]["name"], "COM<3>&\"x\"");
    EXPECT_EQ(j["source"]["bytes"], (1ull << 40) + 1);
    EXPECT_EQ(j["source"]["frames"]["mode_s_long"], 65386);
    EXPECT_TRUE(j["source"]["last_byte_age_seconds"].is_null());
    EXPECT_TRUE(j["receiver_frequency_hz"]["measured"].is_null());
    EXPECT_EQ(j["uptime_seconds"], 90061);
    ASSERT_EQ(j["checks"].size(), static_cast<std::size_t>(kCheckCount));
    EXPECT_EQ(j["checks"][kCheckNoData]["name"], checkName(kCheckNoData));
    EXPECT_EQ(j["checks"][kCheckNoData]["warning"], true);
    EXPECT_EQ(j["checks"][kCheckNoData]["text"], utf8(u8"нет данных <10 с> & больше"));
    ASSERT_EQ(j["relay"]["clients"].size(), 2u);
    EXPECT_EQ(j["relay"]["clients"][1]["address"], "10.0.0.3:<6>");
    EXPECT_EQ(j["feed"]["reconnects"], 0) << "no link yet is no reconnection";
    EXPECT_EQ(j["monitor"].size(), static_cast<std::size_t>(kMonitorLines));
    EXPECT_EQ(j["status_lines"][2], utf8(u8"Приемник"));
    EXPECT_EQ(j["station"]["name"], utf8(u8"Ростов <юг>"));
    const auto& m = j["modes"];
    EXPECT_TRUE(m["range_max_meters"]["now"].is_null());
    ASSERT_EQ(m["aircraft"].size(), 2u);
    EXPECT_EQ(m["aircraft"][0]["distance_m"], 123457);
    EXPECT_EQ(m["aircraft"][0]["latitude"], 52.2572);
    EXPECT_EQ(m["aircraft"][0]["longitude"], 3.91937);
    EXPECT_EQ(m["aircraft"][1]["address"], "00ABCD");
    for (const char* unknown : {"callsign", "altitude_ft", "latitude", "longitude", "distance_m", "bearing_deg", "level"})
        EXPECT_TRUE(m["aircraft"][1][unknown].is_null()) << unknown;
}

TEST(StatusPage, EscapesTheStationsTextsAndNestsItsTags) {
    auto v = makeView();
    std::string page = renderStatusPage(*v);
    expectWellNested(page);
    EXPECT_NE(page.find(utf8(u8"COM&lt;3&gt;&amp;&quot;x&quot;: нет данных</small>")), std::string::npos)
        << "the receiver's light, in UTF-8";
    EXPECT_NE(page.find(utf8(u8"нет данных &lt;10 с&gt; &amp; больше")), std::string::npos);
    EXPECT_NE(page.find("mlat&amp;feed:0: "), std::string::npos);
    EXPECT_NE(page.find("10.0.0.3:&lt;6&gt;"), std::string::npos);
    EXPECT_NE(page.find(utf8(u8"&lt;/pre&gt;&lt;script&gt;")), std::string::npos);
    EXPECT_NE(page.find("id=\"checks\" data-state=\"yellow\""), std::string::npos);
    EXPECT_NE(page.find("id=\"coordinates\" data-state=\"green\""), std::string::npos);
    EXPECT_NE(page.find(utf8(u8"id=\"aircraft\">12 (с координатами 9)<")), std::string::npos);
    EXPECT_EQ(page.find("<polyline"), std::string::npos) << "no history, no line";
    EXPECT_NE(page.find(utf8(u8"<title>Ростов &lt;юг&gt; — brevalink</title>")), std::string::npos);
    // The aircraft list, and the coverage: one wedge per sector heard, north up,
    // rings of 100 km out to the farthest (4 rings for 346 km).
    EXPECT_NE(page.find(utf8(u8"<td>4840D6</td><td>KLM1023</td><td class=\"n\">38000</td><td class=\"n\">123</td>"
                             "<td class=\"n\">87°</td><td class=\"n\">40</td><td class=\"n\">200</td>")),
              std::string::npos);
    EXPECT_NE(page.find("<td>00ABCD</td><td></td><td class=\"n\"></td><td class=\"n\"></td><td class=\"n\"></td>"
                        "<td class=\"n\">3</td><td class=\"n\"></td><td class=\"n\">60</td>"),
              std::string::npos);
    std::size_t cover = page.find("<path class=\"cover\" d=\"");
    ASSERT_NE(cover, std::string::npos);
    std::string wedges = page.substr(cover, page.find("\"/>", cover) - cover);
    EXPECT_NE(wedges.find("M160,160L160.0,42.5A117.5,117.5 0 0 1 180.4,44.3Z"), std::string::npos) << wedges;
    EXPECT_EQ(std::count(wedges.begin(), wedges.end(), 'M'), 2);
    EXPECT_NE(page.find(utf8(u8">400 км</text>")), std::string::npos);
}

TEST(StatusPage, ChartDrawsTheNewestSecondsAtTheRightAfterTheRingWraps) {
    auto v = makeView();
    for (int i = 0; i < kFpsHistorySeconds + 390; ++i) fpsHistoryAdd(&v->history, 0);
    for (int i = 0; i < 10; ++i) fpsHistoryAdd(&v->history, 100);
    EXPECT_EQ(v->history.count, kFpsHistorySeconds);
    std::string page = renderStatusPage(*v);
    expectWellNested(page);
    std::size_t from = page.find("<polyline class=\"fps\" points=\"");
    ASSERT_NE(from, std::string::npos);
    std::string points = page.substr(from, page.find('"', page.find("points=\"", from) + 8) - from);
    EXPECT_TRUE(points.ends_with(" 717.0,260.0 719.0,4.0 ")) << points.substr(points.size() - 60);  // 100 is the top
    EXPECT_EQ(std::count(points.begin(), points.end(), ','), 360);
    EXPECT_NE(page.find("<text x=\"6\" y=\"26\">100</text>"), std::string::npos);
}

}  // namespace

// The links as the front end last heard of them: a table on the page and an
// array in status.json, each with its state, detail and age.
TEST(StatusLinks, ThePageAndTheJsonSayEachLinksLastChange) {
    auto v = makeView();
    v->nowMs = 100000;
    v->linkCount = 2;
    v->links[0] = {static_cast<int>(LinkKind::kFeed), static_cast<int>(LinkState::kConnected), "mlat:8888", "10.0.0.9", 99000};
    v->links[1] = {static_cast<int>(LinkKind::kPush), static_cast<int>(LinkState::kFailed), "hub<1>:30004",
                   "connection refused; trying again in 8 s", 100000 - 3723000};
    std::string page = renderStatusPage(*v);
    expectWellNested(page);
    EXPECT_NE(page.find(utf8(u8"<tr data-state=\"connected\"><td>Сервер MLAT</td><td>mlat:8888</td><td>связь есть: "
                             "10.0.0.9</td><td class=\"n\">0:00:01</td></tr>")),
              std::string::npos);
    EXPECT_NE(page.find(utf8(u8"<td>Передача</td><td>hub&lt;1&gt;:30004</td><td>нет связи: connection refused; trying "
                             "again in 8 s</td><td class=\"n\">1:02:03</td>")),
              std::string::npos);
    nlohmann::json j = nlohmann::json::parse(renderStatusJson(*v), nullptr, false);
    ASSERT_EQ(j["links"].size(), 2u);
    EXPECT_EQ(j["links"][1]["kind"], "push");
    EXPECT_EQ(j["links"][1]["state"], "cannot connect");
    EXPECT_EQ(j["links"][1]["seconds_since_change"], 3723);
    EXPECT_EQ(j["links"][0]["detail"], "10.0.0.9");
}
