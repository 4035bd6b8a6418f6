#include "modes/geo.h"

#include <cmath>

namespace {
constexpr double kRad = 3.14159265358979323846 / 180;
}

double geoDistanceM(double lat1, double lon1, double lat2, double lon2) {
    // Haversine: well-conditioned for the short distances a receiver sees.
    double dLat = (lat2 - lat1) * kRad;
    double dLon = (lon2 - lon1) * kRad;
    double s = std::sin(dLat / 2), t = std::sin(dLon / 2);
    double h = s * s + std::cos(lat1 * kRad) * std::cos(lat2 * kRad) * t * t;
    if (h > 1) h = 1;
    return 2 * kEarthRadiusM * std::asin(std::sqrt(h));
}

double geoBearingDeg(double lat1, double lon1, double lat2, double lon2) {
    double p1 = lat1 * kRad, p2 = lat2 * kRad, dLon = (lon2 - lon1) * kRad;
    double y = std::sin(dLon) * std::cos(p2);
    double x = std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dLon);
    double deg = std::atan2(y, x) / kRad;
    if (deg < 0) deg += 360;
    if (deg >= 360) deg -= 360;
    return deg;
}
