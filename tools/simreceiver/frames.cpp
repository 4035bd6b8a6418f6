// Frames of the simulated receiver.
#include "frames.h"

#include <cstdio>
#include <cstring>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char typeForLength(int length) {
    switch (length) {
        case 2: return '1';
        case 7: return '2';
        case 14: return '3';
        default: return 0;
    }
}

int lengthForType(unsigned char type) {
    switch (type) {
        case '1': return 2;
        case '2': return 7;
        case '3': return 14;
        default: return 0;
    }
}

bool frameFromHex(const char* hex, int digits, SimFrame* f) {
    if (digits % 2 != 0) return false;
    int length = digits / 2;
    char type = typeForLength(length);
    if (!type) return false;
    for (int i = 0; i < length; ++i) {
        int hi = hexValue(hex[2 * i]), lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        f->payload[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    f->length = length;
    f->type = type;
    return true;
}

// One text line without its end: "*HEX;" or "@" + 12 timestamp digits + "HEX;".
bool parseTextLine(const std::string& line, SimFrame* f) {
    if (line.empty() || (line[0] != '*' && line[0] != '@')) return false;
    std::size_t end = line.find(';');
    if (end == std::string::npos) end = line.size();
    const char* hex = line.c_str() + 1;
    int digits = static_cast<int>(end) - 1;
    if (line[0] == '@') {
        if (digits < 12) return false;
        std::uint64_t ts = 0;
        for (int i = 0; i < 12; ++i) {
            int v = hexValue(hex[i]);
            if (v < 0) return false;
            ts = ts * 16 + static_cast<std::uint64_t>(v);
        }
        f->timestamp = ts;
        f->hasTimestamp = true;
        hex += 12;
        digits -= 12;
    }
    return frameFromHex(hex, digits, f);
}

std::vector<SimFrame> parseBinary(const std::string& bytes) {
    std::vector<SimFrame> frames;
    std::size_t i = 0, n = bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i + 1 < n) {
        if (at(i) != 0x1A || lengthForType(at(i + 1)) == 0) {
            ++i;
            continue;
        }
        int length = lengthForType(at(i + 1));
        std::uint8_t body[7 + 14];
        int want = 7 + length, got = 0;
        std::size_t k = i + 2;
        bool broken = false;
        while (got < want && k < n) {
            unsigned char b = at(k);
            if (b == 0x1A) {
                if (k + 1 < n && at(k + 1) == 0x1A) {
                    k += 2;
                } else {
                    broken = true;  // a new frame starts inside this one
                    break;
                }
            } else {
                ++k;
            }
            body[got++] = b;
        }
        if (broken || got < want) {
            i = k;
            continue;
        }
        SimFrame f;
        f.type = static_cast<char>(at(i + 1));
        f.timestamp = 0;
        for (int b = 0; b < 6; ++b) f.timestamp = (f.timestamp << 8) | body[b];
        f.hasTimestamp = true;
        f.signal = body[6];
        f.length = length;
        std::memcpy(f.payload, body + 7, static_cast<std::size_t>(length));
        frames.push_back(f);
        i = k;
    }
    return frames;
}

const char* const kLongFrames[] = {
    "8D4840D6202CC371C32CE0576098", "8D40621D58C382D690C8AC2863A7", "8D40621D58C386435CC412692AD6",
    "8D485020994409940838175B284F", "8DA05F219B06B6AF189400CBC33F", "8D406B902015A678D4D220AA4BDA",
};

}  // namespace

std::uint32_t modesCrc(const std::uint8_t* data, int bits) {
    std::uint32_t crc = 0;
    for (int i = 0; i < bits; ++i) {
        std::uint32_t in = (data[i / 8] >> (7 - i % 8)) & 1u;
        std::uint32_t top = (crc >> 23) & 1u;
        crc = (crc << 1) & 0xFFFFFFu;
        if (in ^ top) crc ^= 0xFFF409u;
    }
    return crc;
}

bool parityValid(const SimFrame& f) {
    if (f.length < 7) return true;
    int bits = f.length * 8 - 24;
    std::uint32_t parity = (static_cast<std::uint32_t>(f.payload[f.length - 3]) << 16) |
                           (static_cast<std::uint32_t>(f.payload[f.length - 2]) << 8) | f.payload[f.length - 1];
    return modesCrc(f.payload, bits) == parity;
}

