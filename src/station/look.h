// The station's Mode S look: every Mode S frame the decoder cuts (binary '2' and
// '3' frames, '@' and '*' lines of 14 or 28 hex digits) goes to one ModesState,
// which judges, counts and tracks; the station takes its figures from here once a
// second for the snapshot and the coordinates check, and keeps the coverage in a
// file of its own across restarts.
//
// Where it runs: on the source's reader, inline, because it costs less than the
// decoder already does there. Measured in one run (RelWithDebInfo, the real
// 60-second capture handed on in 3,000-byte blocks, best of 7 rounds): the
// reader's parse, decoding and counting took 9.1-9.3 us of CPU per kB without
// the look and 12.5-12.9 with it, so the look costs some 3.5 us per kB: 0.1 % of
// a core at 300 kB/s (a full 3 Mbaud line), 0.02 % at a busy site's 68 kB/s. A
// queue to a thread of its own would cost a copy and a wake-up per block to save
// less.
//
// Threads: the reader calls lookFrame; the main thread the rest. The ModesState
// is guarded by a lock that the reader holds for one frame's modesLook and the
// main thread for bounded work (expiry, the figures, the check, the coverage's
// text), never across a wait, a file or a peer.
#pragma once

#include <cstdint>

#include "modes/aircraft.h"
#include "modes/modes.h"

// The aircraft the status bodies list: the most recently heard first.
inline constexpr int kLookListed = 64;
// The coverage file beside the settings files.
inline constexpr char kCoverageFileName[] = "coverage.txt";
// The coverage is written at most this often (and at shutdown).
inline constexpr std::int64_t kCoverageSaveMs = 60000;

struct LookAircraft {
    std::uint32_t icao;
    char callsign[kCallsignSize];  // "" until heard
    int hasAltitude;
    int altitudeFt;
    int hasDistance;
    double distanceM;
    double bearingDeg;
    std::uint32_t messages;
    int level;      // the last frame's signal level, -1 none (text lines)
    double ageS;    // since its last frame
    int hasPosition;
    double lat, lon;  // its last position, degrees
};

// The verdicts counted per DF, in this order: good, bad parity, unconfirmed.
inline constexpr int kLookVerdicts = 3;

struct LookFigures {
    int aircraftNow;           // heard within the last minute
    int withPosition;          // ... with a position that recent
    int farthestNowM;          // -1 none
    int farthestDayM;          // over 24 h; -1 none
    int sectorDayM[kSectors];  // the coverage: the farthest in each 10-degree sector over 24 h; -1 none
    std::uint64_t byDf[kDownlinkFormats][kLookVerdicts];
    int listed;                // the first `listed` of aircraft are used
    LookAircraft aircraft[kLookListed];
};

// Start: the station's point from point.ini, the coverage file read (bad or
// foreign content said and ignored), the decoder wired to lookFrame. Main thread,
// before the source's reader starts; it also starts the look afresh (tests).
void lookStart();
// One Mode S frame: 7 or 14 bytes and the signal level 0..255, -1 none. The
// source's reader; never waits but for the main thread's brief hold of the lock.
void lookFrame(const unsigned char* msg, int length, int level);
// Once a second from the station's tick: the point followed (a reload or the
// dialog's OK), the silent aircraft forgotten, the coverage written when a minute
// has passed since the last write. lookTickAt takes the time, for tests.
void lookTick();
void lookTickAt(std::int64_t nowMs);
// Shutdown: the coverage written once more.
void lookStop();
// The coordinates check: 1 and the warning's text when the point does not fit
// what is heard; 0 and "" otherwise. Main thread.
int lookCoordsWarning(std::int64_t nowMs, char* out, int capacity);
// The figures now. Main thread.
void lookFigures(std::int64_t nowMs, LookFigures* out);
// Mode S frames whose parity checked, since the start: a number that grows while
// a receiver is heard. Main thread.
std::uint64_t lookGoodFrames();
