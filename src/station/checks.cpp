// The station's checks, from a history of the counters a second apart.
#include "station/checks.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "station/look.h"
#include "station/commands.h"
#include "config/settings.h"

namespace {

// Thresholds, each with its reason.
// A receiver sends several frames a second even at a quiet site; 30 s without a
// byte is a stopped receiver or a dead link, not a lull.
constexpr int kNoDataSeconds = 30;
// A wrong mode is clear within seconds: 20 well-formed frames or lines of the
// other form and none of this one cannot be chance.
constexpr int kModeSeconds = 5;
constexpr std::uint64_t kModeLeast = 20;
// Over 10 s a site sends hundreds of frames; none with a time is no accident.
constexpr int kStampSeconds = 10;
// The setting is wrong when it is off by more than any receiver's crystal (a few
// ppm) and any measurement error (well under 0.1 %) could make it.
constexpr double kFrequencyTolerance = 0.02;
// Reordering and a single restart do not jump; several receivers mixed into one
// stream jump all the time.
constexpr int kJumpsPerMinute = 3;
// A threshold that keeps almost everything from the feed for a whole minute is a
// setting to look at, at a site that sends enough frames to tell.
constexpr int kThresholdSeconds = 60;
constexpr std::uint64_t kThresholdLeast = 100;
constexpr int kThresholdPercent = 95;
constexpr int kRateSeconds = 10;

using Snapshot = CountSnapshot;
ChecksState& history = app.checks;

void take(const SourceStats& s, Snapshot* out) {
    out->bytes = s.bytes.load(std::memory_order_relaxed);
    for (int k = 0; k < kStreamKinds; ++k) out->kinds[k] = s.kinds[k].load(std::memory_order_relaxed);
    out->heldBack = s.heldBack.load(std::memory_order_relaxed);
    out->stray = s.stray.load(std::memory_order_relaxed);
    out->zeroStamps = s.zeroStamps.load(std::memory_order_relaxed);
}

// What the source delivered over the last `seconds` (fewer at the start).
Snapshot delta(int source, int seconds) {
    if (seconds > history.filled - 1) seconds = history.filled - 1;
    const Snapshot& now = history.history[source][history.newest];
    const Snapshot& then = history.history[source][(history.newest - seconds + kCheckHistory) % kCheckHistory];
    Snapshot d;
    d.bytes = now.bytes - then.bytes;
    for (int k = 0; k < kStreamKinds; ++k) d.kinds[k] = now.kinds[k] - then.kinds[k];
    d.heldBack = now.heldBack - then.heldBack;
    d.stray = now.stray - then.stray;
    d.zeroStamps = now.zeroStamps - then.zeroStamps;
    return d;
}

std::uint64_t frames(const Snapshot& d) {
    return d.kinds[kKindModeAC] + d.kinds[kKindModeSShort] + d.kinds[kKindModeSLong];
}
std::uint64_t frameLines(const Snapshot& d) { return d.kinds[kKindLineTimed] + d.kinds[kKindLineUntimed]; }

void publishRates(int source) {
    int seconds = history.filled - 1 < kRateSeconds ? history.filled - 1 : kRateSeconds;
    if (seconds <= 0) return;
    Snapshot d = delta(source, seconds);
    SourceStats& s = app.stats[source];
    s.bytesRate.store(static_cast<double>(d.bytes) / seconds);
    for (int k = 0; k < kStreamKinds; ++k) s.kindRates[k].store(static_cast<double>(d.kinds[k]) / seconds);
    s.heldBackRate.store(static_cast<double>(d.heldBack) / seconds);
    s.strayRate.store(static_cast<double>(d.stray) / seconds);
}

// Sets a check; a change of state (not of text) is told.
void setCheck(int check, int warning, const char* text, std::int64_t nowMs) {
    CheckState& c = app.checks.checks[check];
    {
        TextGuard guard(app.checks.textLock);
        copyText(c.text, kNameSize, warning ? text : "");
    }
    if (c.warning.load() == warning) return;
    c.warning.store(warning);
    c.sinceMs.store(nowMs);
    uiCheckChanged(check, warning, text);
}

int sourceOpen() {
    if (app.tcp.chosen.load()) {
        int state = app.tcp.state.load();
        return state == kTcpConnected || state == kTcpReading;
    }
    return app.comHandle.load() != kNoSerial;
}

void checkNoData(int source, std::int64_t nowMs) {
    int open = sourceOpen();
    if (open && !history.wasOpen) history.openedMs = nowMs;
    history.wasOpen = open;
    std::int64_t last = app.stats[source].lastByteMs.load();
    if (last < history.openedMs) last = history.openedMs;
    int quiet = open ? static_cast<int>((nowMs - last) / 1000) : 0;
    char text[64];
    std::snprintf(text, sizeof text, "Нет данных от источника %d с", quiet);
    setCheck(kCheckNoData, quiet >= kNoDataSeconds, text, nowMs);
}

void checkMode(int source, int binary, std::int64_t nowMs) {
    Snapshot d = delta(source, kModeSeconds);
    int wrong = binary ? frameLines(d) >= kModeLeast && frames(d) == 0 : frames(d) >= kModeLeast && frameLines(d) == 0;
    setCheck(kCheckWrongMode, wrong,
             binary ? "Поток текстовый: выключите «Бинарный режим источника»"
                    : "Поток бинарный: включите «Бинарный режим источника»",
             nowMs);
}

// Held this long, with the other form's frames passing parity, a wrong mode is
// switched: a minute of silence on the feed for a menu item is worse than a
// switch the owner can undo (and can turn off: automode.ini line 1 "0").
constexpr int kAutoModeSeconds = 30;
constexpr std::uint32_t kAutoModeLeast = 5;
std::uint32_t probeBaseline = 0;  // the other form's good frames when the probe began

int autoModeAllowed() {
    char path[kPathSize + 64], line[64] = "";
    settingsPath(kAutoModeFile, path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 1;
    int read = readLine(f, line, sizeof line - 1);
    std::fclose(f);
    const char* p = line + std::strspn(line, " \t");
    return !(read && *p == '0' && parseSettingInt(p) == 0);
}

void autoMode(int binary, std::int64_t nowMs) {
    const CheckState& c = app.checks.checks[kCheckWrongMode];
    int warning = c.warning.load();
    std::atomic<std::uint32_t>& other = binary ? app.checks.probeTextGood : app.checks.probeBinaryGood;
    if (!warning) {
        app.checks.modeProbe.store(0);
        return;
    }
    if (!app.checks.modeProbe.load()) {
        probeBaseline = other.load();
        app.checks.modeProbe.store(1);
    }
    if (nowMs - c.sinceMs.load() < kAutoModeSeconds * 1000) return;
    if (other.load() - probeBaseline < kAutoModeLeast) return;
    if (!autoModeAllowed()) return;
    app.checks.modeProbe.store(0);
    handleCommand(kCmdBinaryMode);  // as the menu item: the flag, its mark, BinarComOn.ini
    uiNotice(binary ? "Поток текстовый уже 30 с: «Бинарный режим источника» выключен (automode.ini: 0 - не переключать)"
                    : "Поток бинарный уже 30 с: «Бинарный режим источника» включен (automode.ini: 0 - не переключать)");
}

void checkStamps(int source, int binary, std::int64_t nowMs) {
    Snapshot d = delta(source, kStampSeconds);
    int none = binary ? frames(d) > 0 && d.zeroStamps == frames(d)
                      : d.kinds[kKindLineUntimed] > 0 && d.kinds[kKindLineTimed] == 0;
    setCheck(kCheckNoTimestamps, none && !app.checks.checks[kCheckWrongMode].warning.load(),
             "Нет меток времени приемника: для MLAT нужны строки '@' или бинарный режим", nowMs);
}

// "12,00 МГц": two decimals with the comma the owner reads.
void megahertz(double hz, char* out, int capacity) {
    std::snprintf(out, static_cast<std::size_t>(capacity), "%.2f МГц", hz / 1e6);
    if (char* point = std::strchr(out, '.')) *point = ',';
}

void checkFrequency(std::int64_t nowMs) {
    double measured = app.checks.measuredHz.load();
    double set = app.timerFrequency.load();
    int off = measured > 0 && set > 0 && std::fabs(measured - set) > kFrequencyTolerance * set;
    char text[128], m[32], s[32];
    megahertz(measured, m, sizeof m);
    megahertz(set, s, sizeof s);
    std::snprintf(text, sizeof text, "Частота таймера: измерено ~ %s, задано %s", m, s);
    setCheck(kCheckFrequency, off, text, nowMs);
}

void checkJumps(std::int64_t nowMs) {
    unsigned resets = app.checks.counterResets.load();
    if (resets != history.resetsSeen) {
        history.resetsSeen = resets;
        uiNotice("Счетчик приемника сброшен");
    }
    setCheck(kCheckJumps, app.checks.jumpsPerMinute.load() > kJumpsPerMinute,
             "Метки времени скачут: в потоке несколько приемников?", nowMs);
}

void checkThreshold(int source, int binary, std::int64_t nowMs) {
    Snapshot d = delta(source, kThresholdSeconds);
    std::uint64_t n = frames(d);
    int held = binary && history.filled > kThresholdSeconds && n >= kThresholdLeast &&
               d.heldBack * 100 > n * kThresholdPercent;
    char text[128];
    std::snprintf(text, sizeof text, "Порог %d отбрасывает %d %% пакетов", static_cast<int>(app.levelThreshold.load()),
                  n ? static_cast<int>(d.heldBack * 100 / n) : 0);
    setCheck(kCheckThreshold, held, text, nowMs);
}

// Said only: point.ini stays as the owner wrote it, whatever the aircraft say.
void checkCoordinates(std::int64_t nowMs) {
    char text[512];
    int warn = lookCoordsWarning(nowMs, text, sizeof text);
    setCheck(kCheckCoordinates, warn, text, nowMs);
}

}  // namespace

void checksTick() { checksTickAt(monotonicMs()); }

void checksTickAt(std::int64_t nowMs) {
    if (history.newest >= 0 && nowMs - history.lastMs < 1000) return;
    history.lastMs = nowMs;
    history.newest = (history.newest + 1) % kCheckHistory;
    if (history.filled < kCheckHistory) ++history.filled;
    for (int source = 0; source < kSourceCount; ++source) {
        take(app.stats[source], &history.history[source][history.newest]);
        publishRates(source);
    }
    int source = app.tcp.chosen.load() ? kSourceTcp : kSourcePort;
    int binary = app.binaryMode.load() != 0;
    checkNoData(source, nowMs);
    checkMode(source, binary, nowMs);
    autoMode(binary, nowMs);
    checkStamps(source, binary, nowMs);
    checkFrequency(nowMs);
    checkJumps(nowMs);
    checkThreshold(source, binary, nowMs);
    checkCoordinates(nowMs);
}

void writeWorstWarning(char* out, int capacity) {
    if (capacity <= 0) return;
    out[0] = '\0';
    TextGuard guard(app.checks.textLock);
    for (const CheckState& c : app.checks.checks) {
        if (c.warning.load() && c.text[0]) {
            copyText(out, capacity, c.text);
            return;
        }
    }
}

const char* checkName(int check) {
    static const char* const kNames[kCheckCount] = {"no_data", "wrong_mode", "timestamps", "frequency",
                                                    "jumps",   "threshold",  "coordinates"};
    return check >= 0 && check < kCheckCount ? kNames[check] : "";
}

void writeMeasuredFrequency(char* out, int capacity) {
    if (capacity <= 0) return;
    out[0] = '\0';
    double hz = app.checks.measuredHz.load();
    if (hz <= 0) return;
    // Grouped by thousands, as the owner writes the setting: "12 000 000".
    long long value = std::llround(hz);
    char digits[32];
    int n = std::snprintf(digits, sizeof digits, "%lld", value);
    char grouped[48];
    int g = 0;
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) grouped[g++] = ' ';
        grouped[g++] = digits[i];
    }
    grouped[g] = '\0';
    std::snprintf(out, static_cast<std::size_t>(capacity), "измерено: %s", grouped);
}