std::vector<SimFrame> builtinFrames() {
    std::vector<SimFrame> frames;
    std::uint8_t level = 0x58;
    for (const char* hex : kLongFrames) {
        SimFrame f;
        frameFromHex(hex, static_cast<int>(std::strlen(hex)), &f);
        f.signal = level;
        level = static_cast<std::uint8_t>(level + 0x1B);
        frames.push_back(f);
        // The same aircraft's all-call reply (DF11, capability 5, interrogator 0).
        SimFrame s;
        s.type = '2';
        s.length = 7;
        s.payload[0] = 0x5D;
        std::memcpy(s.payload + 1, f.payload + 1, 3);
        std::uint32_t crc = modesCrc(s.payload, 32);
        s.payload[4] = static_cast<std::uint8_t>(crc >> 16);
        s.payload[5] = static_cast<std::uint8_t>(crc >> 8);
        s.payload[6] = static_cast<std::uint8_t>(crc);
        s.signal = static_cast<std::uint8_t>(level ^ 0x35);
        frames.push_back(s);
    }
    return frames;
}

std::vector<SimFrame> parseCapture(const std::string& bytes) {
    std::size_t first = bytes.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && (bytes[first] == '*' || bytes[first] == '@')) {
        std::vector<SimFrame> frames;
        std::size_t start = 0;
        while (start < bytes.size()) {
            std::size_t end = bytes.find_first_of("\r\n", start);
            if (end == std::string::npos) end = bytes.size();
            SimFrame f;
            if (parseTextLine(bytes.substr(start, end - start), &f)) frames.push_back(f);
            start = end + 1;
        }
        return frames;
    }
    return parseBinary(bytes);
}

void appendBinary(const SimFrame& f, std::uint64_t timestamp, std::string& out) {
    out += static_cast<char>(0x1A);
    out += f.type;
    auto put = [&](std::uint8_t b) {
        out += static_cast<char>(b);
        if (b == 0x1A) out += static_cast<char>(0x1A);
    };
    for (int i = 5; i >= 0; --i) put(static_cast<std::uint8_t>(timestamp >> (8 * i)));
    put(f.signal);
    for (int i = 0; i < f.length; ++i) put(f.payload[i]);
}

void appendAtLine(const SimFrame& f, std::uint64_t timestamp, std::string& out) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "@%012llX", static_cast<unsigned long long>(timestamp & 0xFFFFFFFFFFFFULL));
    for (int i = 0; i < f.length; ++i) n += std::snprintf(line + n, sizeof line - n, "%02X", f.payload[i]);
    out.append(line, static_cast<std::size_t>(n));
    out += ";\r\n";
}

void appendStarLine(const SimFrame& f, std::string& out) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "*");
    for (int i = 0; i < f.length; ++i) n += std::snprintf(line + n, sizeof line - n, "%02X", f.payload[i]);
    out.append(line, static_cast<std::size_t>(n));
    out += ";\r\n";
}

int simSelfTest() {
    int ok = 1;
    std::vector<SimFrame> table = builtinFrames();
    for (const SimFrame& f : table) {
        if (!parityValid(f)) {
            std::string s;
            appendStarLine(f, s);
            std::fprintf(stderr, "parity wrong: %s", s.c_str());
            ok = 0;
        }
    }
    // Every output form parses back to the same frames, 0x1A bytes included.
    SimFrame escaped = table[0];
    escaped.signal = 0x1A;
    table.push_back(escaped);
    std::string binary, at, star;
    std::uint64_t ts = 0x1A1A00001A1AULL;
    for (const SimFrame& f : table) {
        appendBinary(f, ts, binary);
        appendAtLine(f, ts, at);
        appendStarLine(f, star);
    }
    for (const std::string* form : {&binary, &at, &star}) {
        std::vector<SimFrame> back = parseCapture(*form);
        bool same = back.size() == table.size();
        for (std::size_t i = 0; same && i < back.size(); ++i) {
            same = back[i].length == table[i].length && back[i].type == table[i].type &&
                   std::memcmp(back[i].payload, table[i].payload, static_cast<std::size_t>(back[i].length)) == 0 &&
                   (form == &star || back[i].timestamp == ts) && (form != &binary || back[i].signal == table[i].signal);
        }
        if (!same) {
            std::fprintf(stderr, "round trip failed for the %s form\n",
                         form == &binary ? "binary" : form == &at ? "'@'" : "'*'");
            ok = 0;
        }
    }
    return ok;
}
