// The relay's fan-out thread and its ring.
//
// Why windows: every send is its own TCP segment (relay clients have no Nagle
// delay, so a closed window leaves at once), and a busy site delivers some 5,000
// frames a second one by one. Sent as they come, 100 clients cost half a million
// sends a second; gathered for kRelayWindowMs, at most a few hundred sends per
// client. Bytes that come after a quiet spell leave at once; bytes that come less
// than a window after the last round of sends began wait until a window has
// passed since then, or until kRelayWindowLimit bytes wait: so no byte waits
// longer than the window plus one round of sends, and a quiet stream waits for
// nothing. The window is kRelayWindowPerClientUs per client up to kRelayWindowMs,
// since what costs is sends, frames times clients: one client gets every frame as
// it comes.
//
// Threads: the sources append under the ring's lock and wake the fan-out thread
// when the ring was empty or a window is full; the fan-out thread alone reads the
// ring, sends and advances `sent`; the main thread starts and stops it and frees
// client entries (see relay_server.cpp for the `sending` handshake that keeps a
// send away from a closed socket).
//
// Every client gets every window sent while it relays, whole or not at all: a
// client that does not take a whole window is dropped (its send buffer is fixed at
// kRelaySendBuffer, so that is a client some 0.85 s behind a full line). A client
// that joins while a window is open gets that window from its first byte, then
// every window after it: a stream without holes from (a little before) its join on.
//
// The other-format port's clients have a ring and a fan-out thread of their own,
// filled by the decoder with each frame in the other form; both threads follow
// the same rules, each for its own clients.
#include "net/relay_fanout.h"

#include "core/app_state.h"
#include "net/relay_server.h"

namespace {

// How long an idle fan-out thread sleeps between looks at a stop.
constexpr int kIdleWaitMs = 100;

// Which clients a ring's fan-out thread serves: the main port's (0) or the
// other-format port's (1).
int formatOf(const RelayRing& r) { return &r == &app.otherRing ? 1 : 0; }
int servedBy(const ClientEntry& e, int format) { return e.other.load() == format; }

// Takes the client out of relaying and asks the main thread to free it. Fan-out
// thread.
void dropClient(ClientEntry& e, Socket s) {
    e.relaying.store(0);
    app.clients.drops.fetch_add(1);
    if (!e.dropped.exchange(1)) sockPostEvent(app.mainWindow, kMsgRelayClient, s, kEventRelayDrop);
}

// The ring ran full: whatever it held is passed over and every client goes, since
// each would otherwise miss the bytes that found no room.
void dropEveryClient(RelayRing& r) {
    int format = formatOf(r);
    for (ClientEntry& e : app.clients.entries) {
        if (!e.relaying.load() || !servedBy(e, format)) continue;
        dropClient(e, e.socket.load());
    }
    r.sent.store(r.queued.load());
}

// One window to every relaying client, one non-blocking send each. Fan-out thread.
void sendWindow(RelayRing& r, const unsigned char* data, int count) {
    int format = formatOf(r);
    for (ClientEntry& e : app.clients.entries) {
        if (!e.relaying.load() || !servedBy(e, format)) continue;
        e.sending.store(1);
        if (e.relaying.load()) {
            Socket s = e.socket.load();
            int n = sockSend(s, data, count);
            // A short send still reached the client: its bytes are counted
            // before it is dropped for the rest.
            if (n > 0) {
                e.bytesSent.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
                r.bytesSent.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
            }
            if (n != count) dropClient(e, s);
        }
        e.sending.store(0);
    }
}

// Sends what is pending from sent on, up to kRelaySendLimit and the ring's end,
// straight from the ring (the sources write only past queued), and moves sent past
// it. A window that wraps leaves in two sends, one after the other to every
// client. Fan-out thread.
void sendPending(RelayRing& r) {
    std::uint64_t sent = r.sent.load();
    std::uint64_t pending = r.queued.load() - sent;
    int at = static_cast<int>(sent % kRelayRingSize);
    int count = pending < static_cast<std::uint64_t>(kRelaySendLimit) ? static_cast<int>(pending) : kRelaySendLimit;
    if (count > kRelayRingSize - at) count = kRelayRingSize - at;
    if (count <= 0) return;
    sendWindow(r, r.bytes + at, count);
    r.windows.fetch_add(1);
    r.sent.store(sent + static_cast<std::uint64_t>(count));
}

// Clients one ring serves now.
int servedCount(const RelayRing& r) {
    int other = app.clients.joinedOther.load();
    return formatOf(r) ? other : app.clients.joined.load() - other;
}

void fanOutThread(void* ring) {
    RelayRing& r = *static_cast<RelayRing*>(ring);
    EventHandle wake = r.wake.load();
    std::int64_t lastSendUs = 0;
    while (r.running.load()) {
        if (r.overrun.exchange(0)) {
            dropEveryClient(r);
            continue;
        }
        std::uint64_t pending = r.queued.load() - r.sent.load();
        if (pending == 0) {
            // Said before the last look, so a source that appends after it sees
            // idle and wakes us.
            r.idle.store(1);
            if (r.queued.load() == r.sent.load() && !r.overrun.load()) eventWait(wake, kIdleWaitMs);
            r.idle.store(0);
            continue;
        }
        // Bytes after a quiet spell leave at once. Bytes that come within a window
        // of the last round's start gather until the window is over, or until a
        // source says it is full (or a stop comes): at most one send per client
        // and window. The window is kept from the round's start, not its end, and
        // a rest under half a millisecond is not waited for (a timer's slack is as
        // long): a reader that gathers hands on once a window, just as the window
        // ends, and its bytes must not wait a second window here.
        std::int64_t windowUs = static_cast<std::int64_t>(servedCount(r)) * kRelayWindowPerClientUs;
        if (windowUs > 1000 * kRelayWindowMs) windowUs = 1000 * kRelayWindowMs;
        std::int64_t waitUs = lastSendUs + windowUs - monotonicUs();
        if (waitUs >= 500 && pending < static_cast<std::uint64_t>(kRelayWindowLimit))
            eventWait(wake, static_cast<int>((waitUs + 500) / 1000));
        lastSendUs = monotonicUs();
        sendPending(r);
    }
    // The stop: what is left still goes out, within the ring's bound.
    while (!r.overrun.load() && r.queued.load() != r.sent.load()) sendPending(r);
}

// Copies the block into the ring if it fits; pending: what the ring held before.
// Sources, under the ring's lock for the copy alone.
bool appendToRing(RelayRing& r, const unsigned char* data, int count, std::uint64_t& pending) {
    TextGuard guard(r.lock);
    std::uint64_t queued = r.queued.load(std::memory_order_relaxed);
    pending = queued - r.sent.load();
    if (pending + static_cast<std::uint64_t>(count) > static_cast<std::uint64_t>(kRelayRingSize)) return false;
    ringCopyIn(r.bytes, kRelayRingSize, queued, data, static_cast<std::size_t>(count));
    r.queued.store(queued + static_cast<std::uint64_t>(count));
    return true;
}

}  // namespace

