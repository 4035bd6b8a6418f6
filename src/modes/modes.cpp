#include "modes/modes.h"

#include <algorithm>

#include "modes/cpr.h"
#include "modes/crc.h"
#include "modes/geo.h"

namespace {

constexpr char kCharset[] = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";

std::uint32_t bits24(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
}

ModesVerdict count(ModesState& s, int df, ModesVerdict v) {
    s.counts.byDf[df][static_cast<int>(v)]++;
    s.counts.byVerdict[static_cast<int>(v)]++;
    return v;
}

bool isLong(int df) { return df == 16 || df == 17 || df == 18 || df == 20 || df == 21; }
bool isShort(int df) { return df == 0 || df == 4 || df == 5 || df == 11; }

// 25 ft steps when the Q bit is set, the 11 other bits one number. Gillham-coded
// altitudes (Q clear: old encoders' 100 ft steps and heights above 50,175 ft) are
// left undecoded: rare in what a station hears, and a wrong decode is worse than none.
bool altitudeQ(unsigned n, int* feet) {
    if (n == 0) return false;
    *feet = static_cast<int>(n) * 25 - 1000;
    return true;
}

// AC13 of DF0/4/16/20: M set is metres, Q set is 25 ft steps.
bool altitudeAc13(unsigned ac, int* feet) {
    if (ac == 0 || (ac & 0x40) || !(ac & 0x10)) return false;
    return altitudeQ(((ac & 0x1F80) >> 2) | ((ac & 0x20) >> 1) | (ac & 0x0F), feet);
}

// The 12-bit altitude of an airborne position, Q at 0x10.
bool altitudeAc12(unsigned ac, int* feet) {
    if (!(ac & 0x10)) return false;
    return altitudeQ(((ac & 0xFE0) >> 1) | (ac & 0x0F), feet);
}

void setAltitude(Aircraft& a, int feet, std::int64_t nowMs) {
    a.hasAltitude = true;
    a.altitudeFt = feet;
    a.altitudeMs = nowMs;
}

void decodeCallsign(Aircraft& a, const std::uint8_t* me) {
    std::uint64_t bits = 0;
    for (int i = 1; i < 7; ++i) bits = bits << 8 | me[i];
    char name[kCallsignSize];
    int length = 0;
    for (int i = 0; i < 8; ++i) name[length++] = kCharset[(bits >> (42 - 6 * i)) & 0x3F];
    while (length > 0 && name[length - 1] == ' ') --length;
    int start = 0;
    while (start < length && name[start] == ' ') ++start;
    int n = 0;
    for (int i = start; i < length; ++i) a.callsign[n++] = name[i];
    a.callsign[n] = 0;
}

void placed(ModesState& s, Aircraft& a, LatLon p, std::int64_t nowMs) {
    a.hasPosition = true;
    a.lat = p.lat;
    a.lon = p.lon;
    a.positionMs = nowMs;
    if (a.fixSlot < 0 || s.fixLog[a.fixSlot].icao != a.icao) {
        a.fixSlot = static_cast<std::int16_t>(s.fixNext);
        s.fixNext = (s.fixNext + 1) % kMaxAircraft;
        if (s.fixUsed < kMaxAircraft) ++s.fixUsed;
    }
    s.fixLog[a.fixSlot] = RecentFix{a.icao, nowMs, p.lat, p.lon, 0, 0};
    if (!s.hasStation) return;
    a.hasDistance = true;
    a.distanceM = geoDistanceM(s.stationLat, s.stationLon, p.lat, p.lon);
    a.bearingDeg = geoBearingDeg(s.stationLat, s.stationLon, p.lat, p.lon);
    coverageAdd(s.coverage, a.bearingDeg, a.distanceM, p.lat, p.lon, nowMs);
}

void position(ModesState& s, Aircraft& a, const std::uint8_t* me, std::int64_t nowMs) {
    bool odd = (me[2] >> 2) & 1;
    int lat = (me[2] & 3) << 15 | me[3] << 7 | me[4] >> 1;
    int lon = (me[4] & 1) << 16 | me[5] << 8 | me[6];
    CprFrame& mine = odd ? a.odd : a.even;
    const CprFrame& other = odd ? a.even : a.odd;
    mine = CprFrame{true, lat, lon, nowMs};
    LatLon p;
    std::int64_t sinceLast = nowMs - a.positionMs;
    if (a.hasPosition && !a.needGlobal && sinceLast >= 0 && sinceLast <= kLocalReferenceMs) {
        if (!cprLocal(lat, lon, odd, LatLon{a.lat, a.lon}, &p)) return;
        double bound = kLocalMarginM + kMaxSpeedMPerMs * static_cast<double>(sinceLast);
        if (geoDistanceM(a.lat, a.lon, p.lat, p.lon) > bound) {
            a.needGlobal = true;
            s.counts.implausibleFixes++;
            return;
        }
        s.counts.localFixes++;
        placed(s, a, p, nowMs);
        return;
    }
    std::int64_t apart = nowMs - other.ms;
    if (!other.valid || apart < 0 || apart >= kCprPairMs) return;
    bool ok = odd ? cprGlobal(other.lat, other.lon, lat, lon, true, &p)
                  : cprGlobal(lat, lon, other.lat, other.lon, false, &p);
    if (!ok) {
        s.counts.pairsRefused++;
        return;
    }
    s.counts.globalFixes++;
    a.needGlobal = false;
    a.globalMs = nowMs;
    placed(s, a, p, nowMs);
}

void extendedSquitter(ModesState& s, Aircraft& a, const std::uint8_t* me, std::int64_t nowMs) {
    int tc = me[0] >> 3;
    if (tc >= 1 && tc <= 4) {
        decodeCallsign(a, me);
    } else if (tc >= 9 && tc <= 18) {
        int feet = 0;
        if (altitudeAc12(static_cast<unsigned>(me[1]) << 4 | me[2] >> 4, &feet)) setAltitude(a, feet, nowMs);
        position(s, a, me, nowMs);
    } else if (tc >= 20 && tc <= 22) {
        position(s, a, me, nowMs);  // its height is GNSS, not barometric: left out
    }
}

}  // namespace

