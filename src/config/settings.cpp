// Settings files: layouts, defaults, the start-up load, writers and dialog readers.
#include "config/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
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

// The first two lines of a two-line file into first and second (each limit + 1
// bytes; a missing line keeps its buffer). The number of lines there were, or -1
// when the file could not be opened.
int readTwoLines(const char* name, char* first, char* second, int limit) {
    char* bufs[] = {first, second};
    const int limits[] = {limit, limit};
    int lines = 0;
    return readLinesInto(name, bufs, limits, 2, &lines) ? lines : -1;
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

unsigned long parseSettingSpeed(const char* text) {
    unsigned long baud = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        if (baud > 100000000UL) break;  // no real line is this fast; keeps it from wrapping
        baud = baud * 10 + static_cast<unsigned long>(*p - '0');
    }
    return baud;
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

namespace {

const char* const kFileNames[kSettingsFileCount] = {"init.ini", "initsocket.ini", "BinarComOn.ini",
                                                    "initmkp2.ini", "point.ini", "name.ini",
                                                    "porog.ini", "time.ini", "frequency.ini",
                                                    "inittcp.ini"};

static_assert(sizeof(SettingsValues::comPortName) == kNameSize, "the record's texts are the fields' size");

// Tells the user that a value was refused and the one in use stays.
void refuse(const char* caption, const char* text, const char* what, const char* rule) {
    char typed[kNameSize];
    copyText(typed, sizeof typed, text);
    char message[kNameSize + 256];
    std::snprintf(message, sizeof message, "Значение \"%s\" не принято (%s): %s.\nОставлено прежнее значение.",
                  typed, what, rule);
    uiMessageBox(1, message, caption, kBoxOk);
}

int hasDigit(const char* text) {
    const char* p = text;
    while (*p && isBlank(*p)) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p == '.') ++p;
    return *p >= '0' && *p <= '9';
}

int acceptCoordinate(const char* text, const char* caption, double limit, const char* what, const char* rule,
                     double* degrees) {
    double value = parseSettingDouble(text);
    if (!hasDigit(text) || !(value >= -limit && value <= limit)) {
        refuse(caption, text, what, rule);
        return 0;
    }
    *degrees = value;
    return 1;
}

std::FILE* openRead(int file) { return openSetting(kFileNames[file], "rb"); }

// init.ini: the port name and its speed; a missing line keeps its text. The two
// belong together: a speed the port cannot run at keeps both.
void readInit(SettingsValues* v) {
    char name[kLimitName + 1], baud[kLimitName + 1];
    copyText(name, sizeof name, v->comPortName);
    copyText(baud, sizeof baud, v->comBaudText);
    int lines = readTwoLines(kFileNames[kFileInit], name, baud, kLimitName);
    if (lines <= 0) return;
    if (lines > 1 && !acceptSpeed(baud, kFileNames[kFileInit])) return;
    copyText(v->comPortName, kNameSize, name);
    copyText(v->comBaudText, kNameSize, baud);
}

// initsocket.ini: the relay's port, then the address it listens on.
void readSocket(SettingsValues* v) {
    char port[kLimitName + 1] = "", address[kLimitName + 1] = "", other[kLimitName + 1] = "";
    char* bufs[] = {port, address, other};
    const int limits[] = {kLimitName, kLimitName, kLimitName};
    int lines = 0;
    if (!readLinesInto(kFileNames[kFileSocket], bufs, limits, 3, &lines)) return;
    if (lines > 0) acceptPort(port, kFileNames[kFileSocket], &v->serverPort);
    if (lines > 1 && acceptListenAddress(address, kFileNames[kFileSocket]))
        copyText(v->relayAddress, kNameSize, address);
    // Line 3, the other-format port: empty or 0 turns it off.
    if (lines > 2) {
        if (parseSettingInt(other) == 0)
            v->otherPort = 0;
        else
            acceptPort(other, kFileNames[kFileSocket], &v->otherPort);
    }
}

// Every reader below leaves a value alone when its line is missing: a file cut
// short (by a power cut, a full disk or an editor) keeps the values in use rather
// than take another line's text for them.

// BinarComOn.ini: four numbers.
void readFlags(SettingsValues* v) {
    std::FILE* f = openRead(kFileFlags);
    if (!f) return;
    int* fields[] = {&v->binaryMode, &v->compressFeed, &v->flagsLine3, &v->flagsLine4};
    char line[kLimitFlags + 1] = "";
    for (int* field : fields) {
        if (!readLine(f, line, kLimitFlags)) break;
        *field = parseSettingInt(line);
    }
    std::fclose(f);
}

// initmkp2.ini: the port, then the host.
void readFeed(SettingsValues* v) {
    char port[kLimitName + 1] = "", host[kLimitName + 1] = "";
    int lines = readTwoLines(kFileNames[kFileFeed], port, host, kLimitName);
    if (lines > 0) acceptPort(port, kFileNames[kFileFeed], &v->feedPort);
    if (lines > 1) copyText(v->feedHost, kNameSize, host);
}

// point.ini: degrees in the file, arc-seconds in memory.
void readPoint(SettingsValues* v) {
    char lat[kLimitLong + 1] = "", lon[kLimitLong + 1] = "";
    int lines = readTwoLines(kFileNames[kFilePoint], lat, lon, kLimitLong);
    double degrees;
    if (lines > 0 && acceptLatitude(lat, kFileNames[kFilePoint], &degrees)) v->receiverLat = degrees * 3600.0;
    if (lines > 1 && acceptLongitude(lon, kFileNames[kFilePoint], &degrees)) v->receiverLon = degrees * 3600.0;
}

// name.ini: a line longer than the 255-character field is cut.
void readName(SettingsValues* v) {
    std::FILE* f = openRead(kFileName);
    if (!f) return;
    char line[kLimitLong + 1] = "";
    if (readLine(f, line, kLimitLong)) copyText(v->receiverName, kNameSize, line);
    std::fclose(f);
}

// inittcp.ini line 3: 1 connects to the host and port, 2 listens on the port
// at the host's address (empty: every interface); anything else, or no line,
// keeps the serial port, as every installation before it had.
int tcpChoiceOf(const char* line) {
    int value = parseSettingInt(line);
    return value == kTcpChoiceConnect || value == kTcpChoiceListen ? value : kTcpChoicePort;
}

// inittcp.ini: the port, the host, then the choice of source.
void readTcp(SettingsValues* v) {
    char port[kLimitName + 1] = "", host[kLimitName + 1] = "", chosen[kLimitName + 1] = "";
    char* bufs[] = {port, host, chosen};
    const int limits[] = {kLimitName, kLimitName, kLimitName};
    int lines = 0;
    if (!readLinesInto(kFileNames[kFileTcp], bufs, limits, 3, &lines)) return;
    if (lines > 0) acceptPort(port, kFileNames[kFileTcp], &v->tcpPort);
    if (lines > 2) v->tcpChosen = tcpChoiceOf(chosen);
    if (lines > 1 && acceptTcpHost(host, v->tcpChosen, kFileNames[kFileTcp])) copyText(v->tcpHost, kNameSize, host);
}

void readNumber(int file, const char* what, std::int32_t* field) {
    std::FILE* f = openRead(file);
    if (!f) return;
    char line[kLimitLong + 1] = "";
    if (readLine(f, line, kLimitLong)) acceptNumber(line, what, kFileNames[file], field);
    std::fclose(f);
}

}  // namespace

