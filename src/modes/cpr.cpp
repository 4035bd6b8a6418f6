#include "modes/cpr.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kScale = 131072.0;  // 2^17
constexpr int kZones = 15;           // NZ: latitude zones per hemisphere quarter

// The result of a modulo is kept non-negative, as the decoding formulas assume.
double modulo(double x, double y) {
    double r = std::fmod(x, y);
    return r < 0 ? r + y : r;
}

}  // namespace

int cprNL(double lat) {
    lat = std::fabs(lat);
    if (lat == 0) return 59;
    if (lat == 87) return 2;
    if (lat > 87) return 1;
    double a = 1 - std::cos(kPi / (2 * kZones));
    double c = std::cos(kPi / 180 * lat);
    double nl = std::floor(2 * kPi / std::acos(1 - a / (c * c)));
    return nl < 1 ? 1 : nl > 59 ? 59 : static_cast<int>(nl);
}

bool cprGlobal(int evenLat, int evenLon, int oddLat, int oddLon, bool oddNewest, LatLon* out) {
    constexpr double kEvenHeight = 360.0 / 60;
    constexpr double kOddHeight = 360.0 / 59;
    double j = std::floor((59 * evenLat - 60 * oddLat) / kScale + 0.5);
    double latEven = kEvenHeight * (modulo(j, 60) + evenLat / kScale);
    double latOdd = kOddHeight * (modulo(j, 59) + oddLat / kScale);
    if (latEven >= 270) latEven -= 360;
    if (latOdd >= 270) latOdd -= 360;
    if (latEven < -90 || latEven > 90 || latOdd < -90 || latOdd > 90) return false;
    int nl = cprNL(latEven);
    if (nl != cprNL(latOdd)) return false;
    double lat = oddNewest ? latOdd : latEven;
    int zones = nl - (oddNewest ? 1 : 0);
    if (zones < 1) zones = 1;
    double m = std::floor((evenLon * (nl - 1) - oddLon * nl) / kScale + 0.5);
    double lon = 360.0 / zones * (modulo(m, zones) + (oddNewest ? oddLon : evenLon) / kScale);
    if (lon >= 180) lon -= 360;
    out->lat = lat;
    out->lon = lon;
    return true;
}

bool cprLocal(int latField, int lonField, bool odd, LatLon reference, LatLon* out) {
    double height = 360.0 / (odd ? 59 : 60);
    double y = latField / kScale;
    double j = std::floor(reference.lat / height) +
               std::floor(0.5 + modulo(reference.lat, height) / height - y);
    double lat = height * (j + y);
    if (lat < -90 || lat > 90) return false;
    int zones = cprNL(lat) - (odd ? 1 : 0);
    if (zones < 1) zones = 1;
    double width = 360.0 / zones;
    double x = lonField / kScale;
    double m = std::floor(reference.lon / width) + std::floor(0.5 + modulo(reference.lon, width) / width - x);
    double lon = width * (m + x);
    if (lon >= 180) lon -= 360;
    if (lon < -180) lon += 360;
    out->lat = lat;
    out->lon = lon;
    return true;
}
