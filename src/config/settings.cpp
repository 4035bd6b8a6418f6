// Settings files: layouts, defaults, the start-up load, writers and dialog readers.
#include "config/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/app_state.h"
#include "display/clock_annotation.h"

namespace {

constexpr int kLimitName = 255;   // 256-byte fields
constexpr int kLimitFlags = 127;  // BinarComOn.ini lines
constexpr int kLimitLong = 1023;  // 1024-byte shared line buffer

int isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::FILE* openSetting(const char* name, const char* mode) {
    char path[kPathSize + 64];
    settingsPath(name, path, sizeof path);
    return std::fopen(path, mode);
}

// Reads the first `count` lines of a file into fixed buffers; a missing line keeps
// the buffer as it was. Returns 1 when the file could be opened; `linesRead`, when
// given, gets the number of lines there were.
int readLinesInto(const char* name, char* const* buffers, const int* limits, int count, int* linesRead = nullptr) {
    std::FILE* f = openSetting(name, "rb");
    if (!f) return 0;
    int lines = 0;
    for (int i = 0; i < count; ++i) lines += readLine(f, buffers[i], limits[i]);
    std::fclose(f);
    if (linesRead) *linesRead = lines;
    return 1;
}

void cutAtLineEnd(char* s) {
    for (; *s; ++s) {
        if (*s == '\r' || *s == '\n') {
            *s = '\0';
            return;
        }
    }
}

}  // namespace

std::int32_t parseSettingInt(const char* text) {
    const char* p = text;
    while (*p && isBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 0x80000000LL) value = value * 10 + (*p - '0');
        ++p;
    }
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
    if (value < -0x80000000LL) value = -0x80000000LL;
    return static_cast<std::int32_t>(value);
}

double parseSettingDouble(const char* text) {
    // Take only what a plain decimal number may hold, then let strtod round it:
    // "inf", "nan" and hexadecimal forms are not numbers here.
    char number[128];
    int n = 0;
    const char* p = text;
    while (*p && isBlank(*p)) ++p;
    auto take = [&](char c) {
        if (n < static_cast<int>(sizeof number) - 1) number[n++] = c;
    };
    if (*p == '+' || *p == '-') take(*p++);
    int digits = 0;
    while (*p >= '0' && *p <= '9') take(*p++), ++digits;
    if (*p == '.') {
        take(*p++);
        while (*p >= '0' && *p <= '9') take(*p++), ++digits;
    }
    if (digits == 0) return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (*q >= '0' && *q <= '9') {
            take(*p++);
            if (*p == '+' || *p == '-') take(*p++);
            while (*p >= '0' && *p <= '9') take(*p++);
        }
    }
    number[n] = '\0';
    return std::strtod(number, nullptr);
}

void settingsPath(const char* name, char* out, int capacity) {
    int n = copyText(out, capacity, app.settingsDir);
    copyText(out + n, capacity - n, name);
}

int readLine(std::FILE* file, char* buffer, int limit) {
    if (!file || limit <= 0) return 0;
    char line[kPathSize + 1];
    if (limit > kPathSize) limit = kPathSize;
    if (!std::fgets(line, limit + 1, file)) return 0;
    cutAtLineEnd(line);
    std::memcpy(buffer, line, std::strlen(line) + 1);
    return 1;
}

