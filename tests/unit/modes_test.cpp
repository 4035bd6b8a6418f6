// The Mode S room against frames whose content is known: the textbook frames, frames
// built here with an encoder of the test's own, and a real site's capture, whose
// positions are the truth the station coordinates check is judged by.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "modes/crc.h"
#include "modes/geo.h"
#include "modes/modes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr double kPi = 3.14159265358979323846;

Bytes hex(const char* text) {
    Bytes out;
    for (std::size_t i = 0; text[i] && text[i + 1]; i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text + i, 2), nullptr, 16)));
    return out;
}

// Completes a frame's parity: the CRC XOR `overlay` (the address of DF0/4/5/..., the
// interrogator code of DF11, zero for DF17).
Bytes sealed(Bytes f, std::uint32_t overlay = 0) {
    std::size_t n = f.size() - 3;
    std::uint32_t p = modesCrc(f.data(), static_cast<int>(n)) ^ overlay;
    for (int i = 0; i < 3; ++i) f[n + i] = static_cast<std::uint8_t>(p >> (16 - 8 * i));
    return f;
}

std::unique_ptr<ModesState> fresh() { return std::make_unique<ModesState>(); }

ModesVerdict look(ModesState& s, const Bytes& f, std::int64_t now) {
    return modesLook(s, f.data(), static_cast<int>(f.size()), 100, now);
}

// The test's own CPR encoder. NL from its transition latitudes rather than the
// product's closed form.
double transition(int nl) {
    return std::acos(std::sqrt((1 - std::cos(kPi / 30)) / (1 - std::cos(2 * kPi / nl)))) * 180 / kPi;
}
int zonesAt(double lat) {
    for (int nl = 59; nl > 1; --nl)
        if (std::fabs(lat) < transition(nl)) return nl;
    return 1;
}
double mod(double a, double b) { return a - b * std::floor(a / b); }

Bytes position(std::uint32_t icao, double lat, double lon, bool odd) {
    double dlat = 360.0 / (odd ? 59 : 60);
    double yz = std::floor(131072 * mod(lat, dlat) / dlat + 0.5);
    double rlat = dlat * (yz / 131072 + std::floor(lat / dlat));
    int ni = std::max(zonesAt(rlat) - (odd ? 1 : 0), 1);
    double dlon = 360.0 / ni;
    int xz = static_cast<int>(std::floor(131072 * mod(lon, dlon) / dlon + 0.5)) & 0x1FFFF;
    int y = static_cast<int>(yz) & 0x1FFFF;
    Bytes f = {0x8D, std::uint8_t(icao >> 16), std::uint8_t(icao >> 8), std::uint8_t(icao), 11 << 3, 0xC3,
               std::uint8_t(0x80 | (odd ? 4 : 0) | y >> 15), std::uint8_t(y >> 7), std::uint8_t(y << 1 | xz >> 16),
               std::uint8_t(xz >> 8), std::uint8_t(xz), 0, 0, 0};
    return sealed(f);
}

// A DF4 from `icao` with a 25-ft AC13 altitude, `metric` sets the M bit.
Bytes df4(std::uint32_t icao, int feet, bool metric = false) {
    unsigned n = static_cast<unsigned>((feet + 1000) / 25);
    unsigned ac = ((n & 0x7E0) << 2) | ((n & 0x10) << 1) | (n & 0x0F) | 0x10 | (metric ? 0x40 : 0);
    return sealed({4 << 3, 0, std::uint8_t(ac >> 8), std::uint8_t(ac), 0, 0, 0}, icao);
}
Bytes df11(std::uint32_t icao, std::uint32_t ic = 0) {
    return sealed({11 << 3 | 5, std::uint8_t(icao >> 16), std::uint8_t(icao >> 8), std::uint8_t(icao), 0, 0, 0}, ic);
}

const char* const kKnown[] = {"8D4840D6202CC371C32CE0576098", "8D40621D58C382D690C8AC2863A7",
                              "8D40621D58C386435CC412692AD6", "8D485020994409940838175B284F",
                              "8DA05F219B06B6AF189400CBC33F", "8D406B902015A678D4D220AA4BDA"};