const char kWhatThreshold[] = "нижний порог";
const char kWhatInterval[] = "дискретность сжатия";
const char kWhatFrequency[] = "частота таймера";

const char* settingsFileName(int file) { return file >= 0 && file < kSettingsFileCount ? kFileNames[file] : ""; }

int acceptPort(const char* text, const char* caption, std::uint16_t* out) {
    std::int32_t value = parseSettingInt(text);
    if (!hasDigit(text) || value < 1 || value > 65535) {
        refuse(caption, text, "порт", "нужно число от 1 до 65535");
        return 0;
    }
    *out = static_cast<std::uint16_t>(value);
    return 1;
}

int acceptSpeed(const char* text, const char* caption) {
    unsigned long value = parseSettingSpeed(text);
    if (value == 0 || !serialSpeedSupported(value)) {
        refuse(caption, text, "скорость", "порт не может работать на такой скорости");
        return 0;
    }
    return 1;
}

int acceptLatitude(const char* text, const char* caption, double* degrees) {
    return acceptCoordinate(text, caption, 90.0, "широта", "нужно от -90 до 90 градусов", degrees);
}

int acceptLongitude(const char* text, const char* caption, double* degrees) {
    return acceptCoordinate(text, caption, 180.0, "долгота", "нужно от -180 до 180 градусов", degrees);
}

