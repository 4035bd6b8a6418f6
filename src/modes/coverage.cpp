#include "modes/coverage.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kHeader[] = "brevalink coverage 1";
// Points this close (micro-degrees, about 1 km) are the same station.
constexpr std::int64_t kSamePointE6 = 10000;

std::int64_t hourOf(std::int64_t ms) { return ms >= 0 ? ms / kHourMs : -((-ms + kHourMs - 1) / kHourMs); }

int toE6(double deg) { return static_cast<int>(std::lround(deg * 1e6)); }

bool fresh(const CoverageCell& c, std::int64_t nowHour) {
    return c.distanceM >= 0 && c.hour <= nowHour && c.hour > nowHour - kCoverageHours;
}

// A line's fields: whole numbers separated by single spaces, after a keyword.
struct Cursor {
    const char* p;
    const char* end;
    bool word(const char* w) {
        std::size_t n = std::strlen(w);
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, w, n) != 0) return false;
        p += n;
        return true;
    }
    bool number(std::int64_t lo, std::int64_t hi, std::int64_t* out) {
        if (p == end || *p != ' ') return false;
        ++p;
        bool minus = p != end && *p == '-';
        if (minus) ++p;
        if (p == end || *p < '0' || *p > '9') return false;
        std::int64_t v = 0;
        for (; p != end && *p >= '0' && *p <= '9'; ++p) {
            v = v * 10 + (*p - '0');
            if (v > 1000000000000LL) return false;
        }
        if (minus) v = -v;
        if (v < lo || v > hi) return false;
        *out = v;
        return true;
    }
    bool lineEnd() {
        if (p != end && *p == '\r') ++p;
        if (p == end || *p != '\n') return false;
        ++p;
        return true;
    }
};

}  // namespace

void coverageReset(Coverage& c) {
    for (auto& hour : c.cells)
        for (auto& cell : hour) cell = CoverageCell{};
}

void coverageAdd(Coverage& c, double bearingDeg, double distanceM, double lat, double lon, std::int64_t nowMs) {
    int sector = static_cast<int>(bearingDeg / 10);
    if (sector < 0 || sector >= kSectors || !(distanceM >= 0) || distanceM > 2e7) return;
    std::int64_t hour = hourOf(nowMs);
    CoverageCell& cell = c.cells[((hour % kCoverageHours) + kCoverageHours) % kCoverageHours][sector];
    if (cell.hour != hour) cell = CoverageCell{hour, -1, 0, 0};
    int d = static_cast<int>(distanceM);
    if (d <= cell.distanceM) return;
    cell.distanceM = d;
    cell.latE6 = toE6(lat);
    cell.lonE6 = toE6(lon);
}

bool coverageSector(const Coverage& c, int sector, std::int64_t nowMs, Farthest* out) {
    if (sector < 0 || sector >= kSectors) return false;
    std::int64_t nowHour = hourOf(nowMs);
    const CoverageCell* best = nullptr;
    for (const auto& hour : c.cells) {
        const CoverageCell& cell = hour[sector];
        if (fresh(cell, nowHour) && (!best || cell.distanceM > best->distanceM)) best = &cell;
    }
    if (!best) return false;
    *out = Farthest{best->distanceM, sector, best->latE6 / 1e6, best->lonE6 / 1e6};
    return true;
}

bool coverageFarthest(const Coverage& c, std::int64_t nowMs, Farthest* out) {
    bool any = false;
    for (int s = 0; s < kSectors; ++s) {
        Farthest f;
        if (coverageSector(c, s, nowMs, &f) && (!any || f.distanceM > out->distanceM)) {
            *out = f;
            any = true;
        }
    }
    return any;
}

int coverageFormat(const Coverage& c, double stationLat, double stationLon, std::int64_t nowMs,
                   std::int64_t unixSeconds, char* out, int capacity) {
    std::int64_t nowHour = hourOf(nowMs);
    int used = std::snprintf(out, capacity, "%s\r\nstation %d %d\r\nwritten %lld\r\n", kHeader, toE6(stationLat),
                             toE6(stationLon), static_cast<long long>(unixSeconds));
    if (used < 0 || used >= capacity) return -1;
    for (const auto& hour : c.cells)
        for (int s = 0; s < kSectors; ++s) {
            const CoverageCell& cell = hour[s];
            if (!fresh(cell, nowHour)) continue;
            int n = std::snprintf(out + used, capacity - used, "cell %d %d %d %d %d\r\n",
                                  static_cast<int>(nowHour - cell.hour), s, cell.distanceM, cell.latE6, cell.lonE6);
            if (n < 0 || n >= capacity - used) return -1;
            used += n;
        }
    int n = std::snprintf(out + used, capacity - used, "end\r\n");
    if (n < 0 || n >= capacity - used) return -1;
    return used + n;
}

bool coverageParse(Coverage& target, const char* text, int length, double stationLat, double stationLon,
                   std::int64_t nowMs, std::int64_t unixSeconds, const char** reason) {
    Coverage parsed;  // about 20 KB: the target changes only once the whole text is read
    Cursor in{text, text + (length > 0 ? length : 0)};
    std::int64_t lat = 0, lon = 0, written = 0;
    if (!in.word(kHeader) || !in.lineEnd()) {
        *reason = "не файл покрытия";
        return false;
    }
    if (!in.word("station") || !in.number(-90000000, 90000000, &lat) || !in.number(-180000000, 180000000, &lon) ||
        !in.lineEnd() || !in.word("written") || !in.number(0, 1LL << 40, &written) || !in.lineEnd()) {
        *reason = "испорчен заголовок файла покрытия";
        return false;
    }
    if (std::llabs(lat - toE6(stationLat)) > kSamePointE6 || std::llabs(lon - toE6(stationLon)) > kSamePointE6) {
        *reason = "файл покрытия записан для другой точки станции";
        return false;
    }
    std::int64_t nowHour = hourOf(nowMs);
    // The hours the program was off age the cells too; a clock set back ages nothing.
    std::int64_t offHours = unixSeconds > written ? (unixSeconds - written) / 3600 : 0;
    for (;;) {
        if (in.word("end")) {
            if (!in.lineEnd() || in.p != in.end) break;
            target = parsed;
            return true;
        }
        std::int64_t age = 0, sector = 0, distance = 0, cellLat = 0, cellLon = 0;
        if (!in.word("cell") || !in.number(0, kCoverageHours - 1, &age) || !in.number(0, kSectors - 1, &sector) ||
            !in.number(0, 20000000, &distance) || !in.number(-90000000, 90000000, &cellLat) ||
            !in.number(-180000000, 180000000, &cellLon) || !in.lineEnd())
            break;
        std::int64_t hour = nowHour - age - offHours;
        if (hour <= nowHour - kCoverageHours) continue;
        CoverageCell& cell = parsed.cells[((hour % kCoverageHours) + kCoverageHours) % kCoverageHours][sector];
        if (cell.hour != hour) cell = CoverageCell{hour, -1, 0, 0};
        if (distance > cell.distanceM)
            cell = CoverageCell{hour, static_cast<int>(distance), static_cast<int>(cellLat), static_cast<int>(cellLon)};
    }
    *reason = "испорчена строка файла покрытия";
    return false;
}
