// The station's Mode S look (see look.h for where it runs and why).
#include "station/look.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/app_state.h"
#include "core/frontend.h"

namespace {

// About a megabyte: made once with the program, never on a stack.
ModesState state;
TextLock lock;  // guards state

// Main thread only.
std::int64_t tickedMs = 0;       // the last turn of lookTickAt
std::int64_t savedMs = 0;        // the last write of the coverage file, or the start
Coverage saved;                  // what the file holds, so that an unchanged one is not written again
bool savedValid = false;
bool saveFailureTold = false;
char text[kCoverageTextSize];    // the file's text, read and written

double degrees(double arcSeconds) { return arcSeconds / 3600.0; }

// Under the lock.
void followStation() {
    modesSetStation(state, degrees(app.receiverLat.load()), degrees(app.receiverLon.load()));
}

void readCoverageFile(std::int64_t nowMs) {
    char path[kPathSize + 64];
    settingsPath(kCoverageFileName, path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;  // a first start, or a station that never heard a position
    int length = static_cast<int>(std::fread(text, 1, sizeof text, f));
    bool whole = std::feof(f) != 0 && !std::ferror(f);
    std::fclose(f);
    const char* reason = "слишком большой или не читается";
    bool taken = false;
    if (whole && length < static_cast<int>(sizeof text)) {
        TextGuard guard(lock);
        taken = coverageParse(state.coverage, text, length, state.stationLat, state.stationLon, nowMs,
                              calendarSeconds(), &reason);
        if (taken) saved = state.coverage;
        savedValid = taken;
    }
    if (taken) return;
    char notice[kNameSize + 64];
    std::snprintf(notice, sizeof notice, "%s не принят (%s): покрытие собирается заново", kCoverageFileName, reason);
    uiNotice(notice);
}

void writeCoverageFile(std::int64_t nowMs) {
    savedMs = nowMs;
    int length;
    {
        TextGuard guard(lock);
        if (savedValid && std::memcmp(&saved, &state.coverage, sizeof saved) == 0) return;
        length = coverageFormat(state.coverage, state.stationLat, state.stationLon, nowMs, calendarSeconds(), text,
                                sizeof text);
        if (length < 0) return;
        saved = state.coverage;
        savedValid = true;
    }
    int ok = writeSettingsText(kCoverageFileName, text, length);
    if (ok) saveFailureTold = false;
    if (ok || saveFailureTold) return;
    // Tried again at the next minute; said once until it works.
    savedValid = false;
    saveFailureTold = true;
    char notice[kNameSize];
    std::snprintf(notice, sizeof notice, "Не удалось записать %s", kCoverageFileName);
    uiNotice(notice);
}

}  // namespace

void lookStart() {
    std::int64_t now = monotonicMs();
    {
        TextGuard guard(lock);
        modesReset(state);
        followStation();
        // The file is written only once something is heard: a station that hears
        // nothing (or a program started for a minute) leaves no file behind.
        saved = state.coverage;
        savedValid = true;
    }
    savedMs = tickedMs = now;
    saveFailureTold = false;
    readCoverageFile(now);
    app.modesFrameSink.store(lookFrame);
}

void lookFrame(const unsigned char* msg, int length, int level) {
    std::int64_t now = monotonicMs();
    TextGuard guard(lock);
    modesLook(state, msg, length, level, now);
}

void lookTick() { lookTickAt(monotonicMs()); }

void lookTickAt(std::int64_t nowMs) {
    if (nowMs - tickedMs < 1000 && nowMs >= tickedMs) return;
    tickedMs = nowMs;
    {
        TextGuard guard(lock);
        followStation();
        modesExpire(state, nowMs);
    }
    if (nowMs - savedMs >= kCoverageSaveMs) writeCoverageFile(nowMs);
}

void lookStop() {
    if (app.modesFrameSink.load() != lookFrame) return;  // never started
    writeCoverageFile(monotonicMs());
}

int lookCoordsWarning(std::int64_t nowMs, char* out, int capacity) {
    CoordsVerdict verdict;
    {
        TextGuard guard(lock);
        followStation();
        verdict = modesCheckCoords(state, nowMs);
    }
    return coordsWarningText(verdict, out, capacity) > 0;
}

std::uint64_t lookGoodFrames() {
    TextGuard guard(lock);
    return modesCounts(state).byVerdict[static_cast<int>(ModesVerdict::Good)];
}

void lookFigures(std::int64_t nowMs, LookFigures* out) {
    std::memset(out, 0, sizeof *out);
    TextGuard guard(lock);
    out->aircraftNow = modesAircraftNow(state, nowMs);
    out->withPosition = modesAircraftWithPosition(state, nowMs);
    Farthest far;
    out->farthestNowM = modesFarthestNow(state, nowMs, &far) ? far.distanceM : -1;
    out->farthestDayM = modesFarthestDay(state, nowMs, &far) ? far.distanceM : -1;
    for (int sector = 0; sector < kSectors; ++sector)
        out->sectorDayM[sector] = coverageSector(state.coverage, sector, nowMs, &far) ? far.distanceM : -1;
    const ModesCounts& counts = modesCounts(state);
    for (int df = 0; df < kDownlinkFormats; ++df)
        for (int v = 0; v < kLookVerdicts; ++v) out->byDf[df][v] = counts.byDf[df][v];
    // The list runs from the most recently heard: the walk ends after kLookListed.
    for (int slot = state.aircraft.newest; slot >= 0 && out->listed < kLookListed;
         slot = state.aircraft.slots[slot].older) {
        const Aircraft& a = state.aircraft.slots[slot];
        LookAircraft& l = out->aircraft[out->listed++];
        l.icao = a.icao;
        std::memcpy(l.callsign, a.callsign, sizeof l.callsign);
        l.hasAltitude = a.hasAltitude;
        l.altitudeFt = a.altitudeFt;
        l.hasDistance = a.hasDistance && a.hasPosition;
        l.distanceM = a.distanceM;
        l.bearingDeg = a.bearingDeg;
        l.messages = a.messages;
        l.level = a.level;
        l.ageS = static_cast<double>(nowMs - a.lastSeenMs) / 1000.0;
        l.hasPosition = a.hasPosition;
        l.lat = a.lat;
        l.lon = a.lon;
    }
}
