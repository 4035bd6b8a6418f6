// The Mode S room: every Mode S frame the station receives is judged by its parity
// and counted, and a good one updates its aircraft (address, callsign, altitude,
// position), the station's distances and the coverage. The station's coordinates
// are checked against what is heard. No platform code; nothing is allocated after
// the ModesState is made (it is large: make it once, not on a stack).
// Threads: one ModesState is touched by one thread at a time, the one that feeds
// it frames; the accessors read it on that thread too.
#pragma once

#include <cstdint>

#include "modes/aircraft.h"
#include "modes/coords_check.h"
#include "modes/coverage.h"

// A DF0/4/5/16/20/21 frame's parity is its address XOR the CRC, so a corrupt frame
// reads as some other address: it counts only when that address was confirmed by
// a DF11/17/18 frame, whose parity is checked on its own, within this window.
inline constexpr std::int64_t kConfirmWindowMs = 60000;
// An aircraft not heard for this long is forgotten.
inline constexpr std::int64_t kForgetMs = 5 * 60000;
// "Now": heard within the last minute.
inline constexpr std::int64_t kNowWindowMs = 60000;
// An even and an odd frame this close in time make a global fix.
inline constexpr std::int64_t kCprPairMs = 10000;
// A local fix needs a reference at most this old: an aircraft at 0.5 km/s moves
// 150 km in that time, well inside the ~300 km half zone that local decoding needs.
inline constexpr std::int64_t kLocalReferenceMs = 5 * 60000;
// A local fix farther from the last position than an airliner can fly (0.5 km/s)
// plus this margin (the CPR grid and a late frame) is discarded.
inline constexpr double kLocalMarginM = 5000;
inline constexpr double kMaxSpeedMPerMs = 0.5;
// Positions the coordinates check uses: this recent (each track starts from a
// global fix). They outlive their aircraft's entry in the table.
inline constexpr std::int64_t kCoordsWindowMs = 10 * 60000;

enum class ModesVerdict { Good, BadParity, Unconfirmed, Ignored };
inline constexpr int kVerdicts = 4;
inline constexpr int kDownlinkFormats = 25;  // DF 0..23, and 24 for every "11..." frame

struct ModesCounts {
    std::uint64_t byDf[kDownlinkFormats][kVerdicts] = {};
    std::uint64_t byVerdict[kVerdicts] = {};
    std::uint64_t wrongLength = 0;  // neither 7 nor 14 bytes: no Mode S frame (also in Ignored)
    std::uint64_t globalFixes = 0;
    std::uint64_t localFixes = 0;
    std::uint64_t pairsRefused = 0;      // an even/odd pair across a zone boundary
    std::uint64_t implausibleFixes = 0;  // local fixes discarded for their jump
};

struct ModesState {
    ModesState();
    ModesCounts counts;
    AircraftTable aircraft;
    bool hasStation = false;
    double stationLat = 0;
    double stationLon = 0;
    Coverage coverage;
    // Each aircraft's latest position, one entry per track, taken in turn: a track
    // overwrites another's only after kMaxAircraft newer ones, far more than ten
    // minutes bring.
    RecentFix fixLog[kMaxAircraft];
    int fixNext = 0;
    int fixUsed = 0;  // entries taken so far, at most kMaxAircraft
    RecentFixes fixes;  // the coordinates check's work space
};

void modesReset(ModesState& state);
// The station's point (degrees). A point that moves takes its coverage with it.
void modesSetStation(ModesState& state, double lat, double lon);

// One frame: `len` bytes of a Mode S frame (7 or 14), its signal level 0..255 or
// -1, and the monotonic time in ms. O(1), no allocation.
ModesVerdict modesLook(ModesState& state, const std::uint8_t* msg, int len, int level, std::int64_t nowMs);
// Forgets aircraft silent for kForgetMs; call it about once a second.
void modesExpire(ModesState& state, std::int64_t nowMs);

const ModesCounts& modesCounts(const ModesState& state);
const Aircraft* modesFind(const ModesState& state, std::uint32_t icao);
int modesAircraftKnown(const ModesState& state);
// Heard within kNowWindowMs; and of those, with a position that recent.
int modesAircraftNow(const ModesState& state, std::int64_t nowMs);
int modesAircraftWithPosition(const ModesState& state, std::int64_t nowMs);
// The farthest aircraft now (position within kNowWindowMs), and over 24 hours.
bool modesFarthestNow(const ModesState& state, std::int64_t nowMs, Farthest* out);
bool modesFarthestDay(const ModesState& state, std::int64_t nowMs, Farthest* out);
// Every aircraft known, most recently heard first: `visit` is called with each.
template <typename Visit>
void modesForEachAircraft(const ModesState& state, Visit visit) {
    for (int slot = state.aircraft.newest; slot >= 0; slot = state.aircraft.slots[slot].older)
        visit(state.aircraft.slots[slot]);
}
// The stated point against the positions of the last kCoordsWindowMs.
CoordsVerdict modesCheckCoords(ModesState& state, std::int64_t nowMs);