TEST(ModesParity, KnownFramesAreGoodAndAnyFlippedBitIsBad) {
    for (int i = 0; i < 6; ++i) {
        Bytes f = hex(kKnown[i]);
        auto s = fresh();
        EXPECT_EQ(look(*s, f, 0), ModesVerdict::Good) << kKnown[i];
        EXPECT_NE(modesFind(*s, f[1] << 16 | f[2] << 8 | f[3]), nullptr);
        for (int bit : {i, 40 + i * 7, 111 - i}) {
            auto t = fresh();
            Bytes g = f;
            g[bit / 8] ^= 0x80 >> (bit % 8);
            // A flip in the DF field makes another format: never a good one.
            ModesVerdict v = look(*t, g, 0);
            EXPECT_EQ(v == ModesVerdict::BadParity, bit >= 5) << kKnown[i] << " bit " << bit;
            EXPECT_NE(v, ModesVerdict::Good) << kKnown[i] << " bit " << bit;
            EXPECT_EQ(modesAircraftKnown(*t), 0);
        }
    }
}

TEST(ModesParity, AddressParityCountsOnlyForAddressesConfirmedWithinAMinute) {
    auto s = fresh();
    const std::uint32_t icao = 0x4840D6;
    EXPECT_EQ(look(*s, df4(icao, 38000), 0), ModesVerdict::Unconfirmed);
    EXPECT_EQ(look(*s, df11(icao, 0x15), 1000), ModesVerdict::Good);  // the interrogator code is no error
    Bytes wrong = df11(icao, 0x80);
    EXPECT_EQ(look(*s, wrong, 1000), ModesVerdict::BadParity);
    EXPECT_EQ(look(*s, df4(icao, 38000), 2000), ModesVerdict::Good);
    EXPECT_EQ(modesFind(*s, icao)->altitudeFt, 38000);
    EXPECT_EQ(look(*s, df4(icao, 1000, true), 3000), ModesVerdict::Good);
    EXPECT_EQ(modesFind(*s, icao)->altitudeFt, 38000) << "a metric altitude is not decoded";
    EXPECT_EQ(look(*s, df4(icao, 38000), 61000), ModesVerdict::Unconfirmed);
    EXPECT_EQ(modesFind(*s, icao)->messages, 3u);

    Bytes longDf4 = hex(kKnown[0]);
    longDf4[0] = 4 << 3;
    EXPECT_EQ(look(*s, longDf4, 62000), ModesVerdict::Ignored);
    EXPECT_EQ(look(*s, Bytes{0x12, 0x34}, 62000), ModesVerdict::Ignored);
    const ModesCounts& c = modesCounts(*s);
    EXPECT_EQ(c.byDf[4][int(ModesVerdict::Unconfirmed)], 2u);
    EXPECT_EQ(c.byDf[4][int(ModesVerdict::Good)], 2u);
    EXPECT_EQ(c.byDf[11][int(ModesVerdict::BadParity)], 1u);
    EXPECT_EQ(c.byDf[4][int(ModesVerdict::Ignored)], 1u);
    EXPECT_EQ(c.wrongLength, 1u);
}

TEST(ModesDecode, CallsignAltitudeAndGlobalPosition) {
    auto s = fresh();
    look(*s, hex(kKnown[0]), 0);
    EXPECT_STREQ(modesFind(*s, 0x4840D6)->callsign, "KLM1023");
    // The textbook pair: the result lies in the newest frame's zone, so the two
    // orders give the two textbook answers.
    const double newestEven[2] = {52.2572, 3.9194}, newestOdd[2] = {52.2658, 3.9389};
    for (bool oddLast : {false, true}) {
        auto t = fresh();
        look(*t, hex(kKnown[oddLast ? 1 : 2]), 1000);
        EXPECT_FALSE(modesFind(*t, 0x40621D)->hasPosition) << "one frame makes no global fix";
        look(*t, hex(kKnown[oddLast ? 2 : 1]), 2000);
        const Aircraft* a = modesFind(*t, 0x40621D);
        ASSERT_TRUE(a->hasPosition);
        EXPECT_NEAR(a->lat, oddLast ? newestOdd[0] : newestEven[0], 1e-4);
        EXPECT_NEAR(a->lon, oddLast ? newestOdd[1] : newestEven[1], 1e-4);
        EXPECT_EQ(a->altitudeFt, 38000);
    }
}