ModesState::ModesState() { modesReset(*this); }

void modesReset(ModesState& s) {
    s.counts = ModesCounts{};
    aircraftReset(s.aircraft);
    s.hasStation = false;
    s.stationLat = s.stationLon = 0;
    coverageReset(s.coverage);
    for (RecentFix& f : s.fixLog) f = RecentFix{};
    s.fixNext = s.fixUsed = 0;
    s.fixes.count = 0;
}

void modesSetStation(ModesState& s, double lat, double lon) {
    if (s.hasStation && s.stationLat == lat && s.stationLon == lon) return;
    s.hasStation = true;
    s.stationLat = lat;
    s.stationLon = lon;
    coverageReset(s.coverage);
    for (Aircraft& a : s.aircraft.slots) {
        if (!a.hasPosition) continue;
        a.hasDistance = true;
        a.distanceM = geoDistanceM(lat, lon, a.lat, a.lon);
        a.bearingDeg = geoBearingDeg(lat, lon, a.lat, a.lon);
    }
}

ModesVerdict modesLook(ModesState& s, const std::uint8_t* msg, int len, int level, std::int64_t nowMs) {
    if (!msg || (len != 7 && len != 14)) {
        s.counts.wrongLength++;
        s.counts.byVerdict[static_cast<int>(ModesVerdict::Ignored)]++;
        return ModesVerdict::Ignored;
    }
    int df = msg[0] >> 3;
    if (df > 24) df = 24;
    if (!(len == 14 ? isLong(df) : isShort(df))) return count(s, df, ModesVerdict::Ignored);
    std::uint32_t syndrome = modesCrc(msg, len - 3) ^ bits24(msg + len - 3);
    Aircraft* a = nullptr;
    if (df == 17 || df == 18 || df == 11) {
        // DF11's low 7 parity bits carry the interrogator's code.
        if (syndrome & (df == 11 ? 0xFFFF80u : 0xFFFFFFu)) return count(s, df, ModesVerdict::BadParity);
        // DF18 with CF other than 0 carries a non-ICAO or TIS-B address: no aircraft of ours.
        if (df == 18 && (msg[0] & 7) != 0) return count(s, df, ModesVerdict::Good);
        a = aircraftAdd(s.aircraft, bits24(msg + 1), nowMs);
        a->confirmedMs = nowMs;
    } else {
        a = aircraftFind(s.aircraft, syndrome);
        if (!a || nowMs - a->confirmedMs >= kConfirmWindowMs || nowMs < a->confirmedMs)
            return count(s, df, ModesVerdict::Unconfirmed);
    }
    aircraftHeard(s.aircraft, *a, nowMs);
    a->messages++;
    a->level = level >= 0 && level <= 255 ? level : -1;
    if (df == 17 || df == 18) {
        extendedSquitter(s, *a, msg + 4, nowMs);
    } else if (df == 0 || df == 4 || df == 16 || df == 20) {
        int feet = 0;
        if (altitudeAc13(static_cast<unsigned>(msg[2] & 0x1F) << 8 | msg[3], &feet)) setAltitude(*a, feet, nowMs);
    }
    return count(s, df, ModesVerdict::Good);
}

