// The station's coverage: the farthest position heard in each 10-degree sector of
// bearing, kept per hour for 24 hours so that the day rolls, and its text form for
// a small file (format and parse only; the caller writes and reads the file).
// Owned by its ModesState: the thread that feeds frames.
#pragma once

#include <cstdint>

inline constexpr int kSectors = 36;
inline constexpr int kCoverageHours = 24;
inline constexpr std::int64_t kHourMs = 3600000;

struct CoverageCell {
    std::int64_t hour = 0;  // the monotonic hour (nowMs / kHourMs) it belongs to
    int distanceM = -1;     // -1: nothing heard in that hour and sector
    int latE6 = 0;          // the position, micro-degrees
    int lonE6 = 0;
};

struct Coverage {
    CoverageCell cells[kCoverageHours][kSectors];
};

struct Farthest {
    int distanceM = 0;
    int sector = 0;  // bearing / 10
    double lat = 0;
    double lon = 0;
};

void coverageReset(Coverage& coverage);
void coverageAdd(Coverage& coverage, double bearingDeg, double distanceM, double lat, double lon,
                 std::int64_t nowMs);
// The farthest in one sector, or in all of them, over the last 24 hours; false when
// nothing was heard there.
bool coverageSector(const Coverage& coverage, int sector, std::int64_t nowMs, Farthest* out);
bool coverageFarthest(const Coverage& coverage, std::int64_t nowMs, Farthest* out);

// The text: a header, the station's point, the wall-clock time of writing (Unix
// seconds: the monotonic clock does not survive a restart) and one line per cell
// with its age in hours, CR LF line ends. Returns the length, or -1 when `capacity`
// is too small (kCoverageTextSize always suffices).
inline constexpr int kCoverageTextSize = 64 * 1024;
int coverageFormat(const Coverage& coverage, double stationLat, double stationLon, std::int64_t nowMs,
                   std::int64_t unixSeconds, char* out, int capacity);
// Replaces `coverage` with the text's cells, aged by the wall-clock time since it
// was written. A malformed text, or one written for another station point, is
// refused with a reason (Russian, for the journal) and changes nothing.
bool coverageParse(Coverage& coverage, const char* text, int length, double stationLat, double stationLon,
                   std::int64_t nowMs, std::int64_t unixSeconds, const char** reason);
