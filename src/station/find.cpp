// The receiver finder as the station uses it.
#include "station/find.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/app_state.h"
#include "core/frontend.h"

namespace {
DetectRun firstStartRun;  // large: kept here rather than on a stack
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
