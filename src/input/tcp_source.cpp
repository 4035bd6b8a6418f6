// The TCP source: its thread, its writes and its tick.
//
// Threads: the main thread starts a source thread with a run number and ends it
// by changing app.tcp.run; the thread hands bytes on only while the number is its
// own, checked inside the `handing` count, so once the main thread has changed
// the number and seen the count at zero nothing of the old connection reaches
// the relay, the feed or the decoder, and the serial reader or the next thread
// may start at once. The thread alone connects and closes the socket; writers
// (main, playback) are counted in `writers` and the thread waits them out before
// the close, as the serial source does with its port. State changes the thread
// makes are made under textLock together with the run check, so a thread that
// has been ended never writes the slot again.
#include "input/tcp_source.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "input/receiver.h"

namespace {

// Long enough for a far station over a slow link, short enough that a host that
// drops our SYNs is seen as down within the first back-off steps.
constexpr int kConnectTimeoutMs = 10000;
constexpr int kFirstRetryMs = 2000;
constexpr int kMostRetryMs = 30000;
// The thread looks at its run number this often while it waits for bytes.
constexpr int kReadSliceMs = 100;
constexpr int kWaitSliceMs = 50;
constexpr int kReadBlock = 4096;     // as the serial reader's block
constexpr int kWriteChunk = 1024;    // fits the room a writable socket reports
constexpr int kStopWaitMs = 1000;
constexpr int kLookupWaitMs = 500;
constexpr int kStartPauseTicks = 10;  // the receiver's 1 s between its two start commands
// Room for a few peers knocking at once: each is accepted and refused, or taken.
constexpr int kListenBacklog = 4;

int isCurrent(unsigned run) { return app.tcp.run.load() == run; }
int keepTrying(const void* run) { return isCurrent(*static_cast<const unsigned*>(run)); }

// Sets the state (and what else the caller changes in `also`) unless the thread
// has been ended; 1 when it had not.
template <typename Also>
int setState(unsigned run, int state, Also also) {
    TextGuard guard(app.tcp.textLock);
    if (!isCurrent(run)) return 0;
    also();
    app.tcp.state.store(state);
    return 1;
}
int setState(unsigned run, int state) {
    return setState(run, state, [] {});
}

int endOfFailure(int failure) {
    switch (failure) {
        case kConnectNoName: return kTcpEndNoName;
        case kConnectRefused: return kTcpEndRefused;
        case kConnectTimedOut: return kTcpEndTimedOut;
        default: return kTcpEndFailed;
    }
}

// A peer that connects while another is connected is accepted and closed at
// once, and named for the main thread to tell.
void refusePeer(Socket listener, unsigned run) {
    char who[64];
    Socket extra = sockAccept(listener, who, sizeof who);
    if (extra == kNoSocket) return;
    sockClose(extra);
    TextGuard guard(app.tcp.textLock);
    if (!isCurrent(run)) return;
    copyText(app.tcp.refusedPeer, sizeof app.tcp.refusedPeer, who);
    app.tcp.refused.fetch_add(1);
}

// Reads one connection until it ends or the thread is ended; closes it. Returns
// why it ended; *flowed is 1 once a byte came. listener (kNoSocket when the
// connection is ours) is watched meanwhile: whoever else connects is refused.
int readConnection(Socket s, unsigned run, int* flowed, const char* peer, Socket listener) {
    if (!setState(run, kTcpConnected, [&] {
            copyText(app.tcp.peer, sizeof app.tcp.peer, peer);
            app.tcp.socket.store(s);
            app.tcp.connections.fetch_add(1);
        })) {
        sockClose(s);
        return kTcpEndNone;
    }
    receiverWriteReset();
    unsigned char block[kReadBlock];
    std::int64_t lastByte = monotonicMs();
    std::int64_t handedUs = 0;
    int end = kTcpEndNone;
    while (isCurrent(run)) {
        int ready = sockWaitEitherReadable(s, listener, kReadSliceMs);
        if (ready & 2) refusePeer(listener, run);
        if (!(ready & 1)) {
            if (monotonicMs() - lastByte >= app.tcp.silentLimitMs.load()) {
                end = kTcpEndSilent;
                break;
            }
            continue;
        }
        receiverGather(&handedUs);
        int n = sockRecv(s, block, sizeof block);
        if (n <= 0) {
            end = n == 0 ? kTcpEndClosed : kTcpEndBroken;
            break;
        }
        lastByte = monotonicMs();
        int first = !*flowed;
        if (first) *flowed = setState(run, kTcpReading);
        app.tcp.handing.fetch_add(1);
        if (isCurrent(run)) {
            // A new connection starts wherever the far end is in its stream
            // (a relay's client joins mid-frame), not where the last one ended.
            if (first) beginReceiverStream();
            handOnReceiverBytes(kSourceTcp, block, n);
        }
        app.tcp.handing.fetch_sub(1);
    }
    // Writers inside a send finish before the number can be handed out again.
    Socket expected = s;
    app.tcp.socket.compare_exchange_strong(expected, kNoSocket);
    while (app.tcp.writers.load() > 0) sleepMs(1);
    sockClose(s);
    return end;
}

// Waits ms in slices; 0 once the thread has been ended.
int pauseWhileCurrent(unsigned run, int ms) {
    for (int waited = 0; waited < ms; waited += kWaitSliceMs) {
        if (!isCurrent(run)) return 0;
        sleepMs(kWaitSliceMs);
    }
    return isCurrent(run);
}

// The one place inside the system's resolver: a thread ended during its lookup
// may hang there for as long as the resolver does, and must not be joined by a
// crowd of others. Waits a little for a thread that is only ending its connect;
// 0 when the place is still taken (this attempt is refused and tried later).
int takeLookup(unsigned run) {
    for (int waited = 0;; waited += kWaitSliceMs) {
        unsigned none = 0;
        if (app.tcp.lookupRun.compare_exchange_strong(none, run)) return 1;
        if (waited >= kLookupWaitMs || !isCurrent(run)) return 0;
        sleepMs(kWaitSliceMs);
    }
}

int nextRetryMs(int retryMs) { return retryMs >= kMostRetryMs / 2 ? kMostRetryMs : retryMs * 2; }

// Says why the source waits and when it tries again, waits that long and doubles
// the next wait; 0 once the thread has been ended.
int waitToRetry(unsigned run, int end, int* retryMs) {
    if (!setState(run, kTcpWaiting, [&] {
            app.tcp.lastEnd.store(end);
            app.tcp.retryAtMs.store(monotonicMs() + *retryMs);
        }))
        return 0;
    if (!pauseWhileCurrent(run, *retryMs)) return 0;
    *retryMs = nextRetryMs(*retryMs);
    return 1;
}

// The listening source: a pushing receiver or decoder connects to us. One peer at
// a time is read; one that goes or falls silent is closed and the next awaited.
// A port that cannot be had is tried again with the connect source's back-off.
void listenThread(unsigned run, std::uint32_t address, std::uint16_t port) {
    int retryMs = kFirstRetryMs;
    while (isCurrent(run)) {
        Socket listener = sockTcp();
        if (listener != kNoSocket && (!sockBind(listener, address, port) || !sockListen(listener, kListenBacklog))) {
            sockClose(listener);
            listener = kNoSocket;
        }
        if (listener == kNoSocket) {
            if (!waitToRetry(run, kTcpEndPortBusy, &retryMs)) return;
            continue;
        }
        retryMs = kFirstRetryMs;
        setState(run, kTcpListening, [] { app.tcp.listens.fetch_add(1); });
        while (isCurrent(run)) {
            if (!sockWaitReadable(listener, kReadSliceMs)) continue;
            char peer[64];
            Socket s = sockAccept(listener, peer, sizeof peer);
            if (s == kNoSocket) continue;
            sockKeepAlive(s);
            int flowed = 0;
            int end = readConnection(s, run, &flowed, peer, listener);
            setState(run, kTcpListening, [&] {
                app.tcp.lastEnd.store(end);
                app.tcp.ended.fetch_add(1);
            });
        }
        sockClose(listener);
    }
}

void sourceThread(void* argument) {
    const unsigned run = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(argument));
    char host[kNameSize];
    int listen;
    {
        TextGuard guard(app.tcp.textLock);
        listen = app.tcp.chosen.load() == kTcpChoiceListen;
        // An IPv6 address may be written in brackets, as in "[::1]:30005".
        const char* h = app.tcp.host;
        int n = static_cast<int>(std::strlen(h));
        if (n >= 2 && h[0] == '[' && h[n - 1] == ']')
            copyText(host, n - 1, h + 1);
        else
            copyText(host, sizeof host, h);
    }
    const std::uint16_t port = app.tcp.port.load();
    if (listen) {
        // The settings let only "" or a dotted address through.
        std::uint32_t address = 0;
        if (host[0] && !sockParseAddress(host, &address)) address = 0;
        listenThread(run, address, port);
        return;
    }
    int retryMs = kFirstRetryMs;
    while (setState(run, kTcpConnecting)) {
        int failure = 0;
        char peer[64];
        Socket s = kNoSocket;
        int end = kTcpEndLookupBusy;
        if (takeLookup(run)) {
            s = sockConnectHost(host, port, kConnectTimeoutMs, keepTrying, &run, peer, sizeof peer, &failure);
            app.tcp.lookupRun.store(0);
            end = endOfFailure(failure);
        }
        int flowed = 0;
        if (s != kNoSocket) end = readConnection(s, run, &flowed, peer, kNoSocket);
        // Bytes flowed: the far end works, and the next connect is tried soon.
        if (flowed) retryMs = kFirstRetryMs;
        if (!waitToRetry(run, end, &retryMs)) return;
    }
}