void loadAllSettings() {
    // The write probe: settingsDir ends up empty either way, so every settings
    // file is looked for in the working directory.
    static const char kProbe[] = "testNaWriteFile.txt";
    int dirLen = static_cast<int>(std::strlen(app.settingsDir));
    copyText(app.settingsDir + dirLen, kPathSize - dirLen, kProbe);
    if (std::FILE* probe = std::fopen(app.settingsDir, "wb")) {
        std::fclose(probe);
        deleteFile(app.settingsDir);
        app.settingsDir[dirLen] = '\0';
    } else {
        std::memset(app.settingsDir, 0, sizeof app.settingsDir);
    }
    workingDirectory(app.startDir, sizeof app.startDir);

    // init.ini: straight into the fields, so a missing line keeps the default.
    {
        char* bufs[] = {app.comPortName, app.comBaudText};
        const int limits[] = {kLimitName, kLimitName};
        readLinesInto("init.ini", bufs, limits, 2);
    }
    // initsocket.ini: line 2 is read and not used.
    {
        char port[kLimitName + 1] = "", unused[kLimitName + 1] = "";
        char* bufs[] = {port, unused};
        const int limits[] = {kLimitName, kLimitName};
        std::FILE* f = openSetting("initsocket.ini", "rb");
        if (f) {
            int got = readLine(f, bufs[0], limits[0]);
            readLine(f, bufs[1], limits[1]);
            std::fclose(f);
            if (got) app.serverPort = static_cast<std::uint16_t>(parseSettingInt(port) & 0xFFFF);
        }
    }
    // BinarComOn.ini: four lines through one buffer, each parsed at once; a missing
    // line parses the last line present again. An empty file keeps every value.
    if (std::FILE* f = openSetting("BinarComOn.ini", "rb")) {
        char line[kLimitFlags + 1] = "";
        if (readLine(f, line, kLimitFlags)) {
            app.binaryMode = parseSettingInt(line);
            readLine(f, line, kLimitFlags);
            app.compressFeed = parseSettingInt(line);
            readLine(f, line, kLimitFlags);
            app.flagsLine3 = parseSettingInt(line);
            readLine(f, line, kLimitFlags);
            app.flagsLine4 = parseSettingInt(line);
        }
        std::fclose(f);
    }
    // initmkp2.ini: line 1 goes into the host field and is parsed as the port; line 2
    // then replaces the host.
    if (std::FILE* f = openSetting("initmkp2.ini", "rb")) {
        TextGuard guard(app.feed.textLock);
        readLine(f, app.feed.host, kLimitName);
        app.feed.port = static_cast<std::uint16_t>(parseSettingInt(app.feed.host) & 0xFFFF);
        readLine(f, app.feed.host, kLimitName);
        std::fclose(f);
    }
    // point.ini: degrees in the file, arc-seconds in memory.
    if (std::FILE* f = openSetting("point.ini", "rb")) {
        char line[kLimitLong + 1] = "";
        if (readLine(f, line, kLimitLong)) {
            double lat = parseSettingDouble(line);
            readLine(f, line, kLimitLong);
            double lon = parseSettingDouble(line);
            app.receiverLat = lat * 3600.0;
            app.receiverLon = lon * 3600.0;
        }
        std::fclose(f);
    }
    // name.ini: a line longer than the 255-character field is cut.
    if (std::FILE* f = openSetting("name.ini", "rb")) {
        char line[kLimitLong + 1] = "";
        if (readLine(f, line, kLimitLong)) {
            TextGuard guard(app.nameLock);
            copyText(app.receiverName, kNameSize, line);
        }
        std::fclose(f);
    }
    // The three one-number files: an empty file keeps the current value.
    struct NumberFile {
        const char* name;
        std::atomic<std::int32_t>* field;
    };
    const NumberFile numbers[] = {{"porog.ini", &app.levelThreshold},
                                  {"time.ini", &app.compressInterval},
                                  {"frequency.ini", &app.timerFrequency}};
    for (const NumberFile& nf : numbers) {
        if (std::FILE* f = openSetting(nf.name, "rb")) {
            char line[kLimitLong + 1] = "";
            if (readLine(f, line, kLimitLong)) *nf.field = parseSettingInt(line);
            std::fclose(f);
        }
    }
    app.clockRefTaken = 0;
}

int writeSettingsLines(const char* fileName, const char* const* lines, int count) {
    std::FILE* f = openSetting(fileName, "wb");
    if (!f) return 0;
    for (int i = 0; i < count; ++i) {
        std::fputs(lines[i], f);
        std::fputs("\r\n", f);
    }
    std::fclose(f);
    return 1;
}

int writeInitFile(const char* portName, const char* baudText) {
    const char* lines[] = {portName, baudText};
    return writeSettingsLines("init.ini", lines, 2);
}

int writeServerFile(const char* portText) {
    const char* lines[] = {portText, ""};
    return writeSettingsLines("initsocket.ini", lines, 2);
}