int acceptNumber(const char* text, const char* what, const char* caption, std::int32_t* out) {
    if (!hasDigit(text)) {
        refuse(caption, text, what, "нужно число");
        return 0;
    }
    *out = parseSettingInt(text);
    return 1;
}

int acceptSourceHost(const char* text, const char* caption) {
    int fit = text[0] != '\0';
    for (const char* p = text; *p; ++p) {
        if (static_cast<unsigned char>(*p) <= ' ') fit = 0;
    }
    if (fit) return 1;
    refuse(caption, text, "адрес источника", "нужно имя или IP адрес без пробелов");
    return 0;
}

int acceptTcpHost(const char* text, int choice, const char* caption) {
    if (choice == kTcpChoiceListen) return acceptListenAddress(text, caption);
    // With the serial port chosen the host waits unused: the empty address of a
    // source that listened on every interface may stay.
    if (choice == kTcpChoicePort && text[0] == '\0') return 1;
    return acceptSourceHost(text, caption);
}

int acceptListenAddress(const char* text, const char* caption) {
    std::uint32_t address;
    if (text[0] == '\0' || sockParseAddress(text, &address)) return 1;
    refuse(caption, text, "адрес сервера", "нужен IPv4 адрес этой машины или пустая строка");
    return 0;
}

void settingsInUse(SettingsValues* v) {
    copyText(v->comPortName, kNameSize, app.comPortName);
    copyText(v->comBaudText, kNameSize, app.comBaudText);
    v->serverPort = app.serverPort.load();
    v->otherPort = app.otherPort.load();
    copyText(v->relayAddress, kNameSize, app.relayAddress);
    v->binaryMode = app.binaryMode.load();
    v->compressFeed = app.compressFeed.load();
    v->flagsLine3 = app.flagsLine3;
    v->flagsLine4 = app.flagsLine4;
    v->feedPort = app.feed.port.load();
    {
        TextGuard guard(app.feed.textLock);
        copyText(v->feedHost, kNameSize, app.feed.host);
    }
    v->receiverLat = app.receiverLat.load();
    v->receiverLon = app.receiverLon.load();
    {
        TextGuard guard(app.nameLock);
        copyText(v->receiverName, kNameSize, app.receiverName);
    }
    v->levelThreshold = app.levelThreshold.load();
    v->compressInterval = app.compressInterval.load();
    v->timerFrequency = app.timerFrequency.load();
    v->tcpPort = app.tcp.port.load();
    {
        TextGuard guard(app.tcp.textLock);
        copyText(v->tcpHost, kNameSize, app.tcp.host);
    }
    v->tcpChosen = app.tcp.chosen.load();
}

void readSettingsFiles(SettingsValues* v) {
    readInit(v);
    readSocket(v);
    readFlags(v);
    readFeed(v);
    readPoint(v);
    readName(v);
    readNumber(kFileThreshold, kWhatThreshold, &v->levelThreshold);  // no range check here
    readNumber(kFileInterval, kWhatInterval, &v->compressInterval);
    readNumber(kFileFrequency, kWhatFrequency, &v->timerFrequency);
    readTcp(v);
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

    SettingsValues v;
    settingsInUse(&v);
    readSettingsFiles(&v);
    copyText(app.comPortName, kNameSize, v.comPortName);
    copyText(app.comBaudText, kNameSize, v.comBaudText);
    app.serverPort = v.serverPort;
    app.otherPort = v.otherPort;
    copyText(app.relayAddress, kNameSize, v.relayAddress);
    app.binaryMode = v.binaryMode;
    app.compressFeed = v.compressFeed;
    app.flagsLine3 = v.flagsLine3;
    app.flagsLine4 = v.flagsLine4;
    app.feed.port = v.feedPort;
    {
        TextGuard guard(app.feed.textLock);
        copyText(app.feed.host, kNameSize, v.feedHost);
    }
    app.receiverLat = v.receiverLat;
    app.receiverLon = v.receiverLon;
    {
        TextGuard guard(app.nameLock);
        copyText(app.receiverName, kNameSize, v.receiverName);
    }
    app.levelThreshold = v.levelThreshold;
    app.compressInterval = v.compressInterval;
    app.timerFrequency = v.timerFrequency;
    app.clockRefTaken = 0;
    app.tcp.port = v.tcpPort;
    {
        TextGuard guard(app.tcp.textLock);
        copyText(app.tcp.host, kNameSize, v.tcpHost);
    }
    app.tcp.chosen = v.tcpChosen;
}

