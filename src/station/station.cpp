// The station's start-up, tick, events and shutdown. Main thread.
#include "station/station.h"

#include <cstdio>
#include <cstring>

#include "config/push_settings.h"
#include "config/settings.h"
#include "core/app_state.h"
#include "core/frontend.h"
#include "display/display.h"
#include "input/serial_source.h"
#include "input/source.h"
#include "input/tcp_source.h"
#include "net/feed_encoder.h"
#include "net/feed_link.h"
#include "net/push.h"
#include "net/relay_server.h"
#include "record/exchange.h"
#include "station/checks.h"
#include "station/commands.h"
#include "station/find.h"
#include "station/look.h"
#include "station/startup.h"

int stationLoad() {
    int refusal = loadCompressionLibrary("zlib1.dll");
    if (refusal != kStartGoOn) return refusal;
    loadAllSettings();
    PushTargetList push;
    if (readPushFile(&push)) pushApplyList(push);
    return kStartGoOn;
}

void stationStart(void* window) {
    app.startedMs = monotonicMs();
    app.playbackPortWrite = writeReceiverPort;
    feedLockCreate();
    lookStart();  // before the source's reader, which hands it frames
    if (!app.tcp.chosen.load() && !app.comAwaitsSearch) startSerialSource();
    startNetwork();
    // The TCP source needs the network stack; its thread connects while we go on.
    if (app.tcp.chosen.load()) startTcpSource();
    pushStart();
    startReconnectThread();
    startRelayServer(window);
    if (app.binaryMode.load()) uiModeChanged(kCmdBinaryMode, 1);
    if (app.compressFeed.load()) uiModeChanged(kCmdCompressFeed, 1);
}

void stationTick() {
    advanceFlushClock();
    flushStagedByTime();
    displayLine("", kDisplayShowNewest);
    // The retries that keep an unattended station going: a receiver port that went
    // away (a lost connection retries itself), a relay port that was taken; and a
    // recording whose disk gave up.
    receiverSourceTick();
    findTick();
    relayServerTick();
    pushTick();
    recordTick();
    checksTick();
    lookTick();
    // Status line 2 follows the TCP source and the checks as they change.
    static char shown[2 * kNameSize + 16];
    char line[sizeof shown];
    writeSourceLine(line, sizeof line);
    if (std::strcmp(line, shown) != 0) {
        copyText(shown, sizeof shown, line);
        uiSetStatusLine(2, line);
    }
    ++app.exchangeTick;
}

int stationEvent(void* window, unsigned message, Socket s, long lParam) {
    switch (message) {
        case kMsgRelayListen: onAcceptEvent(window, lParam); return 1;
        case kMsgRelayOtherListen: onOtherAcceptEvent(window, lParam); return 1;
        case kMsgRelayClient: onClientEvent(window, s, lParam); return 1;
        case kMsgFeedLink: onFeedLinkEvent(window, s, lParam); return 1;
        case kMsgStatusRefresh: refreshStatusLines(); return 1;
        default: return 0;
    }
}

void refreshStatusLines() {
    // Header plus 100 addresses with their blanks: at most 1,614 characters. On the
    // stack, since the native build may refresh from two threads at once.
    char serverLine[2048];
    writeServerStatus(serverLine, sizeof serverLine);
    uiSetStatusLine(0, serverLine);

    char clientLine[kNameSize + 64];
    {
        TextGuard guard(app.feed.textLock);
        std::snprintf(clientLine, sizeof clientLine, "Клиент: % 5d  %s",
                      static_cast<int>(app.feed.port.load()), app.feed.status);
    }
    uiSetStatusLine(1, clientLine);

    char sourceLine[2 * kNameSize + 16];
    writeSourceLine(sourceLine, sizeof sourceLine);
    uiSetStatusLine(2, sourceLine);
}

void writeSourceLine(char* out, int capacity) {
    char source[kNameSize], warning[kNameSize];
    writeTcpSourceStatus(source, sizeof source);
    writeWorstWarning(warning, sizeof warning);
    std::snprintf(out, static_cast<std::size_t>(capacity), "%s%s%s", source, source[0] && warning[0] ? "  " : "",
                  warning);
}

void stationStop(void* window) {
    stopRelayServer(window);
    stopReconnectThread();
    // A TCP source ends before the network stack goes; the port at the end, as always.
    int tcpChosen = app.tcp.chosen.load();
    if (tcpChosen) stopTcpSourceAtShutdown();
    pushStop();
    netCleanup();
    stopPlaybackAndWait();
    closeExchangeFiles();
    lookStop();
    uiStationStopping();
    if (!tcpChosen) stopSerialSource();
    libraryFree(app.zlibModule);
    app.zlibModule = nullptr;
}