void releaseLeftThreads() {
    for (ThreadHandle& left : app.tcp.leftThreads) {
        if (left != kNoThread && threadJoinTimed(left, 0)) left = kNoThread;
    }
}

// A thread that did not end at once is kept to be released later. With every
// place taken, one that is not inside the resolver is waited for: it ends
// within one of its waits. The one inside the resolver is never waited for.
void leaveThread(ThreadHandle t, unsigned run) {
    releaseLeftThreads();
    int slot = -1;
    for (int i = 0; i < kTcpLeftThreads && slot < 0; ++i)
        if (app.tcp.leftThreads[i] == kNoThread) slot = i;
    for (int i = 0; i < kTcpLeftThreads && slot < 0; ++i) {
        if (app.tcp.leftRuns[i] == app.tcp.lookupRun.load()) continue;
        threadJoin(app.tcp.leftThreads[i]);
        slot = i;
    }
    if (slot < 0) {
        // Not reached: only one thread at a time is inside the resolver.
        threadJoin(t);
        return;
    }
    app.tcp.leftThreads[slot] = t;
    app.tcp.leftRuns[slot] = run;
}

int writeText(const char* text) { return writeTcpSource(text, static_cast<int>(std::strlen(text))); }

void writeMode(int value) {
    char command[16];
    writeTcpSource(command, receiverModeCommand(value, command, sizeof command));
}