int writeFeedLinkFile(const char* portText, const char* hostText) {
    const char* lines[] = {portText, hostText};
    return writeSettingsLines("initmkp2.ini", lines, 2);
}

int writeFlagsFile() {
    char values[4][16];
    std::snprintf(values[0], sizeof values[0], "%d", app.binaryMode.load());
    std::snprintf(values[1], sizeof values[1], "%d", app.compressFeed.load());
    std::snprintf(values[2], sizeof values[2], "%d", app.flagsLine3);
    std::snprintf(values[3], sizeof values[3], "%d", app.flagsLine4);
    const char* lines[] = {values[0], values[1], values[2], values[3]};
    return writeSettingsLines("BinarComOn.ini", lines, 4);
}

int writePointFile(const char* latText, const char* lonText) {
    const char* lines[] = {latText, lonText};
    return writeSettingsLines("point.ini", lines, 2);
}

int writeNameFile(const char* name) { return writeSettingsLines("name.ini", &name, 1); }
int writeThresholdFile(const char* text) { return writeSettingsLines("porog.ini", &text, 1); }
int writeIntervalFile(const char* text) { return writeSettingsLines("time.ini", &text, 1); }
int writeFrequencyFile(const char* text) { return writeSettingsLines("frequency.ini", &text, 1); }

int readInitForDialog(char* portName, char* baudText) {
    copyText(portName, kPathSize, "COM1");
    copyText(baudText, kPathSize, "115200");
    char* bufs[] = {portName, baudText};
    const int limits[] = {kLimitName, kLimitName};
    return readLinesInto("init.ini", bufs, limits, 2);
}

int readServerForDialog(char* portText) {
    std::snprintf(portText, kPathSize, "%u", static_cast<unsigned>(app.serverPort.load()));
    const int limits[] = {kLimitName};
    return readLinesInto("initsocket.ini", &portText, limits, 1);
}

int readFeedLinkForDialog(char* portText, char* hostText) {
    std::snprintf(portText, kPathSize, "%u", static_cast<unsigned>(app.feed.port.load()));
    {
        TextGuard guard(app.feed.textLock);
        copyText(hostText, kPathSize, app.feed.host);
    }
    char* bufs[] = {portText, hostText};
    const int limits[] = {kLimitName, kLimitName};
    return readLinesInto("initmkp2.ini", bufs, limits, 2);
}

int readPointForDialog(char* latText, char* lonText) {
    copyText(latText, kPathSize, "47.198200");
    copyText(lonText, kPathSize, "39.628200");
    char* bufs[] = {latText, lonText};
    const int limits[] = {kLimitLong, kLimitLong};
    return readLinesInto("point.ini", bufs, limits, 2);
}

int readNameForDialog(char* name) {
    copyText(name, kPathSize, "Rostov-on-Don");
    const int limits[] = {kLimitLong};
    int lines = 0;
    if (!readLinesInto("name.ini", &name, limits, 1, &lines)) return 0;
    if (lines == 0) return 1;  // an empty file keeps the name in use, as at start-up
    TextGuard guard(app.nameLock);
    copyText(app.receiverName, kNameSize, name);
    return 1;
}

namespace {
int readNumberForDialog(const char* fileName, const char* builtIn, char* text,
                        std::atomic<std::int32_t>& field) {
    copyText(text, kPathSize, builtIn);
    const int limits[] = {kLimitLong};
    int lines = 0;
    if (!readLinesInto(fileName, &text, limits, 1, &lines)) return 0;
    // An empty file keeps the value in use, as at start-up.
    if (lines > 0) field = parseSettingInt(text);
    return 1;
}
}  // namespace

int readThresholdForDialog(char* text) {
    if (!readNumberForDialog("porog.ini", "50", text, app.levelThreshold)) return 0;
    int value = app.levelThreshold;
    if (value < 0 || value > 255) {
        app.levelThreshold = 50;
        copyText(text, kPathSize, "50");
    }
    return 1;
}

int readIntervalForDialog(char* text) {
    return readNumberForDialog("time.ini", "50", text, app.compressInterval);
}

int readFrequencyForDialog(char* text) {
    return readNumberForDialog("frequency.ini", "12000000", text, app.timerFrequency);
}