TEST(ModesCpr, GlobalPairsDecodeAnywhereButNotAcrossAZoneBoundaryOrTenSeconds) {
    EXPECT_NEAR(transition(59), 10.47047130, 1e-7);
    const double places[][2] = {{-33.94, 151.18}, {40.64, -73.78}, {64.1, -21.9}, {1.35, 103.99}, {59.9, 30.3}};
    std::uint32_t icao = 0x100000;
    for (const auto& p : places)
        for (bool oddLast : {false, true}) {
            auto s = fresh();
            look(*s, position(icao, p[0], p[1], !oddLast), 0);
            look(*s, position(icao, p[0], p[1], oddLast), 5000);
            const Aircraft* a = modesFind(*s, icao);
            ASSERT_TRUE(a->hasPosition) << p[0] << " " << p[1];
            EXPECT_LT(geoDistanceM(a->lat, a->lon, p[0], p[1]), 10) << p[0] << " " << p[1];
        }
    double edge = transition(36);  // about 59.95 N
    auto s = fresh();
    look(*s, position(icao, edge - 0.01, 30, false), 0);
    look(*s, position(icao, edge + 0.01, 30, true), 1000);
    EXPECT_FALSE(modesFind(*s, icao)->hasPosition);
    EXPECT_EQ(modesCounts(*s).pairsRefused, 1u);
    look(*s, position(icao, 50, 30, false), 2000);
    look(*s, position(icao, 50, 30, true), 12000);
    EXPECT_FALSE(modesFind(*s, icao)->hasPosition) << "frames 10 s apart make no pair";
}

TEST(ModesCpr, LocalFixesFollowTheTrackAndAnImplausibleJumpAsksForAGlobalOne) {
    auto s = fresh();
    const std::uint32_t icao = 0xABCDEF;
    look(*s, position(icao, 59.9, 30.3, false), 0);
    look(*s, position(icao, 59.9, 30.3, true), 1000);
    look(*s, position(icao, 59.91, 30.31, false), 3000);
    const Aircraft* a = modesFind(*s, icao);
    EXPECT_EQ(modesCounts(*s).localFixes, 1u);
    EXPECT_LT(geoDistanceM(a->lat, a->lon, 59.91, 30.31), 10);
    look(*s, position(icao, 60.5, 30.31, true), 4000);  // 65 km in a second
    EXPECT_EQ(modesCounts(*s).implausibleFixes, 1u);
    EXPECT_LT(geoDistanceM(a->lat, a->lon, 59.91, 30.31), 10);
    look(*s, position(icao, 60.5, 30.32, false), 5000);  // a pair again: global, where it truly is
    EXPECT_EQ(modesCounts(*s).globalFixes, 2u);
    EXPECT_LT(geoDistanceM(a->lat, a->lon, 60.5, 30.32), 10);
}

TEST(ModesTable, HoldsAtMost4096AndForgetsAfterFiveMinutes) {
    auto s = fresh();
    for (std::uint32_t i = 0; i < 5000; ++i) look(*s, df11(0x300000 + i * 7), i);
    EXPECT_EQ(modesAircraftKnown(*s), kMaxAircraft);
    for (std::uint32_t i = 0; i < 5000; ++i)
        ASSERT_EQ(modesFind(*s, 0x300000 + i * 7) != nullptr, i >= 5000 - kMaxAircraft) << i;
    modesExpire(*s, 4500 + kForgetMs);  // the ones heard before 4500 go
    EXPECT_EQ(modesAircraftKnown(*s), 500);
    for (std::uint32_t i = 4500; i < 5000; ++i) ASSERT_NE(modesFind(*s, 0x300000 + i * 7), nullptr) << i;
    EXPECT_EQ(modesAircraftNow(*s, 4500 + kNowWindowMs - 1), 500);
    EXPECT_EQ(modesAircraftNow(*s, 4900 + kNowWindowMs), 99);
    modesExpire(*s, 5000 + kForgetMs);
    EXPECT_EQ(modesAircraftKnown(*s), 0);
}