// A new connection, a lost one or a failed attempt, told once.
void tellNews();

}  // namespace

void startTcpSource() {
    stopTcpSource();
    unsigned run;
    {
        TextGuard guard(app.tcp.textLock);
        run = app.tcp.run.fetch_add(1) + 1;
        app.tcp.state.store(kTcpConnecting);
        app.tcp.lastEnd.store(kTcpEndNone);
    }
    app.tcp.connectionsSeen = app.tcp.connections.load();
    app.tcp.listensSeen = app.tcp.listens.load();
    app.tcp.endedSeen = app.tcp.ended.load();
    app.tcp.refusedSeen = app.tcp.refused.load();
    app.tcp.toldWaiting = 0;
    app.tcp.toldEnd = -1;
    tcpSourceName(app.tcp.runningName, sizeof app.tcp.runningName);
    app.tcp.runningChoice = app.tcp.chosen.load();
    app.tcp.thread = threadStart(sourceThread, reinterpret_cast<void*>(static_cast<std::uintptr_t>(run)));
}

void stopTcpSource() {
    app.tcp.startTicks = -1;
    releaseLeftThreads();
    if (app.tcp.thread == kNoThread) return;
    unsigned ended;
    {
        TextGuard guard(app.tcp.textLock);
        ended = app.tcp.run.fetch_add(1);
        app.tcp.state.store(kTcpOff);
    }
    while (app.tcp.handing.load() > 0) sleepMs(1);
    // A thread inside the resolver may stay there for as long as the resolver
    // likes: it is not waited for. Any other ends within one of its waits.
    int inLookup = app.tcp.lookupRun.load() == ended;
    if (!threadJoinTimed(app.tcp.thread, inLookup ? 0 : kStopWaitMs)) leaveThread(app.tcp.thread, ended);
    app.tcp.thread = kNoThread;
    uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName, LinkState::kRemoved, "");
}