namespace {

void relayToRing(RelayRing& r, const unsigned char* data, int count) {
    if (count <= 0 || servedCount(r) <= 0) return;
    std::uint64_t pending = 0;
    // A full ring with the fan-out thread running means a source faster than the
    // thread's sends (which never wait for a client): the source waits for room a
    // little, as it did when it made the sends itself, and only then lets go.
    int waited = 0;
    bool fits = false;
    while (!(fits = appendToRing(r, data, count, pending))) {
        if (count > kRelayRingSize || waited >= kRelayRoomWaitMs || !r.running.load() || r.overrun.load()) break;
        eventSet(r.wake.load());
        sleepMs(1);
        ++waited;
    }
    if (!fits) {
        r.overruns.fetch_add(static_cast<std::uint64_t>(count));
        r.overrun.store(1);
        eventSet(r.wake.load());
        return;
    }
    // Woken once per window: on its first byte, and when it fills.
    std::uint64_t limit = kRelayWindowLimit;
    if ((r.idle.load() && r.idle.exchange(0)) || (pending < limit && pending + static_cast<std::uint64_t>(count) >= limit))
        eventSet(r.wake.load());
}

void startFanout(RelayRing& r) {
    if (r.thread != kNoThread) return;
    if (r.wake.load() == kNoEvent) r.wake.store(eventCreate());
    useFineTimer();
    r.overrun.store(0);
    r.sent.store(r.queued.load());
    r.running.store(1);
    r.thread = threadStart(fanOutThread, &r);
    if (r.thread == kNoThread) r.running.store(0);
}

void stopFanout(RelayRing& r) {
    if (r.thread == kNoThread) return;
    r.running.store(0);
    eventSet(r.wake.load());
    threadJoin(r.thread);
    r.thread = kNoThread;
}

}  // namespace

void relayToClients(const unsigned char* data, int count) { relayToRing(app.relayRing, data, count); }

void relayOtherFormat(const unsigned char* data, int count) { relayToRing(app.otherRing, data, count); }

int relayOtherFormatWanted() { return app.clients.joinedOther.load(std::memory_order_relaxed) > 0; }

void startRelayFanout() {
    startFanout(app.relayRing);
    if (app.otherPort.load()) startFanout(app.otherRing);
}

void stopRelayFanout() {
    stopFanout(app.relayRing);
    stopFanout(app.otherRing);
}
