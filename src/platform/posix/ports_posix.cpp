// The serial ports Linux has: /sys/class/tty entries with a device behind them,
// their USB identity from the device's ancestors in sysfs, and the names udev
// gives them in /dev/serial/by-id.
//
// Left out: the kernel's console ports (/sys/class/tty/console/active; a search
// must not change the speed of the line someone logs in on) and the built-in
// UART slots the 8250 driver keeps without a UART behind them (type 0).
// BREVALINK_DEVICE_ROOT, for tests only, puts another folder in front of /sys and
// /dev, so that a test can build the tree a machine with adapters would have.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kMaxListed = 128;

void copy(char* out, std::size_t capacity, const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(out, text, n);
    out[n] = '\0';
}

// The first line of a small sysfs file, without its line end; "" when unreadable.
void readSmall(const char* path, char* out, std::size_t capacity) {
    out[0] = '\0';
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;
    if (std::fgets(out, static_cast<int>(capacity), f)) out[std::strcspn(out, "\r\n")] = '\0';
    std::fclose(f);
}

// A name among the blank-separated words of list.
bool listed(const char* list, const char* name) {
    std::size_t n = std::strlen(name);
    for (const char* p = list; *p;) {
        while (*p == ' ') ++p;
        std::size_t w = std::strcspn(p, " ");
        if (w == n && std::strncmp(p, name, n) == 0) return true;
        p += w;
    }
    return false;
}

// The USB device above a tty's device in sysfs (the first ancestor with an
// idVendor): "usb VVVV:PPPP SERIAL", the serial number left out when it has none.
void usbIdentity(const char* ttyDir, char* out, std::size_t capacity) {
    out[0] = '\0';
    char link[PATH_MAX + 16], dir[PATH_MAX];
    if (std::snprintf(link, sizeof link, "%s/device", ttyDir) >= static_cast<int>(sizeof link) || !realpath(link, dir))
        return;
    for (int up = 0; up < 6; ++up) {
        char file[PATH_MAX + 32], vendor[16], product[16], serial[128];
        std::snprintf(file, sizeof file, "%s/idVendor", dir);
        readSmall(file, vendor, sizeof vendor);
        if (vendor[0]) {
            std::snprintf(file, sizeof file, "%s/idProduct", dir);
            readSmall(file, product, sizeof product);
            std::snprintf(file, sizeof file, "%s/serial", dir);
            readSmall(file, serial, sizeof serial);
            std::snprintf(out, capacity, "usb %s:%s%s%s", vendor, product, serial[0] ? " " : "", serial);
            return;
        }
        char* slash = std::strrchr(dir, '/');
        if (!slash || slash == dir) return;
        *slash = '\0';
    }
}

// "ttyUSB2" before "ttyUSB10": digits compare as numbers.
bool naturalLess(const char* a, const char* b) {
    while (*a && *b) {
        if (*a >= '0' && *a <= '9' && *b >= '0' && *b <= '9') {
            unsigned long x = std::strtoul(a, const_cast<char**>(&a), 10);
            unsigned long y = std::strtoul(b, const_cast<char**>(&b), 10);
            if (x != y) return x < y;
            continue;
        }
        if (*a != *b) return *a < *b;
        ++a, ++b;
    }
    return *a == 0 && *b != 0;
}

}  // namespace

int serialListPorts(SerialPortInfo* out, int capacity) {
    if (!out || capacity <= 0) return 0;
    const char* root = std::getenv("BREVALINK_DEVICE_ROOT");
    if (!root) root = "";
    char classDir[PATH_MAX], console[256];
    std::snprintf(classDir, sizeof classDir, "%s/sys/class/tty", root);
    char path[PATH_MAX + 300];
    std::snprintf(path, sizeof path, "%s/console/active", classDir);
    readSmall(path, console, sizeof console);

    char names[kMaxListed][64];
    int count = 0;
    if (DIR* d = opendir(classDir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || count >= kMaxListed || std::strlen(e->d_name) >= sizeof names[0]) continue;
            std::snprintf(path, sizeof path, "%s/%s/device", classDir, e->d_name);
            if (access(path, F_OK) != 0 || listed(console, e->d_name)) continue;
            if (std::strncmp(e->d_name, "ttyS", 4) == 0) {
                char type[16];
                std::snprintf(path, sizeof path, "%s/%s/type", classDir, e->d_name);
                readSmall(path, type, sizeof type);
                if (std::strcmp(type, "0") == 0) continue;
            }
            copy(names[count++], sizeof names[0], e->d_name);
        }
        closedir(d);
    }
    // Sorted by index: rows of a char array cannot be moved by std::sort.
    int order[kMaxListed];
    for (int i = 0; i < count; ++i) order[i] = i;
    std::sort(order, order + count, [&names](int a, int b) { return naturalLess(names[a], names[b]); });

    int written = 0;
    for (int k = 0; k < count && written < capacity; ++k) {
        const char* name = names[order[k]];
        SerialPortInfo& p = out[written++];
        std::snprintf(p.name, sizeof p.name, "%s/dev/%s", root, name);
        char ttyDir[PATH_MAX + 80];
        std::snprintf(ttyDir, sizeof ttyDir, "%s/%s", classDir, name);
        usbIdentity(ttyDir, p.identity, sizeof p.identity);
        p.byId[0] = '\0';
    }

    // udev's by-id links point at ../../ttyXXX: the link's last part names the tty.
    char byIdDir[PATH_MAX];
    std::snprintf(byIdDir, sizeof byIdDir, "%s/dev/serial/by-id", root);
    if (DIR* d = opendir(byIdDir)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[PATH_MAX];
            std::snprintf(path, sizeof path, "%s/%s", byIdDir, e->d_name);
            ssize_t n = readlink(path, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            const char* base = std::strrchr(target, '/');
            base = base ? base + 1 : target;
            for (int i = 0; i < written; ++i) {
                const char* tty = std::strrchr(out[i].name, '/') + 1;
                if (std::strcmp(tty, base) == 0 && !out[i].byId[0]) copy(out[i].byId, sizeof out[i].byId, path);
            }
        }
        closedir(d);
    }
    return written;
}
