// Exchange log line format.
#include "record/log_line.h"

#include <cstdio>

#include "core/app_state.h"

int formatLogLine(unsigned char byte, std::int32_t tick, char* out) {
    // %X of the tick's 32 bits: upper-case, no leading zeros.
    int n = std::snprintf(out, kLogLineSize, "%02X %X\r\n", static_cast<unsigned>(byte),
                          static_cast<unsigned>(tick));
    return n < kLogLineSize ? n : kLogLineSize - 1;
}

int parseLogLine(const char* line, unsigned char* byte, std::int32_t* tick) {
    int parsed = 0;

    // The byte: up to two hex digits at the very start of the line.
    int value = 0, digits = 0;
    while (digits < 2 && line[digits] != '\0') {
        int d = hexDigitValue(line[digits]);
        if (d < 0) break;
        value = value * 16 + d;
        ++digits;
    }
    if (digits > 0) {
        *byte = static_cast<unsigned char>(value);
        parsed |= 1;
    }

    // The tick starts at the fourth character; a shorter line has none. Check each
    // of the first three characters so a short line is never read past its end.
    for (int i = 0; i < 3; ++i) {
        if (line[i] == '\0') return parsed;
    }
    const char* p = line + 3;
    while (*p == ' ' || *p == '\t') ++p;
    // Ticks beyond the 32-bit signed range are held at its top rather than
    // wrapping to a negative tick that would play at once.
    std::uint64_t t = 0;
    int tickDigits = 0;
    for (int d; (d = hexDigitValue(*p)) >= 0; ++p) {
        if (t <= 0x7FFFFFFFu) t = t * 16 + static_cast<unsigned>(d);
        ++tickDigits;
    }
    if (tickDigits > 0) {
        *tick = t > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<std::int32_t>(t);
        parsed |= 2;
    }
    return parsed;
}

int readPlayLine(std::FILE* file, char* buffer, int capacity) {
    if (!file || !buffer || capacity < 2) return 0;
    if (!std::fgets(buffer, capacity, file)) return 0;
    return std::feof(file) ? 0 : 1;
}

void formatLogFileName(int year, int month, int day, int hour, int minute, int second, char* out,
                       int capacity) {
    std::snprintf(out, static_cast<std::size_t>(capacity), "%02d%02d_%02d_%02d%02d_%02d.txt", day, month,
                  year, hour, minute, second);
}