TEST(ModesCoords, WarningTextSaysWhereAndWhichSlip) {
    CoordsVerdict v;
    v.warn = true;
    v.farthestKm = 1234;
    v.estimateLat = -33.86;
    v.estimateLon = -151.21;
    v.mistake = CoordsMistake::LatSign;
    char text[512];
    coordsWarningText(v, text, sizeof text);
    EXPECT_STREQ(text, "Координаты станции (point.ini) не сходятся с принятыми: самолеты видны за 1234 км. "
                       "Станция, по-видимому, около 33,9° ю. ш. 151,2° з. д.; знак широты, похоже, потерян");
    v.warn = false;
    EXPECT_EQ(coordsWarningText(v, text, sizeof text), 0);
}

// The real capture: binary escape frames, every Mode S frame fed at its receiver time.
class ModesCapture : public ::testing::Test {
protected:
    std::unique_ptr<ModesState> s = fresh();
    std::int64_t endMs = 0;
    double minLat = 90, maxLat = -90, minLon = 180, maxLon = -180;

    void SetUp() override {
        std::ifstream in(BREVALINK_SOURCE_DIR "/../shared/data/beast-capture-60s.bin", std::ios::binary);
        if (!in) GTEST_SKIP() << "no ../shared/data";
        Bytes raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::int64_t first = -1;
        for (std::size_t i = 0; i + 1 < raw.size();) {
            std::uint8_t type = raw[i] == 0x1A ? raw[i + 1] : 0;
            int payload = type == '1' ? 2 : type == '2' ? 7 : type == '3' ? 14 : 0;
            if (!payload) { ++i; continue; }
            Bytes body;
            std::size_t j = i + 2;
            while (j < raw.size() && body.size() < std::size_t(7 + payload)) {
                if (raw[j] == 0x1A && (j + 1 >= raw.size() || raw[++j] != 0x1A)) break;  // a frame cut short
                body.push_back(raw[j++]);
            }
            i = j;
            if (body.size() != std::size_t(7 + payload) || payload == 2) continue;
            std::int64_t stamp = 0;
            for (int k = 0; k < 6; ++k) stamp = stamp << 8 | body[k];
            if (first < 0) first = stamp;
            endMs = std::max(endMs, (stamp - first) / 12000);  // the duplicates step back; time may not
            modesLook(*s, body.data() + 7, payload, body[6], endMs);
        }
        modesForEachAircraft(*s, [&](const Aircraft& a) {
            if (!a.hasPosition) return;
            minLat = std::min(minLat, a.lat), maxLat = std::max(maxLat, a.lat);
            minLon = std::min(minLon, a.lon), maxLon = std::max(maxLon, a.lon);
        });
    }
    CoordsVerdict checkFrom(double lat, double lon) {
        modesSetStation(*s, lat, lon);
        return modesCheckCoords(*s, endMs);
    }
};

TEST_F(ModesCapture, PositionsLieWhereTheSiteIs) {
    EXPECT_EQ(modesAircraftWithPosition(*s, endMs), 11);  // the capture's ADS-B aircraft, every one
    EXPECT_GE(minLat, 59.3);
    EXPECT_LE(maxLat, 61.0);
    EXPECT_GE(minLon, 30.4);
    EXPECT_LE(maxLon, 37.3);
    EXPECT_GT(modesCounts(*s).byVerdict[int(ModesVerdict::Good)], 5000u);
    EXPECT_EQ(modesCounts(*s).implausibleFixes, 0u);
}