namespace {
// Writes through `write` to a new file beside fileName and puts it in the old
// one's place; a file that could not be written whole never replaces the old one.
template <typename Write>
int writeBesideAndReplace(const char* fileName, Write write) {
    char path[kPathSize + 64], fresh[kPathSize + 72];
    settingsPath(fileName, path, sizeof path);
    std::snprintf(fresh, sizeof fresh, "%s.new", path);
    std::FILE* f = std::fopen(fresh, "wb");
    if (!f) return 0;
    int ok = write(f);
    ok = fileSync(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || !fileReplace(fresh, path)) {
        deleteFile(fresh);
        return 0;
    }
    return 1;
}
}  // namespace

int writeSettingsLines(const char* fileName, const char* const* lines, int count) {
    return writeBesideAndReplace(fileName, [&](std::FILE* f) {
        int ok = 1;
        for (int i = 0; i < count; ++i) {
            if (std::fputs(lines[i], f) < 0 || std::fputs("\r\n", f) < 0) ok = 0;
        }
        return ok;
    });
}

int writeSettingsText(const char* fileName, const char* text, int length) {
    if (length < 0) return 0;
    return writeBesideAndReplace(fileName, [&](std::FILE* f) {
        return std::fwrite(text, 1, static_cast<std::size_t>(length), f) == static_cast<std::size_t>(length) ? 1 : 0;
    });
}

int writeInitFile(const char* portName, const char* baudText) {
    const char* lines[] = {portName, baudText};
    return writeSettingsLines("init.ini", lines, 2);
}

int writeServerFile(const char* portText) {
    // The dialog has no address field and no other-format port: what the file
    // holds of them stays.
    char port[kLimitName + 1] = "", address[kLimitName + 1] = "", other[kLimitName + 1] = "";
    char* bufs[] = {port, address, other};
    const int limits[] = {kLimitName, kLimitName, kLimitName};
    int found = 0;
    readLinesInto("initsocket.ini", bufs, limits, 3, &found);
    const char* lines[] = {portText, address, other};
    return writeSettingsLines("initsocket.ini", lines, found > 2 ? 3 : 2);
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

int writeTcpSourceFile(const char* portText, const char* hostText, int chosen) {
    const char* lines[] = {portText, hostText,
                           chosen == kTcpChoiceListen ? "2" : chosen == kTcpChoiceConnect ? "1" : "0"};
    return writeSettingsLines("inittcp.ini", lines, 3);
}

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
    // An empty file, or a line without a number, keeps the value in use, as at
    // start-up (which has said so already).
    if (lines > 0 && hasDigit(text)) field = parseSettingInt(text);
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

int readTcpSourceForDialog(char* portText, char* hostText, int* chosen) {
    SettingsValues v;
    settingsInUse(&v);
    std::snprintf(portText, kPathSize, "%u", static_cast<unsigned>(v.tcpPort));
    copyText(hostText, kPathSize, v.tcpHost);
    char line[kLimitName + 1];
    std::snprintf(line, sizeof line, "%d", v.tcpChosen);
    char* bufs[] = {portText, hostText, line};
    const int limits[] = {kLimitName, kLimitName, kLimitName};
    int found = readLinesInto("inittcp.ini", bufs, limits, 3);
    *chosen = tcpChoiceOf(line);
    return found;
}
