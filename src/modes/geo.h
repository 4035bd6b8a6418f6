// Great-circle distance and initial bearing on a spherical Earth. Pure; any thread.
#pragma once

inline constexpr double kEarthRadiusM = 6371008.8;  // the mean radius

double geoDistanceM(double lat1, double lon1, double lat2, double lon2);
// From the first point towards the second, degrees clockwise from north, [0, 360).
double geoBearingDeg(double lat1, double lon1, double lat2, double lon2);
