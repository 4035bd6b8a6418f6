// A USB serial adapter's identity from a Windows device instance ID. Portable
// (no OS header), so that the native tests try it; only the Windows layer calls it.
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Four hex digits after key ("VID_"), lower-cased as Linux's sysfs writes them.
bool hexField(const char* text, const char* end, const char* key, char* out) {
    std::size_t k = std::strlen(key);
    for (const char* p = text; p + k + 4 <= end; ++p) {
        if (std::strncmp(p, key, k) != 0) continue;
        for (int i = 0; i < 4; ++i) {
            char c = p[k + i];
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
            out[i] = c;
        }
        out[4] = '\0';
        return true;
    }
    return false;
}

}  // namespace

int usbIdentityFromInstanceId(const char* id, char* out, int capacity) {
    if (!out || capacity <= 0) return 0;
    out[0] = '\0';
    if (!id) return 0;
    // USB\VID_0403&PID_6001\A50285BI: the bus, the hardware part, the instance.
    // FTDIBUS\VID_0403+PID_6001+A50285BIA\0000: FTDI's own driver, whose serial
    // number carries the chip's port letter (so the two ports of a dual chip
    // stay apart) and whose instance part is a counter.
    bool usb = std::strncmp(id, "USB\\", 4) == 0;
    bool ftdi = std::strncmp(id, "FTDIBUS\\", 8) == 0;
    if (!usb && !ftdi) return 0;
    const char* hardware = id + (usb ? 4 : 8);
    const char* hardwareEnd = std::strchr(hardware, '\\');
    if (!hardwareEnd) hardwareEnd = hardware + std::strlen(hardware);
    char vendor[5], product[5];
    if (!hexField(hardware, hardwareEnd, "VID_", vendor) || !hexField(hardware, hardwareEnd, "PID_", product)) return 0;
    const char* serial = "";
    std::size_t serialLength = 0;
    if (usb && *hardwareEnd == '\\') {
        // A device without a serial number gets an instance made up by Windows
        // from where it is plugged in ("6&2b3f1c0a&0&2"): no identity of its own.
        serial = hardwareEnd + 1;
        serialLength = std::strlen(serial);
        if (std::strchr(serial, '&') || std::strstr(hardware, "&MI_")) serialLength = 0;
    } else if (ftdi) {
        const char* plus = std::strchr(std::strstr(hardware, "PID_"), '+');
        if (plus && plus < hardwareEnd) {
            serial = plus + 1;
            serialLength = static_cast<std::size_t>(hardwareEnd - serial);
        }
    }
    int n = std::snprintf(out, static_cast<std::size_t>(capacity), "usb %s:%s%s%.*s", vendor, product,
                          serialLength ? " " : "", static_cast<int>(serialLength), serial);
    if (n < 0 || n >= capacity) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}