TEST_F(ModesCapture, CoordinatesCheckFindsAFarPointAndTheUsualSlips) {
    double lat = (minLat + maxLat) / 2, lon = (minLon + maxLon) / 2;
    CoordsVerdict v = checkFrom(lat, lon);
    EXPECT_TRUE(v.enough);
    EXPECT_FALSE(v.warn);
    v = checkFrom(47.2, 39.7);
    ASSERT_TRUE(v.warn);
    EXPECT_GT(v.farthestKm, 1300);
    EXPECT_LT(geoDistanceM(v.estimateLat, v.estimateLon, lat, lon), 50000);
    EXPECT_EQ(v.mistake, CoordsMistake::None);
    EXPECT_EQ(checkFrom(lon, lat).mistake, CoordsMistake::Swapped);
    EXPECT_EQ(checkFrom(-lat, lon).mistake, CoordsMistake::LatSign);
    EXPECT_EQ(checkFrom(lat, -lon).mistake, CoordsMistake::LonSign);
    char text[512];
    ASSERT_GT(coordsWarningText(checkFrom(lon, lat), text, sizeof text), 0);
    EXPECT_NE(std::strstr(text, "° с. ш. "), nullptr) << text;
    EXPECT_NE(std::strstr(text, "; широта и долгота, похоже, перепутаны местами"), nullptr) << text;

    // The positions outlive the aircraft table's five minutes, up to ten.
    modesExpire(*s, endMs + kForgetMs + 1);
    ASSERT_EQ(modesAircraftKnown(*s), 0);
    EXPECT_TRUE(modesCheckCoords(*s, endMs + kForgetMs + 1).warn);
    EXPECT_FALSE(modesCheckCoords(*s, endMs + kCoordsWindowMs + 60000).enough);
}

TEST_F(ModesCapture, CoverageRoundTripsItsTextAndRefusesAForeignOne) {
    double lat = (minLat + maxLat) / 2, lon = (minLon + maxLon) / 2;
    checkFrom(lat, lon);
    // The positions of the run again, now that the station has a point.
    SetUp();
    Farthest day, now;
    ASSERT_TRUE(modesFarthestDay(*s, endMs, &day));
    ASSERT_TRUE(modesFarthestNow(*s, endMs, &now));
    EXPECT_GE(day.distanceM, now.distanceM);
    EXPECT_GT(day.distanceM, 100000);

    std::vector<char> text(kCoverageTextSize);
    int n = coverageFormat(s->coverage, lat, lon, endMs, 1765300000, text.data(), kCoverageTextSize);
    ASSERT_GT(n, 0);
    auto other = fresh();
    const char* reason = nullptr;
    std::int64_t later = 9 * kHourMs;  // another run of the monotonic clock
    ASSERT_TRUE(coverageParse(other->coverage, text.data(), n, lat, lon, later, 1765300000 + 3600, &reason));
    for (int sector = 0; sector < kSectors; ++sector) {
        Farthest a{}, b{};
        EXPECT_EQ(coverageSector(s->coverage, sector, endMs, &a), coverageSector(other->coverage, sector, later, &b));
        EXPECT_EQ(a.distanceM, b.distanceM);
    }
    EXPECT_FALSE(coverageSector(other->coverage, day.sector, later + 24 * kHourMs, &day)) << "a day later it is gone";

    Coverage kept = other->coverage;
    std::string good(text.data(), n);
    for (const std::string& bad : {std::string("hello\n"), good.substr(0, n - 5), good.substr(0, n - 7),
                                   good + "cell 0 36 1 1 1\r\n", std::string()}) {
        EXPECT_FALSE(coverageParse(other->coverage, bad.data(), int(bad.size()), lat, lon, later, 1765300000, &reason));
        EXPECT_STRNE(reason, "");
    }
    EXPECT_FALSE(coverageParse(other->coverage, text.data(), n, lat + 1, lon, later, 1765300000, &reason));
    EXPECT_EQ(std::memcmp(&kept, &other->coverage, sizeof kept), 0) << "a refused text changes nothing";
}

}  // namespace
