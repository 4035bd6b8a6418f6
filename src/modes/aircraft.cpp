#include "modes/aircraft.h"

namespace {

constexpr int kMask = kAircraftIndexSize - 1;
static_assert((kAircraftIndexSize & kMask) == 0 && kAircraftIndexSize >= 2 * kMaxAircraft);

int home(std::uint32_t icao) { return static_cast<int>((icao * 0x9E3779B1u) >> 19) & kMask; }

int findPlace(const AircraftTable& t, std::uint32_t icao) {
    for (int i = home(icao);; i = (i + 1) & kMask) {
        int slot = t.index[i];
        if (slot < 0 || t.slots[slot].icao == icao) return i;
    }
}

void unlink(AircraftTable& t, int slot) {
    Aircraft& a = t.slots[slot];
    if (a.newer >= 0) t.slots[a.newer].older = a.older;
    else t.newest = a.older;
    if (a.older >= 0) t.slots[a.older].newer = a.newer;
    else t.oldest = a.newer;
    a.newer = a.older = -1;
}

void linkNewest(AircraftTable& t, int slot) {
    Aircraft& a = t.slots[slot];
    a.older = t.newest;
    a.newer = -1;
    if (t.newest >= 0) t.slots[t.newest].newer = static_cast<std::int16_t>(slot);
    t.newest = static_cast<std::int16_t>(slot);
    if (t.oldest < 0) t.oldest = static_cast<std::int16_t>(slot);
}

// Linear probing's deletion without tombstones: later entries of the run move back
// into the hole when their home does not lie between the hole and them.
void unindex(AircraftTable& t, std::uint32_t icao) {
    int hole = findPlace(t, icao);
    if (t.index[hole] < 0) return;
    for (int j = (hole + 1) & kMask; t.index[j] >= 0; j = (j + 1) & kMask) {
        int k = home(t.slots[t.index[j]].icao);
        bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
        if (stays) continue;
        t.index[hole] = t.index[j];
        hole = j;
    }
    t.index[hole] = -1;
}

void forget(AircraftTable& t, int slot) {
    unindex(t, t.slots[slot].icao);
    unlink(t, slot);
    t.slots[slot] = Aircraft{};
    t.freeSlots[t.freeCount++] = static_cast<std::int16_t>(slot);
    --t.count;
}

}  // namespace

void aircraftReset(AircraftTable& t) {
    for (auto& a : t.slots) a = Aircraft{};
    for (auto& i : t.index) i = -1;
    t.newest = t.oldest = -1;
    // Slot 0 on top, so that a table fills from its start.
    for (int i = 0; i < kMaxAircraft; ++i) t.freeSlots[i] = static_cast<std::int16_t>(kMaxAircraft - 1 - i);
    t.freeCount = kMaxAircraft;
    t.count = 0;
    t.evicted = 0;
}

Aircraft* aircraftFind(AircraftTable& t, std::uint32_t icao) {
    int slot = t.index[findPlace(t, icao)];
    return slot < 0 ? nullptr : &t.slots[slot];
}

const Aircraft* aircraftFind(const AircraftTable& t, std::uint32_t icao) {
    int slot = t.index[findPlace(t, icao)];
    return slot < 0 ? nullptr : &t.slots[slot];
}

Aircraft* aircraftAdd(AircraftTable& t, std::uint32_t icao, std::int64_t nowMs) {
    if (Aircraft* known = aircraftFind(t, icao)) return known;
    if (t.freeCount == 0) {
        forget(t, t.oldest);
        ++t.evicted;
    }
    int slot = t.freeSlots[--t.freeCount];
    Aircraft& a = t.slots[slot];
    a = Aircraft{};
    a.icao = icao;
    a.firstSeenMs = a.lastSeenMs = nowMs;
    t.index[findPlace(t, icao)] = static_cast<std::int16_t>(slot);
    linkNewest(t, slot);
    ++t.count;
    return &a;
}

void aircraftHeard(AircraftTable& t, Aircraft& a, std::int64_t nowMs) {
    int slot = static_cast<int>(&a - t.slots);
    a.lastSeenMs = nowMs;
    if (t.newest == slot) return;
    unlink(t, slot);
    linkNewest(t, slot);
}

int aircraftForgetBefore(AircraftTable& t, std::int64_t cutoffMs) {
    int gone = 0;
    while (t.oldest >= 0 && t.slots[t.oldest].lastSeenMs < cutoffMs) {
        forget(t, t.oldest);
        ++gone;
    }
    return gone;
}
