// Feed link LINK_FEED: connecting and writing (the reconnect thread, which is the
// link's own thread), its socket events, dropping it and the per-tick duties (main
// thread).
//
// Feed data reaches the socket only through the link's queue: the feed senders
// queue it, and the link thread writes it while the link is up. A server that
// takes nothing for kStallLimitMs while data waits, or lets the queue overflow,
// loses the link as if it had closed it; the next connection starts afresh with
// its introduction. The thread waits at most kWriteWaitMs at a time, so a drop or
// shutdown is seen within that.
//
// The reconnect thread and the main thread both write the LinkSlot. Every write of
// socket, state and status is made under feed.textLock, which also carries the
// shutdown flag's decision: once stopReconnectThread has set reconnectStop under
// that lock, the reconnect thread changes nothing in the slot any more.
//
// A close event can arrive while the reconnect thread is still connecting.
// dropLink then takes the socket out of the slot but leaves closing it to the
// connecting thread, which sees the slot no longer holds its socket and does not
// mark the link connected. A connected link's socket is closed by dropLink once the
// link thread is out of its send call (`sending`); the thread sees the drop before
// its next send. So the socket number is never closed while a send is under way,
// nor written after it may have been handed out again.
#include "net/feed_link.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "net/feed_encoder.h"
#include "net/feed_queue.h"

namespace {

constexpr int kCycleHalfMs = 500;
constexpr int kStopSliceMs = 50;
// Shutdown waits this long for the reconnect thread, which sees the stop within
// one write wait; a connect blocked on an unreachable server is left to end by
// itself, touching nothing.
constexpr int kStopWaitMs = 500;
// The longest the link thread blocks at once while the link is up.
constexpr int kWriteWaitMs = 300;
// A server that accepts no byte for this long while data waits has stopped.
constexpr int kStallLimitMs = 30000;
// The link's send buffer in the system, fixed: left to grow, it takes megabytes
// from a server that reads nothing, and a stall shows only minutes later. This is
// still far more than a feed needs in flight (320 kB/s over a 200 ms round trip).
constexpr int kLinkSendBuffer = 64 * 1024;
constexpr int kFeedLockWaitMs = 5000;
// A server that takes the connection and ends it soon after (a full server, one
// that refuses our name) is not asked again every second: such a link backs off,
// doubling its wait up to kMostBackoffMs; a link that lived longer than
// kLongLinkMs starts afresh. A connect that fails keeps the one-second pace.
constexpr std::int64_t kShortLinkMs = 30000;
constexpr std::int64_t kLongLinkMs = 60000;
constexpr int kFirstBackoffMs = 2000;
constexpr int kMostBackoffMs = 60000;

// "host:port" of the link's server.
void feedName(char* out, int capacity) {
    TextGuard guard(app.feed.textLock);
    std::snprintf(out, static_cast<std::size_t>(capacity), "%s:%u", app.feed.host,
                  static_cast<unsigned>(app.feed.port.load()));
}

// Tells the front end a change of the link: a failure just like the last one
// told (a server refusing every second) is no news. Any thread.
void tellFeed(LinkState state, const char* detail) {
    {
        TextGuard guard(app.feed.textLock);
        if (app.reconnectStop.load() && state != LinkState::kLost) return;
        if (state == LinkState::kFailed && app.feed.toldState == static_cast<int>(state) &&
            std::strcmp(app.feed.toldDetail, detail) == 0)
            return;
        app.feed.toldState = static_cast<int>(state);
        copyText(app.feed.toldDetail, kNameSize, detail);
    }
    // A link that ended is told by the address it had, whatever new settings say.
    char name[sizeof app.feed.toldName];
    if (state == LinkState::kLost) {
        TextGuard guard(app.feed.textLock);
        copyText(name, sizeof name, app.feed.toldName);
    } else {
        feedName(name, sizeof name);
    }
    if (state == LinkState::kConnected) {
        TextGuard guard(app.feed.textLock);
        copyText(app.feed.toldName, sizeof app.feed.toldName, name);
    }
    uiLinkChanged(LinkKind::kFeed, name, state, detail);
}

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
    tellFeed(LinkState::kFailed, text);
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

const char kLinkConnectingText[] = "Идет установление связи";

void linkConnect(void* window, const char* host) {
    if (!setStatus(kLinkConnectingText)) return;
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
    sockSetSendBuffer(s, kLinkSendBuffer);

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
    app.feed.endedByServer.store(0);
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

    // The introduction opens the connection's stream: queued into the emptied
    // queue under FeedLock, and the link marked connected before the lock is let
    // go, so every feed byte of this connection comes after it.
    if (!feedLockAcquire(kFeedLockWaitMs)) {
        failAttempt(s, "Ошибка connect");
        return;
    }
    feedQueueDiscard();
    sendFeedIntroduction();
    int connected = 0;
    int stopped = 0;
    {
        TextGuard guard(app.feed.textLock);
        stopped = app.reconnectStop.load();
        if (!stopped && app.feed.socket.load() == s) {
            app.feed.state.store(kLinkConnected);
            app.feed.connections.fetch_add(1);
            connected = 1;
        }
    }
    if (!connected) feedQueueDiscard();
    feedLockRelease();
    if (stopped) return;  // shutdown owns whatever is left
    // Dropped while we connected: the socket is ours to close.
    if (!connected) sockClose(s);
    if (connected) tellFeed(LinkState::kConnected, dotted);
    refreshUnlessStopped();
}

void serveLink() {
    Socket s;
    unsigned drops;
    {
        TextGuard guard(app.feed.textLock);
        if (app.feed.state.load() != kLinkConnected) return;
        s = app.feed.socket.load();
        drops = app.feed.drops.load();
    }
    auto current = [&] {
        return !app.reconnectStop.load() && app.feed.drops.load() == drops &&
               app.feed.state.load() == kLinkConnected;
    };
    std::int64_t lastTaken = monotonicMs();
    int roomButRefused = 0;
    while (current()) {
        if (app.feedQueue.overflow.load()) {
            app.feed.endedByServer.store(1);
            dropLinkOf(drops, "the server let the queue fill");
            break;
        }
        const unsigned char* data;
        int waiting = feedQueuePeek(&data);
        if (waiting == 0) {
            eventWait(app.feedQueue.wake, kWriteWaitMs);
            lastTaken = monotonicMs();  // the stall clock runs only while data waits
            continue;
        }
        app.feed.sending.fetch_add(1);
        int taken = current() ? sockSend(s, data, waiting) : -1;
        app.feed.sending.fetch_sub(1);
        if (taken > 0) {
            feedQueueTake(taken);
            lastTaken = monotonicMs();
            roomButRefused = 0;
            continue;
        }
        if (monotonicMs() - lastTaken >= kStallLimitMs) {
            app.feed.endedByServer.store(1);
            dropLinkOf(drops, "the server took nothing for 30 s");
            break;
        }
        // The send buffer is full: wait for room. A socket that reports room and
        // still takes nothing has failed (its close event is on the way); it is
        // tried again every 300 ms meanwhile, never in a spin.
        if (sockWaitWritable(s, kWriteWaitMs)) {
            if (roomButRefused) sleepMs(kWriteWaitMs);
            roomButRefused = 1;
        }
    }
    if (app.reconnectStop.load()) return;
    // Whatever the ended connection did not take is not the next one's.
    if (feedLockAcquire(kFeedLockWaitMs)) {
        if (app.feed.state.load() != kLinkConnected) feedQueueDiscard();
        feedLockRelease();
    }
}

namespace {

// After a link has ended: the next wait, from how long the link lived, whether
// the server ended it (rather than we, for new settings), and the wait before
// (0 = none).
int nextBackoff(std::int64_t livedMs, int byServer, int backoffMs) {
    if (livedMs > kLongLinkMs) return 0;
    if (!byServer || livedMs >= kShortLinkMs) return backoffMs;
    if (backoffMs == 0) return kFirstBackoffMs;
    return backoffMs >= kMostBackoffMs / 2 ? kMostBackoffMs : backoffMs * 2;
}

// Waits out retryDelayMs; a new address (which clears it) or shutdown ends the
// wait early. 0 once shutdown has asked us to stop.
int pauseBackoff() {
    int delay = app.feed.retryDelayMs.load();
    for (int waited = 0; waited < delay && app.feed.retryDelayMs.load() != 0; waited += kStopSliceMs) {
        if (app.reconnectStop.load()) return 0;
        sleepMs(kStopSliceMs);
    }
    return !app.reconnectStop.load();
}

}  // namespace

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
        bool up = app.feed.state.load() == kLinkConnected;
        std::int64_t upAt = monotonicMs();
        serveLink();
        if (up)
            app.feed.retryDelayMs = nextBackoff(monotonicMs() - upAt, app.feed.endedByServer.load(),
                                                app.feed.retryDelayMs.load());
        if (!pauseBackoff()) return;
        if (!pause(kCycleHalfMs)) return;
    }
}

