// The receiver finder as the station uses it.
#include "station/find.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/app_state.h"
#include "core/frontend.h"

namespace {
DetectRun firstStartRun;  // large: kept here rather than on a stack
SerialPortInfo listedNow[kDetectMaxPorts];  // findTick's listing
int identityTicks = 0;     // ticks since the last look for the adapter
int openSeen = 0;          // comOpenCount whose adapter was looked up
int twinsSaid = 0;         // the twin adapters have been said
constexpr int kIdentityTicks = 10;

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
    if (open && openSeen == app.comOpenCount) return;
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
    if (!open && !app.comRetry) return;
    int n = serialListPorts(listedNow, kDetectMaxPorts);
    if (open) {
        // The port opened: remember its adapter when the file does not know it.
        openSeen = app.comOpenCount;
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
        // Still there under its name: the usual retry will open it.
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
    char was[kNameSize];
    copyText(was, sizeof was, app.comPortName);
    copyText(app.comPortName, kNameSize, listedNow[match].name);
    writeInitFile(app.comPortName, app.comBaudText);
    findWriteIdentity(listedNow[match]);
    std::snprintf(line, sizeof line, "Приемник найден на %s (был %s)", app.comPortName, was);
    uiNotice(line);
    app.comRetryTicks = 1000;  // the next tick's retry opens it
}
