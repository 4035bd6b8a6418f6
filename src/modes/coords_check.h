// Does the station's stated point fit the positions it hears? A receiver hears
// aircraft some hundreds of km around itself, so aircraft far beyond that say the
// point is wrong, and the smallest circle around the positions says roughly where
// the station really is. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "modes/aircraft.h"

// Aircraft beyond this from the stated point do not fit it: a ground receiver's
// horizon for aircraft at cruise altitude is some 400-450 km.
inline constexpr double kCoordsFarM = 600000;
// At least this many aircraft with a position before anything is said.
inline constexpr int kCoordsMinAircraft = 5;
// This many beyond kCoordsFarM make a warning: one could be a freak reception.
inline constexpr int kCoordsMinFar = 2;

// An aircraft's latest position. x and y are the check's own work space.
struct RecentFix {
    std::uint32_t icao = 0;
    std::int64_t ms = 0;
    double lat = 0;
    double lon = 0;
    double x = 0;
    double y = 0;
};

// Recent positions, one per aircraft.
struct RecentFixes {
    int count = 0;
    RecentFix fix[kMaxAircraft];
};

enum class CoordsMistake { None, Swapped, LatSign, LonSign };

struct CoordsVerdict {
    bool enough = false;  // enough aircraft to judge
    bool warn = false;
    int farthestKm = 0;   // the farthest position from the stated point
    double estimateLat = 0;  // the centre of the smallest circle around the positions
    double estimateLon = 0;
    CoordsMistake mistake = CoordsMistake::None;  // a usual slip whose correction fits
};

// Reorders the fixes (a fixed shuffle keeps the circle's search linear on average).
CoordsVerdict checkStationCoords(RecentFixes& fixes, double stationLat, double stationLon);
// The Russian warning ("" when there is none); returns its length, or -1 when the
// capacity is too small (512 always suffices).
int coordsWarningText(const CoordsVerdict& verdict, char* out, int capacity);
