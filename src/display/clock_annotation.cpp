// Receiver-clock annotation. showRecordLine runs on the decoder's thread (the serial
// reader); keys '4', '5' and kCmdRelativeTime flip the flags on the main thread. The
// reference (clockRefReceiver, clockRefComputer) is written by the decoder's thread
// only; the main thread asks for a new one by clearing clockRefTaken.
#include "display/clock_annotation.h"

#include <cstdint>
#include <cstdio>

#include "core/app_state.h"
#include "display/display.h"

namespace {

// Reads up to `width` hex digits from text, stopping at the first other character
// (the terminator included). No digits read gives 0. Returns the characters the
// field covered, so the caller never steps past the terminator.
std::uint64_t readHexField(const char* text, int width, int* consumed) {
    std::uint64_t value = 0;
    int i = 0;
    bool stopped = false;
    for (; i < width && text[i] != '\0'; ++i) {
        int d = hexDigitValue(text[i]);
        if (d < 0) stopped = true;
        if (!stopped) value = value * 16 + static_cast<std::uint64_t>(d);
    }
    *consumed = i;
    return value;
}

// The receiver count of an "@" line: characters 1-4 the high part, 5-12 the low
// part. A line with no hex digits there counts as 0.
std::uint64_t receiverCount(const char* line) {
    int used = 0;
    std::uint64_t high = readHexField(line + 1, 4, &used);
    std::uint64_t low = 0;
    if (used == 4) low = readHexField(line + 5, 8, &used);
    return (high << 32) + low;
}

}  // namespace

void showRecordLine(const char* line) {
    if (!app.showLines.load()) return;
    std::int32_t frequency = app.timerFrequency.load();
    // A frequency of 0 gives no receiver time at all: such lines go out as they came.
    if (!app.relativeTime.load() || line[0] != '@' || frequency == 0) {
        displayLine(line, kDisplayStore);
        return;
    }
    std::uint64_t t = receiverCount(line);
    if (!app.clockRefTaken.load()) {
        app.clockRefComputer = calendarSeconds();
        app.clockRefReceiver = t;
        app.clockRefTaken.store(1);
    }
    std::int64_t p = calendarSeconds() - app.clockRefComputer;
    std::int64_t diff = static_cast<std::int64_t>(t - app.clockRefReceiver);
    std::int64_t r = diff / static_cast<std::int64_t>(static_cast<std::uint32_t>(frequency));

    char out[kRingSlotSize];
    if (r >= 3600) {
        std::int32_t r32 = static_cast<std::int32_t>(r);
        std::int32_t p32 = static_cast<std::int32_t>(p);
        std::snprintf(out, sizeof out, "прм = %d:%02d:%02d  комп = %d:%02d:%02d     %s", r32 / 3600,
                      (r32 % 3600) / 60, r32 % 60, p32 / 3600, (p32 % 3600) / 60, p32 % 60, line);
    } else if (r >= 60) {
        std::int32_t r32 = static_cast<std::int32_t>(r);
        std::int32_t p32 = static_cast<std::int32_t>(p);
        std::snprintf(out, sizeof out, "прм = %02d:%02d  комп = %02d:%02d     %s", r32 / 60, r32 % 60, p32 / 60,
                      p32 % 60, line);
    } else {
        std::snprintf(out, sizeof out, "прм = %.0f  комп = %.0f     %s", static_cast<double>(r),
                      static_cast<double>(p), line);
    }
    displayLine(out, kDisplayStore);
}

void onShowLinesKey() { app.showLines = 1 - app.showLines.load(); }

void onRelativeTimeKey() { onRelativeTimeCommand(); }

int onRelativeTimeCommand() {
    if (app.relativeTime.load()) {
        app.relativeTime = 0;
        return 0;
    }
    app.clockRefTaken = 0;
    app.relativeTime = 1;
    return 1;
}
