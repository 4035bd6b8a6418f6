// sources: src/modes/aircraft.cpp src/modes/coords_check.cpp src/modes/coverage.cpp src/modes/cpr.cpp src/modes/crc.cpp src/modes/geo.cpp src/modes/modes.cpp
// The Mode S room on arbitrary frames: lengths and bytes at random, times that
// also step back, the station's point and the coordinates check between them, and
// the coverage's text parsed from the input. Nothing may crash, read or write out
// of bounds, and the table never holds more than it may.
#include <cstdint>
#include <cstring>
#include <memory>

#include "modes/crc.h"
#include "modes/modes.h"

namespace {
ModesState& state() {
    static std::unique_ptr<ModesState> s = std::make_unique<ModesState>();
    return *s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ModesState& s = state();
    std::int64_t now = 0;
    std::size_t i = 0;
    while (i < size) {
        std::uint8_t op = data[i++];
        int len = op & 0x0F;  // 0..15: the two good lengths and every wrong one
        if (op >= 0xF0 && i + 2 <= size) {
            modesSetStation(s, (data[i] - 128) * 0.7, (data[i + 1] - 128) * 1.4);
            CoordsVerdict v = modesCheckCoords(s, now);
            char text[512];
            coordsWarningText(v, text, sizeof text);
            i += 2;
            continue;
        }
        if (op >= 0xE0) {
            const char* reason = "";
            coverageParse(s.coverage, reinterpret_cast<const char*>(data + i), static_cast<int>(size - i),
                          s.stationLat, s.stationLon, now, 1765300000, &reason);
            static char out[kCoverageTextSize];
            coverageFormat(s.coverage, s.stationLat, s.stationLon, now, 1765300000, out, sizeof out);
            break;
        }
        now += (op >> 4) * 700 - 1400;  // steps back as well as on
        if (static_cast<std::size_t>(len) > size - i) len = static_cast<int>(size - i);
        std::uint8_t frame[16];
        std::memcpy(frame, data + i, len);
        i += len;
        // Most random frames fail their parity: this bit seals it, with the newest
        // aircraft's address under it when the next says so, so that decoding runs too.
        if ((op & 0x40) && len > 3) {
            std::uint32_t under = (op & 0x20) && s.aircraft.newest >= 0 ? s.aircraft.slots[s.aircraft.newest].icao : 0;
            std::uint32_t p = modesCrc(frame, len - 3) ^ under;
            frame[len - 3] = p >> 16, frame[len - 2] = p >> 8 & 0xFF, frame[len - 1] = p & 0xFF;
        }
        modesLook(s, frame, len, op & 0x80 ? -1 : op, now);
        if (modesAircraftKnown(s) > kMaxAircraft) __builtin_trap();
    }
    modesExpire(s, now);
    Farthest f;
    modesFarthestNow(s, now, &f);
    modesFarthestDay(s, now, &f);
    return 0;
}
