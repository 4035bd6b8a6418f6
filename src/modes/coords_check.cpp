#include "modes/coords_check.h"

#include <cmath>
#include <cstdio>

#include "modes/geo.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRad = kPi / 180;

struct Circle {
    double x = 0, y = 0, r = -1;
    bool holds(double px, double py) const {
        return std::hypot(px - x, py - y) <= r * (1 + 1e-9) + 1e-3;  // a millimetre for rounding
    }
};

Circle fromTwo(double ax, double ay, double bx, double by) {
    return {(ax + bx) / 2, (ay + by) / 2, std::hypot(ax - bx, ay - by) / 2};
}

Circle fromThree(double ax, double ay, double bx, double by, double cx, double cy) {
    double bxr = bx - ax, byr = by - ay, cxr = cx - ax, cyr = cy - ay;
    double d = 2 * (bxr * cyr - byr * cxr);
    if (std::fabs(d) < 1e-6) {
        // In a line: the circle over the two farthest apart.
        Circle c = fromTwo(ax, ay, bx, by);
        Circle e = fromTwo(ax, ay, cx, cy);
        Circle f = fromTwo(bx, by, cx, cy);
        if (e.r > c.r) c = e;
        if (f.r > c.r) c = f;
        return c;
    }
    double b2 = bxr * bxr + byr * byr, c2 = cxr * cxr + cyr * cyr;
    double ux = (cyr * b2 - byr * c2) / d, uy = (bxr * c2 - cxr * b2) / d;
    return {ax + ux, ay + uy, std::hypot(ux, uy)};
}

double wrap180(double deg) {
    while (deg >= 180) deg -= 360;
    while (deg < -180) deg += 360;
    return deg;
}

int farCount(const RecentFixes& f, double lat, double lon, double* farthestM) {
    int far = 0;
    *farthestM = 0;
    for (int i = 0; i < f.count; ++i) {
        double d = geoDistanceM(lat, lon, f.fix[i].lat, f.fix[i].lon);
        if (d > kCoordsFarM) ++far;
        if (d > *farthestM) *farthestM = d;
    }
    return far;
}

// The positions' mean direction from the Earth's centre: a projection centre that
// also holds across the date line.
void centreOf(const RecentFixes& f, double* lat0, double* lon0) {
    double sx = 0, sy = 0, sz = 0;
    for (int i = 0; i < f.count; ++i) {
        double p = f.fix[i].lat * kRad, l = f.fix[i].lon * kRad;
        sx += std::cos(p) * std::cos(l);
        sy += std::cos(p) * std::sin(l);
        sz += std::sin(p);
    }
    *lat0 = std::atan2(sz, std::hypot(sx, sy)) / kRad;
    *lon0 = std::atan2(sy, sx) / kRad;
}

// The smallest enclosing circle's centre on a sinusoidal projection about the
// positions' centre: its distortion over the few hundred km a station hears is
// well under the 50 km the estimate is meant for.
void enclosingCentre(RecentFixes& f, double* lat, double* lon) {
    double lat0 = 0, lon0 = 0;
    centreOf(f, &lat0, &lon0);
    RecentFix* p = f.fix;
    for (int i = 0; i < f.count; ++i) {
        p[i].y = (p[i].lat - lat0) * kRad * kEarthRadiusM;
        p[i].x = wrap180(p[i].lon - lon0) * kRad * kEarthRadiusM * std::cos(p[i].lat * kRad);
    }
    // Welzl's incremental form; the shuffle makes its expected time linear.
    std::uint32_t seed = 12345;
    for (int i = f.count - 1; i > 0; --i) {
        seed = seed * 1664525u + 1013904223u;
        int j = static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(i + 1));
        RecentFix t = p[i];
        p[i] = p[j];
        p[j] = t;
    }
    Circle c{p[0].x, p[0].y, 0};
    for (int i = 1; i < f.count; ++i) {
        if (c.holds(p[i].x, p[i].y)) continue;
        c = Circle{p[i].x, p[i].y, 0};
        for (int j = 0; j < i; ++j) {
            if (c.holds(p[j].x, p[j].y)) continue;
            c = fromTwo(p[i].x, p[i].y, p[j].x, p[j].y);
            for (int k = 0; k < j; ++k)
                if (!c.holds(p[k].x, p[k].y)) c = fromThree(p[i].x, p[i].y, p[j].x, p[j].y, p[k].x, p[k].y);
        }
    }
    *lat = lat0 + c.y / (kRad * kEarthRadiusM);
    double cosLat = std::cos(*lat * kRad);
    *lon = wrap180(lon0 + (cosLat > 1e-6 ? c.x / (kRad * kEarthRadiusM * cosLat) : 0));
}

// "59,9° с. ш." and the like: a decimal comma whatever the locale.
int writeDegrees(char* out, int capacity, double value, const char* plus, const char* minus) {
    long tenths = std::lround(std::fabs(value) * 10);
    return std::snprintf(out, capacity, "%ld,%ld° %s", tenths / 10, tenths % 10, value < 0 ? minus : plus);
}

}  // namespace

CoordsVerdict checkStationCoords(RecentFixes& fixes, double stationLat, double stationLon) {
    CoordsVerdict v;
    if (fixes.count < kCoordsMinAircraft) return v;
    v.enough = true;
    double farthest = 0;
    int far = farCount(fixes, stationLat, stationLon, &farthest);
    v.farthestKm = static_cast<int>(std::lround(farthest / 1000));
    if (far < kCoordsMinFar) return v;
    v.warn = true;
    enclosingCentre(fixes, &v.estimateLat, &v.estimateLon);
    struct Candidate {
        CoordsMistake mistake;
        double lat, lon;
    } candidates[] = {
        {CoordsMistake::Swapped, stationLon, stationLat},
        {CoordsMistake::LatSign, -stationLat, stationLon},
        {CoordsMistake::LonSign, stationLat, -stationLon},
    };
    for (const Candidate& c : candidates) {
        if (c.lat < -90 || c.lat > 90) continue;
        double ignored = 0;
        if (farCount(fixes, c.lat, c.lon, &ignored) < kCoordsMinFar) {
            v.mistake = c.mistake;
            break;
        }
    }
    return v;
}

int coordsWarningText(const CoordsVerdict& v, char* out, int capacity) {
    if (capacity < 1) return -1;
    out[0] = 0;
    if (!v.warn) return 0;
    char lat[32], lon[32];
    writeDegrees(lat, sizeof lat, v.estimateLat, "с. ш.", "ю. ш.");
    writeDegrees(lon, sizeof lon, v.estimateLon, "в. д.", "з. д.");
    const char* hint = v.mistake == CoordsMistake::Swapped   ? "; широта и долгота, похоже, перепутаны местами"
                       : v.mistake == CoordsMistake::LatSign ? "; знак широты, похоже, потерян"
                       : v.mistake == CoordsMistake::LonSign ? "; знак долготы, похоже, потерян"
                                                             : "";
    int n = std::snprintf(out, capacity,
                          "Координаты станции (point.ini) не сходятся с принятыми: самолеты видны за %d км. "
                          "Станция, по-видимому, около %s %s%s",
                          v.farthestKm, lat, lon, hint);
    if (n < 0 || n >= capacity) {
        out[0] = 0;
        return -1;
    }
    return n;
}
