// sources: src/record/log_line.cpp src/core/app_state.cpp src/platform/posix/thread_posix.cpp
// A playback file of any content: the line reader and the log-line parser never
// read or write outside their buffers, a malformed line keeps the previous byte
// and tick, and every line the recorder writes parses back to what it wrote.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record/log_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!f) return 0;
    char line[1024];
    unsigned char byte = 0x5A;
    std::int32_t tick = 7;
    while (readPlayLine(f, line, sizeof line)) {
        size_t n = std::strlen(line);
        if (n > 1023) std::abort();
        // An exact-size heap copy, so ASan sees any read past the terminator.
        char* exact = static_cast<char*>(std::malloc(n + 1));
        std::memcpy(exact, line, n + 1);
        unsigned char before = byte;
        std::int32_t tickBefore = tick;
        int parsed = parseLogLine(exact, &byte, &tick);
        if (!(parsed & 1) && byte != before) std::abort();
        if (!(parsed & 2) && tick != tickBefore) std::abort();
        if (tick < 0) std::abort();
        std::free(exact);
    }
    std::fclose(f);

    // Round trip of what the recorder writes.
    if (size >= 5) {
        unsigned char b = data[0];
        std::int32_t t;
        std::memcpy(&t, data + 1, 4);
        if (t < 0) t = -(t + 1);
        char text[kLogLineSize];
        int length = formatLogLine(b, t, text);
        if (length < 6 || text[length - 2] != '\r' || text[length - 1] != '\n') std::abort();
        unsigned char gotByte = static_cast<unsigned char>(b + 1);
        std::int32_t gotTick = -1;
        if (parseLogLine(text, &gotByte, &gotTick) != 3 || gotByte != b || gotTick != t) std::abort();
    }
    return 0;
}
