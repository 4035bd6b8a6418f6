// The aircraft table: at most kMaxAircraft aircraft in a fixed array, found by
// ICAO address through an open-addressing index, and kept in a list from the most
// to the least recently heard, so that expiry and the choice of whom a full table
// gives up are O(1) per aircraft. Nothing is allocated after construction.
// Owned by its ModesState: whichever thread feeds frames, one at a time.
#pragma once

#include <cstdint>

inline constexpr int kMaxAircraft = 4096;
// Twice the aircraft, so that probes stay short even with the table full.
inline constexpr int kAircraftIndexSize = 8192;
inline constexpr int kCallsignSize = 9;  // eight characters and the zero

// One frame's CPR fields.
struct CprFrame {
    bool valid = false;
    int lat = 0;
    int lon = 0;
    std::int64_t ms = 0;
};

struct Aircraft {
    std::uint32_t icao = 0;
    std::int64_t firstSeenMs = 0;
    std::int64_t lastSeenMs = 0;
    std::int64_t confirmedMs = 0;  // the last good DF11/17/18 frame
    std::uint32_t messages = 0;
    int level = -1;  // the last frame's signal level 0..255, -1 none
    char callsign[kCallsignSize] = {};
    bool hasAltitude = false;
    int altitudeFt = 0;
    std::int64_t altitudeMs = 0;
    bool hasPosition = false;
    double lat = 0;
    double lon = 0;
    std::int64_t positionMs = 0;
    std::int64_t globalMs = 0;  // the last global fix, which every track starts from
    bool needGlobal = true;     // no position yet, or the last local one was implausible
    CprFrame even;
    CprFrame odd;
    bool hasDistance = false;  // distance and bearing from the station, once it has a point
    double distanceM = 0;
    double bearingDeg = 0;
    std::int16_t fixSlot = -1;  // its entry in the ModesState's log of recent fixes
    // The recency list, slot numbers, -1 at its ends.
    std::int16_t newer = -1;
    std::int16_t older = -1;
};

struct AircraftTable {
    Aircraft slots[kMaxAircraft];
    std::int16_t index[kAircraftIndexSize];  // a slot number, -1 free
    std::int16_t newest = -1;
    std::int16_t oldest = -1;
    std::int16_t freeSlots[kMaxAircraft];  // a stack of unused slot numbers
    int freeCount = 0;
    int count = 0;
    std::uint32_t evicted = 0;  // aircraft given up for a new one while full
};

void aircraftReset(AircraftTable& table);
Aircraft* aircraftFind(AircraftTable& table, std::uint32_t icao);
const Aircraft* aircraftFind(const AircraftTable& table, std::uint32_t icao);
// A new aircraft heard now, the newest in the list. A full table gives up its
// least recently heard aircraft for it: a new arrival is worth more than one gone
// quiet, and at 4,096 that one has been silent far longer than any in sight.
Aircraft* aircraftAdd(AircraftTable& table, std::uint32_t icao, std::int64_t nowMs);
// Heard again now: to the front of the list.
void aircraftHeard(AircraftTable& table, Aircraft& aircraft, std::int64_t nowMs);
// Forgets every aircraft last heard before `cutoffMs`; returns how many.
int aircraftForgetBefore(AircraftTable& table, std::int64_t cutoffMs);
