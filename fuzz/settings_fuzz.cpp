// sources: src/config/settings.cpp src/core/app_state.cpp src/platform/posix/thread_posix.cpp src/platform/posix/net_posix.cpp src/platform/posix/serial_posix.cpp
// The settings line reader, the lenient number parsers and the checks of typed
// values on arbitrary file contents and limits: no read or write outside the
// buffers, lines never longer than their limit and never holding CR or LF, and
// nothing accepted that cannot work.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/app_state.h"
#include "config/settings.h"
#include "display/clock_annotation.h"

// The refusals' message boxes.
int uiMessageBox(int, const char*, const char*, int) { return 1; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const int kLimits[] = {127, 255, 1023};
    int limit = kLimits[data[0] % 3];
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (!f && size > 1) return 0;
    // An exact-size heap buffer, so ASan sees a write one past the limit.
    char* line = static_cast<char*>(std::malloc(limit + 1));
    line[0] = '\0';
    while (f && readLine(f, line, limit)) {
        size_t n = std::strlen(line);
        if (static_cast<int>(n) > limit) std::abort();
        if (std::strchr(line, '\r') || std::strchr(line, '\n')) std::abort();
        parseSettingInt(line);
        double d = parseSettingDouble(line);
        (void)d;
    }
    if (f) std::fclose(f);
    std::free(line);
    // The parsers on the raw bytes too, as one terminated text.
    char text[512];
    size_t n = size - 1 < sizeof text - 1 ? size - 1 : sizeof text - 1;
    std::memcpy(text, data + 1, n);
    text[n] = '\0';
    parseSettingInt(text);
    parseSettingDouble(text);
    std::uint16_t port = 0;
    if (acceptPort(text, "", &port) && port == 0) std::abort();
    double degrees = 0;
    if (acceptLatitude(text, "", &degrees) && !(degrees >= -90.0 && degrees <= 90.0)) std::abort();
    if (acceptLongitude(text, "", &degrees) && !(degrees >= -180.0 && degrees <= 180.0)) std::abort();
    acceptSpeed(text, "");
    acceptListenAddress(text, "");
    return 0;
}
