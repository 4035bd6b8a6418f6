// Feed link LINK_FEED: connecting (reconnect thread), its socket events, dropping
// it and the per-tick duties (main thread).
//
// The reconnect thread and the main thread both write the LinkSlot. Every write of
// socket, state and status is made under feed.textLock, which also carries the
// shutdown flag's decision: once stopReconnectThread has set reconnectStop under
// that lock, the reconnect thread changes nothing in the slot any more.
//
// A close event can arrive while the reconnect thread is still sending the
// introduction. dropLink then takes the socket out of the slot but leaves closing
// it to the connecting thread, which sees the slot no longer holds its socket and
// does not mark the link connected; the socket number is thus never closed while
// another thread still sends on it.
#include "net/feed_link.h"

#include <cstdio>

#include "app/app_state.h"
#include "app/frontend.h"
#include "display/display.h"
#include "net/feed_encoder.h"

namespace {

constexpr int kCycleHalfMs = 500;
constexpr int kStopSliceMs = 50;
// Shutdown waits this long for the reconnect thread, about one attempt's time
// toward a reachable server; a connect blocked on an unreachable one is left to
// end by itself, touching nothing.
constexpr int kStopWaitMs = 1500;

// Sets status unless shutdown has stopped the thread; 1 when it did.
int setStatus(const char* text) {
    TextGuard guard(app.feed.textLock);
    if (app.reconnectStop.load()) return 0;
    copyText(app.feed.status, kNameSize, text);
    return 1;
}

void refreshUnlessStopped() {
    if (!app.reconnectStop.load()) uiRefreshStatus();
}

// Ends a failed attempt: our socket is closed and leaves the slot, and the
// failure's text is shown. After shutdown nothing in the slot is touched.
void failAttempt(Socket s, const char* text) {
    {
        TextGuard guard(app.feed.textLock);
        if (app.reconnectStop.load()) {
            if (app.feed.socket.load() != s) sockClose(s);
            return;
        }
        if (app.feed.socket.load() == s) app.feed.socket.store(kNoSocket);
        sockClose(s);
        copyText(app.feed.status, kNameSize, text);
    }
    uiRefreshStatus();
}

// Sleeps ms in slices, returning early (0) once shutdown has asked us to stop.
int pause(int ms) {
    for (int waited = 0; waited < ms; waited += kStopSliceMs) {
        if (app.reconnectStop.load()) return 0;
        sleepMs(kStopSliceMs);
    }
    return !app.reconnectStop.load();
}

}  // namespace

void linkConnect(void* window, const char* host) {
    if (!setStatus("Идет установление связи")) return;
    uiRefreshStatus();

    Socket s = sockTcp();
    {
        TextGuard guard(app.feed.textLock);
        if (app.reconnectStop.load()) {
            sockClose(s);
            return;
        }
        app.feed.socket.store(s);
        if (s == kNoSocket) {
            copyText(app.feed.status, kNameSize, "Ошибка сокета");
            app.feed.state.store(kLinkNoSocket);
        }
    }
    if (s == kNoSocket) {
        uiRefreshStatus();
        return;
    }

    sockSetNoDelay(s);

    std::uint32_t address = 0;
    if (!sockResolve(host, &address)) {
        // "Ошибка " and the host, cut to the status text's size.
        char text[kNameSize];
        std::snprintf(text, sizeof text, "Ошибка %s", host);
        failAttempt(s, text);
        return;
    }
    if (!sockConnect(s, address, app.feed.port.load())) {
        failAttempt(s, "Ошибка connect");
        return;
    }
    if (!sockWatch(window, s, kMsgFeedLink, kEventRead | kEventClose)) {
        failAttempt(s, "Ошибка WSAAsyncSelect(NETEVENT)");
        return;
    }

    char text[kNameSize];
    char dotted[32];
    sockAddressText(address, dotted, sizeof dotted);
    std::snprintf(text, sizeof text, "Соединение %s", dotted);
    {
        TextGuard guard(app.feed.textLock);
        if (!app.reconnectStop.load() && app.feed.socket.load() == s) copyText(app.feed.status, kNameSize, text);
    }

    sendFeedIntroduction(s);

    int connected = 0;
    {
        TextGuard guard(app.feed.textLock);
        if (app.reconnectStop.load()) return;  // shutdown owns whatever is left
        if (app.feed.socket.load() == s) {
            app.feed.state.store(kLinkConnected);
            connected = 1;
        }
    }
    // Dropped while we introduced ourselves: the socket is ours to close.
    if (!connected) sockClose(s);
    refreshUnlessStopped();
}

void reconnectLoop(void*) {
    for (;;) {
        if (!pause(kCycleHalfMs)) return;
        if (app.feed.state.load() != kLinkConnected) {
            char host[kNameSize];
            {
                TextGuard guard(app.feed.textLock);
                copyText(host, sizeof host, app.feed.host);
            }
            linkConnect(app.mainWindow, host);
        }
        if (!pause(kCycleHalfMs)) return;
    }
}

void onFeedLinkEvent(void*, Socket s, long lParam) {
    long event = lParam & 0xFFFF;
    if (event == kEventRead) {
        // Main thread only, so one buffer serves every read.
        static unsigned char buffer[kFeedBufferSize];
        int n = sockRecv(s, buffer, kFeedBufferSize - 1);
        if (n > 0) handleFeedCommand(buffer, n);
    } else if (event == kEventClose) {
        // A close of a socket the slot no longer holds was dropped already.
        if (s == app.feed.socket.load()) dropLink();
    }
}

void dropLink() {
    Socket s;
    int wasConnected;
    {
        TextGuard guard(app.feed.textLock);
        wasConnected = app.feed.state.load() == kLinkConnected;
        app.feed.state.store(kLinkDropped);
        s = app.feed.socket.exchange(kNoSocket);
        app.feed.drops.fetch_add(1);
        copyText(app.feed.status, kNameSize, "Связь разорвана");
    }
    // A socket still being introduced is closed by its connecting thread. A feed
    // sender may be inside one send call on this socket (non-blocking, so
    // microseconds): once that call is over it sees the drop and sends no more, so
    // the number can be handed out again (to the next link, to a relay client)
    // without anything of this link landing there.
    if (wasConnected) {
        while (app.feed.sending.load() != 0) sleepMs(0);
        sockClose(s);
    }
    uiRefreshStatus();
}

void tickDuties() {
    advanceFlushClock();
    displayLine("", kDisplayShowNewest);
}

void startReconnectThread() {
    app.reconnectStop.store(0);
    app.reconnectThread = threadStart(reconnectLoop, nullptr);
}

void stopReconnectThread() {
    {
        TextGuard guard(app.feed.textLock);
        app.reconnectStop.store(1);
        // The network stack is released next, while the serial reader decodes on
        // until the port closes: feed senders stop here, and one inside its retries
        // gives up, instead of spending seconds per line on a dead stack with the
        // port held open. The socket itself goes with the stack.
        if (app.feed.state.load() == kLinkConnected) app.feed.state.store(kLinkDropped);
        app.feed.drops.fetch_add(1);
    }
    if (app.reconnectThread == kNoThread) return;
    if (threadJoinTimed(app.reconnectThread, kStopWaitMs)) app.reconnectThread = kNoThread;
}
