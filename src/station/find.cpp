// The receiver finder as the station uses it.
#include "station/find.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/app_state.h"
#include "core/frontend.h"
#include "input/serial_source.h"
#include "station/look.h"

namespace {
DetectRun firstStartRun;  // large: kept here rather than on a stack
SerialPortInfo listedNow[kDetectMaxPorts];  // findTick's listing
int identityTicks = 0;     // ticks since the last look for the adapter
int openSeen = 0;          // comOpenCount whose adapter was looked up
int twinsSaid = 0;         // the twin adapters have been said
std::uint64_t goodSeen = 0;     // the look's good frames at the last look
std::int64_t goodSinceMs = 0;   // when they last grew (or the port opened)
constexpr int kIdentityTicks = 10;
// An open port that gave no frame passing parity for this long holds no
// receiver, as far as its adapter is concerned: a receiver with aircraft about
// sends hundreds a second. Only then is the remembered adapter looked for under
// another name, so a quiet night never moves the port.
constexpr std::int64_t kNoReceiverMs = 10000;

bool sameAdapter(const SerialPortInfo& p, const char* identity, const char* byId) {
    if (byId[0] && p.byId[0]) return std::strcmp(std::strrchr(p.byId, '/'), std::strrchr(byId, '/')) == 0;
    return identity[0] && std::strcmp(p.identity, identity) == 0;
}
}  // namespace

int findListPorts(DetectRun& run) {
    static SerialPortInfo listed[kDetectMaxPorts];
    int n = serialListPorts(listed, kDetectMaxPorts);
    run.count = 0;
    for (int i = 0; i < n; ++i) {
        DetectPort& p = run.ports[run.count++];
        p.info = listed[i];
        p.result = DetectResult{};
        p.state.store(kDetectWaiting);
        p.tryingBaud.store(0);
        // The port being read is never opened a second time: that would take
        // every other block of the receiver's stream from the station.
        p.ours = app.comHandle.load() != kNoSerial && std::strcmp(p.info.name, app.comPortName) == 0;
    }
    return run.count;
}

void findShownName(const DetectPort& port, char* out, int capacity) {
    if (port.info.byId[0])
        std::snprintf(out, static_cast<std::size_t>(capacity), "%s (%s)", port.info.name, port.info.byId);
    else
        copyText(out, capacity, port.info.name);
}

int findApply(const DetectPort& port) {
    char baud[32];
    std::snprintf(baud, sizeof baud, "%lu", port.result.baud);
    app.binaryMode.store(port.result.binary ? 1 : 0);
    copyText(app.comPortName, kNameSize, port.info.name);
    copyText(app.comBaudText, kNameSize, baud);
    int ok = writeInitFile(port.info.name, baud);
    if (port.info.identity[0] || port.info.byId[0]) findWriteIdentity(port.info);
    return writeFlagsFile() && ok;
}

int findInitFileExists() {
    char path[kPathSize + 64];
    settingsPath(settingsFileName(kFileInit), path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

int findAtFirstStart() {
    DetectRun& run = firstStartRun;
    int n = findListPorts(run);
    char line[3 * kPortTextSize];
    std::snprintf(line, sizeof line, "Поиск приемника: портов %d", n);
    uiNotice(line);
    if (n == 0) return 0;
    detectStart(run);
    detectWait(run);
    for (int i = 0; i < run.count; ++i) {
        char shown[2 * kPortTextSize + 8];
        findShownName(run.ports[i], shown, sizeof shown);
        detectResultText(run.ports[i], shown, line, sizeof line);
        uiNotice(line);
    }
    int chosen = detectChosen(run);
    if (chosen < 0) {
        uiNotice("Приемник не найден");
        return 0;
    }
    const DetectPort& p = run.ports[chosen];
    int written = findApply(p);
    std::snprintf(line, sizeof line, "Приемник найден на %s: %lu бод, %s%s", p.info.name, p.result.baud,
                  p.result.binary ? "двоичный поток" : "текстовый поток",
                  written ? "; записаны init.ini и BinarComOn.ini" : "; init.ini не записан");
    uiNotice(line);
    return 1;
}

int findWriteIdentity(const SerialPortInfo& port) {
    const char* lines[] = {port.name, port.identity, port.byId};
    return writeSettingsLines(kIdentityFile, lines, 3);
}

void findTick() {
    if (app.tcp.chosen.load() || ++identityTicks < kIdentityTicks) return;
    identityTicks = 0;
    bool open = app.comHandle.load() != kNoSerial;
    std::int64_t nowMs = monotonicMs();
    bool opened = open && openSeen != app.comOpenCount;
    if (open && !opened) {
        // An open port is looked at again only once it has given no good frame
        // for kNoReceiverMs: a port that hears aircraft is the receiver.
        std::uint64_t good = lookGoodFrames();
        if (good != goodSeen || nowMs - goodSinceMs < kNoReceiverMs) {
            if (good != goodSeen) goodSinceMs = nowMs;
            goodSeen = good;
            return;
        }
        goodSinceMs = nowMs;  // the next look a while later, should this one find nothing
    }
    if (!open && !app.comRetry) return;
    char path[kPathSize + 64];
    settingsPath(kIdentityFile, path, sizeof path);
    char owner[kPortTextSize] = "", identity[kPortTextSize] = "", byId[kPortTextSize] = "";
    if (std::FILE* f = std::fopen(path, "rb")) {
        readLine(f, owner, kPortTextSize - 1);
        readLine(f, identity, kPortTextSize - 1);
        readLine(f, byId, kPortTextSize - 1);
        std::fclose(f);
    }
    bool known = std::strcmp(owner, app.comPortName) == 0 && (identity[0] || byId[0]);
    int n = serialListPorts(listedNow, kDetectMaxPorts);
    if (opened) {
        // The port opened: remember its adapter when the file does not know it.
        openSeen = app.comOpenCount;
        goodSeen = lookGoodFrames();
        goodSinceMs = nowMs;
        twinsSaid = 0;
        if (known) return;
        for (int i = 0; i < n; ++i)
            if (std::strcmp(listedNow[i].name, app.comPortName) == 0 && (listedNow[i].identity[0] || listedNow[i].byId[0]))
                findWriteIdentity(listedNow[i]);
        return;
    }
    if (!known) return;
    int match = -1, matches = 0;
    for (int i = 0; i < n; ++i) {
        if (!sameAdapter(listedNow[i], identity, byId)) continue;
        // Still there under its name: the usual retry will open it, or it is
        // open and its receiver is quiet (off, or no aircraft about).
        if (std::strcmp(listedNow[i].name, app.comPortName) == 0) return;
        match = i;
        ++matches;
    }
    char line[3 * kPortTextSize];
    if (matches > 1) {
        if (!twinsSaid) {
            std::snprintf(line, sizeof line, "Адаптеров \"%s\" несколько: приемник по нему не выбран", identity);
            uiNotice(line);
        }
        twinsSaid = 1;
        return;
    }
    if (matches == 0) return;
    // The name now belongs to another device (the adapters numbered anew after a
    // restart, say) or to none: the receiver's adapter is taken where it is.
    if (open) closeComPort();
    char was[kNameSize];
    copyText(was, sizeof was, app.comPortName);
    copyText(app.comPortName, kNameSize, listedNow[match].name);
    writeInitFile(app.comPortName, app.comBaudText);
    findWriteIdentity(listedNow[match]);
    std::snprintf(line, sizeof line, "Приемник найден на %s (был %s)", app.comPortName, was);
    uiNotice(line);
    // The next tick's retry opens it, with the receiver's start commands.
    app.comRetry = 1;
    app.comRetryTicks = 1000;
}
