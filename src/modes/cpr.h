// Compact Position Reporting for airborne positions (17-bit fields): the
// longitude-zone count NL, global decoding of an even/odd pair and local decoding
// against a reference position. Pure; any thread.
#pragma once

struct LatLon {
    double lat = 0;
    double lon = 0;
};

// The number of longitude zones at a latitude (degrees), 1..59.
int cprNL(double lat);

// An even and an odd frame's fields; `oddNewest` picks the frame whose zone the
// result is given in. False when the two latitudes fall into zones of different
// NL (the aircraft crossed a zone boundary between them) or the result is no
// latitude at all.
bool cprGlobal(int evenLat, int evenLon, int oddLat, int oddLon, bool oddNewest, LatLon* out);

// One frame's fields against a position within half a zone (about 300 km) of the
// true one.
bool cprLocal(int lat, int lon, bool odd, LatLon reference, LatLon* out);