void modesExpire(ModesState& s, std::int64_t nowMs) { aircraftForgetBefore(s.aircraft, nowMs - kForgetMs); }

const ModesCounts& modesCounts(const ModesState& s) { return s.counts; }

const Aircraft* modesFind(const ModesState& s, std::uint32_t icao) { return aircraftFind(s.aircraft, icao); }

int modesAircraftKnown(const ModesState& s) { return s.aircraft.count; }

int modesAircraftNow(const ModesState& s, std::int64_t nowMs) {
    int n = 0;
    for (int slot = s.aircraft.newest; slot >= 0; slot = s.aircraft.slots[slot].older, ++n)
        if (nowMs - s.aircraft.slots[slot].lastSeenMs >= kNowWindowMs) break;
    return n;
}

namespace {
// The list runs from the most recently heard, so the walk stops at the first one
// not heard now.
template <typename Visit>
void forEachNow(const ModesState& s, std::int64_t nowMs, Visit visit) {
    for (int slot = s.aircraft.newest; slot >= 0; slot = s.aircraft.slots[slot].older) {
        const Aircraft& a = s.aircraft.slots[slot];
        if (nowMs - a.lastSeenMs >= kNowWindowMs) break;
        if (a.hasPosition && nowMs - a.positionMs < kNowWindowMs) visit(a);
    }
}
}  // namespace

int modesAircraftWithPosition(const ModesState& s, std::int64_t nowMs) {
    int n = 0;
    forEachNow(s, nowMs, [&](const Aircraft&) { ++n; });
    return n;
}

bool modesFarthestNow(const ModesState& s, std::int64_t nowMs, Farthest* out) {
    bool any = false;
    forEachNow(s, nowMs, [&](const Aircraft& a) {
        if (!a.hasDistance || (any && a.distanceM <= out->distanceM)) return;
        *out = Farthest{static_cast<int>(a.distanceM), static_cast<int>(a.bearingDeg / 10), a.lat, a.lon};
        any = true;
    });
    return any;
}

bool modesFarthestDay(const ModesState& s, std::int64_t nowMs, Farthest* out) {
    return coverageFarthest(s.coverage, nowMs, out);
}

CoordsVerdict modesCheckCoords(ModesState& s, std::int64_t nowMs) {
    RecentFixes& f = s.fixes;
    f.count = 0;
    for (int i = 0; i < s.fixUsed; ++i) {
        const RecentFix& fix = s.fixLog[i];
        if (fix.ms <= nowMs && nowMs - fix.ms <= kCoordsWindowMs) f.fix[f.count++] = fix;
    }
    // An aircraft forgotten and heard again has started a second entry: its newest counts.
    std::sort(f.fix, f.fix + f.count, [](const RecentFix& a, const RecentFix& b) {
        return a.icao != b.icao ? a.icao < b.icao : a.ms > b.ms;
    });
    int unique = 0;
    for (int i = 0; i < f.count; ++i)
        if (unique == 0 || f.fix[unique - 1].icao != f.fix[i].icao) f.fix[unique++] = f.fix[i];
    f.count = unique;
    if (!s.hasStation) return CoordsVerdict{};
    return checkStationCoords(f, s.stationLat, s.stationLon);
}