void onFeedLinkEvent(void*, Socket s, long lParam) {
    long event = lParam & 0xFFFF;
    if (event == kEventRead) {
        // Main thread only, so one buffer serves every read.
        static unsigned char buffer[kFeedBufferSize];
        // A late event of a dropped link names a number that may be someone
        // else's by now; their bytes are not ours to read.
        if (s != app.feed.socket.load()) return;
        int n = sockRecv(s, buffer, kFeedBufferSize - 1);
        if (n > 0) handleFeedCommand(buffer, n);
    } else if (event == kEventClose) {
        // A close of a socket the slot no longer holds was dropped already.
        if (s == app.feed.socket.load()) {
            app.feed.endedByServer.store(1);
            dropLink("closed by the server");
        }
    }
}

void dropLink(const char* why) {
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
    eventSet(app.feedQueue.wake);
    // A socket still being connected is closed by its connecting thread. The link
    // thread may be inside one send call on this socket (non-blocking, so
    // microseconds): once that call is over it sees the drop and sends no more, so
    // the number can be handed out again (to the next link, to a relay client)
    // without anything of this link landing there.
    if (wasConnected) {
        while (app.feed.sending.load() != 0) sleepMs(0);
        sockClose(s);
        tellFeed(LinkState::kLost, why);
    }
    uiRefreshStatus();
}

void relinkFeed() {
    app.feed.retryDelayMs = 0;
    if (app.feed.state.load() == kLinkConnected) dropLink("new settings");
}

void dropLinkOf(unsigned drops, const char* why) {
    if (app.feed.drops.load() == drops) dropLink(why);
}

void startReconnectThread() {
    app.reconnectStop.store(0);
    if (app.feedQueue.wake == kNoEvent) app.feedQueue.wake = eventCreate();
    // The queue's pages are taken now, not the first time a slow server lets it
    // fill: the program's memory is then what it will be for good.
    std::memset(app.feedQueue.bytes, 0, sizeof app.feedQueue.bytes);
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
    eventSet(app.feedQueue.wake);
    if (app.reconnectThread == kNoThread) return;
    if (threadJoinTimed(app.reconnectThread, kStopWaitMs)) app.reconnectThread = kNoThread;
}
