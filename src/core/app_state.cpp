// The one AppState of the process.
#include "core/app_state.h"

#include <cstring>

AppState app;

int copyText(char* dest, int capacity, const char* source) {
    if (capacity <= 0) return 0;
    int n = 0;
    if (source) {
        while (n < capacity - 1 && source[n] != '\0') {
            dest[n] = source[n];
            ++n;
        }
    }
    dest[n] = '\0';
    return n;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void ringCopyIn(void* ring, std::size_t size, std::uint64_t at, const void* data, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(ring);
    auto* from = static_cast<const unsigned char*>(data);
    std::size_t offset = static_cast<std::size_t>(at % size);
    std::size_t first = size - offset < count ? size - offset : count;
    std::memcpy(bytes + offset, from, first);
    std::memcpy(bytes, from + first, count - first);
}