void stopTcpSourceAtShutdown() {
    // Lets the receiver take the stop command before the connection drops.
    if (app.binaryMode.load() == 0 && app.tcp.socket.load() != kNoSocket && writeText("#43-00\n")) sleepMs(1000);
    stopTcpSource();
}

int writeTcpSource(const void* data, int count) {
    // Counted before the socket is read: the thread clears the socket first and
    // then waits for the count, so a write either sees no socket or ends first.
    app.tcp.writers.fetch_add(1);
    Socket s = app.tcp.socket.load();
    int ok = 0, stuckNow = 0;
    if (s != kNoSocket && receiverWriteMayTry()) {
        const char* bytes = static_cast<const char*>(data);
        std::int64_t deadline = monotonicMs() + kSerialWriteDeadlineMs;
        int sent = 0;
        while (sent < count) {
            std::int64_t left = deadline - monotonicMs();
            if (left <= 0 || !sockWaitWritable(s, static_cast<int>(left))) break;
            int n = sockSend(s, bytes + sent, count - sent < kWriteChunk ? count - sent : kWriteChunk);
            if (n <= 0) break;
            sent += n;
        }
        ok = sent == count;
        stuckNow = receiverWriteEnded(ok);
    }
    app.tcp.writers.fetch_sub(1);
    if (stuckNow) uiNotice("ТСР источник не принимает данные: запись прервана");
    return ok;
}

void tcpSourceTick() {
    releaseLeftThreads();
    if (app.tcp.thread != kNoThread) tellNews();
}

namespace {

// The listening source's own news: the port listens, a peer's connection ended,
// a peer was refused. Told before a new connection, which may follow at once.
void tellListenNews() {
    unsigned listens = app.tcp.listens.load();
    if (listens != app.tcp.listensSeen) {
        app.tcp.listensSeen = listens;
        app.tcp.toldEnd = -1;
        char detail[64];
        std::snprintf(detail, sizeof detail, "port %u", static_cast<unsigned>(app.tcp.port.load()));
        uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName, LinkState::kListening, detail);
    }
    unsigned ended = app.tcp.ended.load();
    if (ended != app.tcp.endedSeen) {
        app.tcp.endedSeen = ended;
        app.tcp.startTicks = -1;
        char detail[kNameSize];
        std::snprintf(detail, sizeof detail, "%s; waiting for the next", tcpSourceEndText(app.tcp.lastEnd.load()));
        uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName, LinkState::kLost, detail);
    }
    unsigned refused = app.tcp.refused.load();
    if (refused != app.tcp.refusedSeen) {
        unsigned more = refused - app.tcp.refusedSeen - 1;
        app.tcp.refusedSeen = refused;
        char who[sizeof app.tcp.refusedPeer], holder[sizeof app.tcp.peer];
        {
            TextGuard guard(app.tcp.textLock);
            copyText(who, sizeof who, app.tcp.refusedPeer);
            copyText(holder, sizeof holder, app.tcp.peer);
        }
        char detail[kNameSize];
        if (more)
            std::snprintf(detail, sizeof detail, "%s and %u more: %s is connected", who, more, holder);
        else
            std::snprintf(detail, sizeof detail, "%s: %s is connected", who, holder);
        uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName, LinkState::kRefused, detail);
    }
}

