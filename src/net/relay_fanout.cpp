// The relay's fan-out thread and its ring.
//
// Why windows: every send is its own TCP segment (relay clients have no Nagle
// delay, so a closed window leaves at once), and a busy site delivers some 5,000
// frames a second one by one. Sent as they come, 100 clients cost half a million
// sends a second; gathered for kRelayWindowMs, at most a few hundred sends per
// client. The window opens with its first byte and closes kRelayWindowMs later, or
// as soon as it holds kRelayWindowLimit bytes, so no byte waits longer than the
// window plus one round of sends.
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
#include "net/relay_fanout.h"

#include <cstring>

#include "core/app_state.h"
#include "net/relay_server.h"

namespace {

// How long an idle fan-out thread sleeps between looks at a stop.
constexpr int kIdleWaitMs = 100;

// Takes the client out of relaying and asks the main thread to free it. Fan-out
// thread.
void dropClient(ClientEntry& e, Socket s) {
    e.relaying.store(0);
    if (!e.dropped.exchange(1)) sockPostEvent(app.mainWindow, kMsgRelayClient, s, kEventRelayDrop);
}

// The ring ran full: whatever it held is passed over and every client goes, since
// each would otherwise miss the bytes that found no room.
void dropEveryClient(RelayRing& r) {
    for (ClientEntry& e : app.clients.entries) {
        if (!e.relaying.load()) continue;
        dropClient(e, e.socket.load());
    }
    r.sent.store(r.queued.load());
}

// One window to every relaying client, one non-blocking send each. Fan-out thread.
void sendWindow(const unsigned char* data, int count) {
    for (ClientEntry& e : app.clients.entries) {
        if (!e.relaying.load()) continue;
        e.sending.store(1);
        if (e.relaying.load()) {
            Socket s = e.socket.load();
            if (sockSend(s, data, count) != count) dropClient(e, s);
        }
        e.sending.store(0);
    }
}

// Copies up to kRelayWindowLimit bytes from sent on out of the ring into the
// window, sends them and moves sent past them. Fan-out thread.
void sendPending(RelayRing& r) {
    std::uint64_t sent = r.sent.load();
    std::uint64_t pending = r.queued.load() - sent;
    int count = pending < static_cast<std::uint64_t>(kRelayWindowLimit) ? static_cast<int>(pending) : kRelayWindowLimit;
    if (count <= 0) return;
    int at = static_cast<int>(sent % kRelayRingSize);
    int first = kRelayRingSize - at < count ? kRelayRingSize - at : count;
    std::memcpy(r.window, r.bytes + at, static_cast<std::size_t>(first));
    std::memcpy(r.window + first, r.bytes, static_cast<std::size_t>(count - first));
    sendWindow(r.window, count);
    r.windows.fetch_add(1);
    r.sent.store(sent + static_cast<std::uint64_t>(count));
}

void fanOutThread(void*) {
    RelayRing& r = app.relayRing;
    EventHandle wake = r.wake.load();
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
        // A window is open: it gathers until its time is up, or until a source
        // says it is full (or a stop comes).
        if (pending < static_cast<std::uint64_t>(kRelayWindowLimit)) eventWait(wake, r.windowMs);
        sendPending(r);
    }
    // The stop: what is left still goes out, within the ring's bound.
    while (!r.overrun.load() && r.queued.load() != r.sent.load()) sendPending(r);
}

}  // namespace

void relayToClients(const unsigned char* data, int count) {
    if (count <= 0 || app.clients.joined.load() == 0) return;
    RelayRing& r = app.relayRing;
    std::uint64_t pending = 0;
    int fits = 0;
    {
        TextGuard guard(r.lock);
        std::uint64_t queued = r.queued.load(std::memory_order_relaxed);
        pending = queued - r.sent.load();
        fits = pending + static_cast<std::uint64_t>(count) <= static_cast<std::uint64_t>(kRelayRingSize);
        if (fits) {
            int at = static_cast<int>(queued % kRelayRingSize);
            int first = kRelayRingSize - at < count ? kRelayRingSize - at : count;
            std::memcpy(r.bytes + at, data, static_cast<std::size_t>(first));
            std::memcpy(r.bytes, data + first, static_cast<std::size_t>(count - first));
            r.queued.store(queued + static_cast<std::uint64_t>(count));
        }
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

void startRelayFanout() {
    RelayRing& r = app.relayRing;
    if (r.thread != kNoThread) return;
    if (r.wake.load() == kNoEvent) r.wake.store(eventCreate());
    useFineTimer();
    r.overrun.store(0);
    r.sent.store(r.queued.load());
    r.running.store(1);
    r.thread = threadStart(fanOutThread, nullptr);
    if (r.thread == kNoThread) r.running.store(0);
}

void stopRelayFanout() {
    RelayRing& r = app.relayRing;
    if (r.thread == kNoThread) return;
    r.running.store(0);
    eventSet(r.wake.load());
    threadJoin(r.thread);
    r.thread = kNoThread;
}
