// brevalink --find-receiver [--apply]: the receiver finder from the command line,
// its table on stdout as the ports finish, then the choice. Main thread, before
// and instead of the station.
#include <cstdio>
#include <cstring>

#include "app/linux/shell_linux.h"
#include "config/settings.h"
#include "core/app_state.h"
#include "station/find.h"

namespace {

DetectRun cliRun;

void printUtf8(const char* text) {
    char out[4 * kPathSize];
    cp1251ToUtf8(text, std::strlen(text), out, sizeof out, 1);
    std::printf("%s\n", out);
    std::fflush(stdout);
}

}  // namespace

int findReceiverCommand(int apply) {
    loadAllSettings();
    DetectRun& run = cliRun;
    int n = findListPorts(run);
    char line[3 * kPortTextSize + 64];
    std::snprintf(line, sizeof line, "Поиск приемника: портов %d, не дольше %d с", n,
                  n ? ((n + kDetectParallel - 1) / kDetectParallel) * kDetectSpeeds * kDetectListenMs / 1000 : 0);
    printUtf8(line);
    if (n > 0) {
        detectStart(run);
        bool said[kDetectMaxPorts] = {};
        for (int done = 0; done < n;) {
            sleepMs(100);
            for (int i = 0; i < n; ++i) {
                if (said[i] || run.ports[i].state.load(std::memory_order_acquire) != kDetectDone) continue;
                said[i] = true;
                ++done;
                char shown[2 * kPortTextSize + 8];
                findShownName(run.ports[i], shown, sizeof shown);
                detectResultText(run.ports[i], shown, line, sizeof line);
                printUtf8(line);
            }
        }
        detectWait(run);
    }
    int chosen = detectChosen(run);
    if (chosen < 0) {
        printUtf8("Приемник не найден");
        return 3;
    }
    const DetectPort& p = run.ports[chosen];
    std::snprintf(line, sizeof line, "Приемник: %s, %lu бод, %s", p.info.name, p.result.baud,
                  p.result.binary ? "двоичный поток" : "текстовый поток");
    printUtf8(line);
    if (apply) {
        if (!findApply(p)) {
            printUtf8("init.ini или BinarComOn.ini не записан");
            return 1;
        }
        printUtf8("Записаны init.ini и BinarComOn.ini");
    }
    return 0;
}