void tellNews() {
    if (app.tcp.runningChoice == kTcpChoiceListen) tellListenNews();
    unsigned made = app.tcp.connections.load();
    if (made != app.tcp.connectionsSeen) {
        app.tcp.connectionsSeen = made;
        app.tcp.toldEnd = -1;
        char peer[sizeof app.tcp.peer];
        {
            TextGuard guard(app.tcp.textLock);
            copyText(peer, sizeof peer, app.tcp.peer);
        }
        uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName, LinkState::kConnected, peer);
        // A receiver behind ser2net is started as a local one: the second command
        // a second after the first, counted in ticks so the window never waits.
        if (app.binaryMode.load() == 0 && writeText("#00\n")) app.tcp.startTicks = kStartPauseTicks;
    }
    if (app.tcp.startTicks > 0 && --app.tcp.startTicks == 0) {
        app.tcp.startTicks = -1;
        writeMode(0x12);
    }
    if (app.tcp.state.load() != kTcpWaiting) {
        app.tcp.toldWaiting = 0;
    } else if (!app.tcp.toldWaiting) {
        app.tcp.toldWaiting = 1;
        app.tcp.startTicks = -1;
        // An attempt that fails as the one before did is no news.
        int end = app.tcp.lastEnd.load();
        if (end == app.tcp.toldEnd) return;
        app.tcp.toldEnd = end;
        char detail[kNameSize];
        std::snprintf(detail, sizeof detail, "%s; trying again in %d s", tcpSourceEndText(end), tcpSourceRetrySeconds());
        uiLinkChanged(LinkKind::kTcpSource, app.tcp.runningName,
                      end >= kTcpEndClosed && end <= kTcpEndBroken ? LinkState::kLost : LinkState::kFailed, detail);
    }
}

}  // namespace

void tcpSourceName(char* out, int capacity) {
    char host[kNameSize];
    {
        TextGuard guard(app.tcp.textLock);
        copyText(host, sizeof host, app.tcp.host);
    }
    if (app.tcp.chosen.load() == kTcpChoiceListen && host[0] == '\0') copyText(host, sizeof host, "0.0.0.0");
    const char* format = std::strchr(host, ':') && host[0] != '[' ? "[%s]:%u" : "%s:%u";
    std::snprintf(out, static_cast<std::size_t>(capacity), format, host, static_cast<unsigned>(app.tcp.port.load()));
}

void writeTcpSourceStatus(char* out, int capacity) {
    if (capacity <= 0) return;
    out[0] = '\0';
    if (!app.tcp.chosen.load()) return;
    char name[kNameSize + 16], state[64];
    if (app.tcp.chosen.load() == kTcpChoiceListen) {
        unsigned port = app.tcp.port.load();
        char peer[sizeof app.tcp.peer];
        {
            TextGuard guard(app.tcp.textLock);
            copyText(peer, sizeof peer, app.tcp.peer);
        }
        switch (app.tcp.state.load()) {
            case kTcpConnected:
            case kTcpReading: std::snprintf(out, static_cast<std::size_t>(capacity), "Источник: ТСР, подключен %s", peer); break;
            case kTcpWaiting:
                std::snprintf(out, static_cast<std::size_t>(capacity), "Источник: ТСР, порт %u занят, повтор через %d с",
                              port, tcpSourceRetrySeconds());
                break;
            default: std::snprintf(out, static_cast<std::size_t>(capacity), "Источник: ТСР, ждем на порту %u", port); break;
        }
        return;
    }
    tcpSourceName(name, sizeof name);
    switch (app.tcp.state.load()) {
        case kTcpConnecting: copyText(state, sizeof state, "Идет установление связи"); break;
        case kTcpConnected:
        case kTcpReading: copyText(state, sizeof state, "Соединение"); break;
        case kTcpWaiting:
            std::snprintf(state, sizeof state, "Нет связи, повтор через %d с", tcpSourceRetrySeconds());
            break;
        default: copyText(state, sizeof state, "Нет связи"); break;
    }
    std::snprintf(out, static_cast<std::size_t>(capacity), "Источник: ТСР %s  %s", name, state);
}

const char* tcpSourceEndText(int end) {
    switch (end) {
        case kTcpEndNoName: return "the host name resolves nowhere";
        case kTcpEndRefused: return "connection refused";
        case kTcpEndTimedOut: return "no answer";
        case kTcpEndFailed: return "cannot connect";
        case kTcpEndClosed: return "closed by the far end";
        case kTcpEndSilent: return "silent, replaced";
        case kTcpEndBroken: return "connection broken";
        case kTcpEndLookupBusy: return "the name lookup before this one has not returned";
        case kTcpEndPortBusy: return "cannot listen: the port is in use";
        default: return "";
    }
}

int tcpSourceRetrySeconds() {
    std::int64_t left = app.tcp.retryAtMs.load() - monotonicMs();
    int seconds = static_cast<int>((left + 999) / 1000);
    return seconds < 1 ? 1 : seconds;
}
