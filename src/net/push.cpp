// Push outputs: the input ring, the hub's thread with the stream ring and its
// frame marks, and one thread per target (see push.h).
//
// Threads and locks. The sources append to `in` under inLock (one copy) and wake
// the hub on a first byte. The hub alone moves bytes from `in` to the stream
// ring and marks the frame starts in it; it and the target threads share the
// stream, the marks and every target's position under hub.lock, each holding it
// for bounded work only: the hub for one chunk's copy and the backlogs' bounds,
// a target for one send call on its non-blocking socket. The main thread starts
// and stops the threads and sets a target's `stop` under the same lock, so that
// a stopped target tells nothing more.
//
// The stream ring holds twice the backlog: every target's position is kept
// within kPushBacklog of the head before a chunk is copied in, so the bytes a
// target has still to send are never overwritten. A frame start is marked at its
// escape (binary mode: 0x1A and a type byte) or at a line's first character
// (text mode); marks are at least kMinMarkGap apart (shorter lines count as one
// with the next) and at most kMaxFrame (a stream without frame starts is cut
// there), so the marks' ring covers the whole stream ring.
#include "net/push.h"

#include <cstdio>
#include <cstring>

#include "core/frontend.h"

namespace {

constexpr int kInRingSize = 256 * 1024;
constexpr int kStreamSize = 2 * kPushBacklog;
constexpr int kMaxFrame = 1024;
constexpr int kMinMarkGap = 8;
constexpr int kMarkCount = kStreamSize / kMinMarkGap;
constexpr int kChunk = 64 * 1024;  // what the hub copies at once: far less than a quarter backlog
constexpr int kSendLimit = 64 * 1024;
constexpr int kSlots = 2 * kPushTargets;  // the targets in use and those whose threads are ending
constexpr int kConnectTimeoutMs = 10000;
constexpr int kMostRetryMs = 60000;
// A connection that lived this long starts the back-off afresh.
constexpr std::int64_t kLongLinkMs = 60000;
constexpr int kWaitSliceMs = 100;
constexpr int kHubWaitMs = 100;
// The connection's send buffer in the system, fixed: the backlog is ours to
// bound, and a stall shows within the deadline rather than megabytes later.
constexpr int kTargetSendBuffer = 64 * 1024;
constexpr int kStopWaitMs = 1000;
const char kCutText[] = "the station could not keep up: the stream was cut";

std::atomic<int> stallLimitMs{30000};
std::atomic<int> firstRetryMs{2000};

struct Target {
    // Main thread.
    int used = 0;      // in use, as configured
    int retiring = 0;  // stopped; its thread has not ended yet
    int order = 0;     // its place in the configuration
    char text[kPushTargetTextSize] = "";
    char host[kNameSize] = "";
    std::uint16_t port = 0;
    ThreadHandle thread = kNoThread;
    EventHandle wake = kNoEvent;  // made once and kept: new bytes, a stop
    // Under hub.lock (stop also read without it).
    std::atomic<int> stop{0};
    int active = 0;                 // the hub bounds its backlog
    std::uint64_t pos = 0;          // the next stream byte to send
    std::uint64_t nextMark = 0;     // the first mark at or after pos
    int boundary = 0;               // a new connection: begins at a frame start
    int cut = 0;                    // the stream was cut: the connection is renewed
    unsigned char carry[kMaxFrame + 2 * kMinMarkGap];  // the rest of a frame being sent, set aside
    int carryLen = 0, carrySent = 0;
    int state = kPushConnecting;
    std::int64_t retryAtMs = 0;
    std::uint64_t bytesSent = 0, framesDropped = 0, bytesDropped = 0;
    unsigned connections = 0;
    char lastError[kNameSize] = "";
    int toldState = -1;             // the last change told, so that a failure like it is no news
    char toldError[kNameSize] = "";
};

struct Hub {
    unsigned char in[kInRingSize];
    std::atomic<std::uint64_t> queued{0};  // sources, under inLock
    std::atomic<std::uint64_t> taken{0};   // hub
    TextLock inLock;
    std::atomic<int> gap{0};               // sources found no room at gapAt; the hub clears it
    std::atomic<std::uint64_t> gapAt{0};
    std::atomic<int> wanted{0};            // a target is in use and the hub runs: sources copy
    EventHandle wake = kNoEvent;           // made once and kept
    std::atomic<int> running{0};
    ThreadHandle thread = kNoThread;       // main
    int started = 0;                       // main: pushStart has run

    TextLock lock;
    unsigned char stream[kStreamSize];
    std::uint64_t head = 0;
    std::uint64_t marks[kMarkCount];
    std::uint64_t markCount = 0;
    std::uint64_t lastMark = 0;
    int sinceMark = 0;   // bytes since the last mark
    int escape = 0;      // binary: the last byte was an escape not yet paired
    int lineEnd = 0;     // text: the last byte ended a line
    Target targets[kSlots];
};
Hub hub;

std::uint64_t mark(std::uint64_t i) { return hub.marks[i % kMarkCount]; }

// ---- the stream ring and its marks (under hub.lock) -------------------------

void addMark(std::uint64_t at, int forced) {
    if (!forced && hub.markCount && at - hub.lastMark < static_cast<std::uint64_t>(kMinMarkGap)) return;
    hub.marks[hub.markCount % kMarkCount] = at;
    ++hub.markCount;
    hub.lastMark = at;
    hub.sinceMark = 0;
}

void scan(const unsigned char* p, int n, std::uint64_t at, int binary) {
    for (int i = 0; i < n; ++i, ++at) {
        unsigned char b = p[i];
        if (binary) {
            if (hub.escape) {
                hub.escape = 0;
                if (b >= '1' && b <= '4') addMark(at - 1, 0);
            } else {
                hub.escape = b == 0x1A;
            }
        } else {
            if (hub.lineEnd && b != '\r' && b != '\n') addMark(at, 0);
            hub.lineEnd = b == '\r' || b == '\n';
        }
        if (++hub.sinceMark >= kMaxFrame) addMark(at, 1);
    }
}

// Keeps nextMark the first mark at or after pos (a mark is taken a byte late in
// binary mode, and old marks leave the ring).
void settle(Target& t) {
    if (t.nextMark + kMarkCount < hub.markCount) t.nextMark = hub.markCount - kMarkCount;
    while (t.nextMark < hub.markCount && mark(t.nextMark) < t.pos) ++t.nextMark;
}

int atBoundary(const Target& t) { return t.nextMark < hub.markCount && mark(t.nextMark) == t.pos; }

// Before the head moves to newHead: a backlog past the bound drops whole frames
// from its oldest end down to three quarters of it; the frame a connection is
// sending is finished from the carry.
void bound(Target& t, std::uint64_t newHead) {
    if (newHead - t.pos <= static_cast<std::uint64_t>(kPushBacklog)) return;
    settle(t);
    std::uint64_t want = newHead - kPushBacklog / 4 * 3;
    std::uint64_t lo = t.nextMark, hi = hub.markCount;
    while (lo < hi) {
        std::uint64_t mid = lo + (hi - lo) / 2;
        if (mark(mid) < want) lo = mid + 1;
        else hi = mid;
    }
    std::uint64_t from = t.pos;
    if (!atBoundary(t) && t.nextMark < hub.markCount) {
        std::uint64_t end = mark(t.nextMark);
        if (t.cut == 0 && t.state == kPushUp && !t.boundary && t.carrySent >= t.carryLen &&
            end - t.pos <= sizeof t.carry) {
            int n = static_cast<int>(end - t.pos);
            for (int i = 0; i < n; ++i) t.carry[i] = hub.stream[(t.pos + static_cast<std::uint64_t>(i)) % kStreamSize];
            t.carryLen = n;
            t.carrySent = 0;
        } else {
            ++t.framesDropped;  // the rest of a frame whose start went out on a connection gone
        }
        from = end;
    }
    if (lo == hub.markCount) {
        // Not reached: marks are at most kMaxFrame apart. Everything goes.
        t.framesDropped += hub.markCount - t.nextMark;
        t.bytesDropped += hub.head - from;
        t.pos = hub.head;
        t.nextMark = hub.markCount;
        t.boundary = 1;
        return;
    }
    t.framesDropped += lo - t.nextMark;
    t.bytesDropped += mark(lo) - from;
    t.pos = mark(lo);
    t.nextMark = lo;
}

void append(const unsigned char* p, int n) {
    std::uint64_t newHead = hub.head + static_cast<std::uint64_t>(n);
    for (Target& t : hub.targets)
        if (t.active) bound(t, newHead);
    ringCopyIn(hub.stream, kStreamSize, hub.head, p, static_cast<std::size_t>(n));
    scan(p, n, hub.head, app.binaryMode.load(std::memory_order_relaxed) != 0);
    hub.head = newHead;
}

// The bytes lost at the gap: every target resumes at the next frame start after
// it, on a new connection, and the marks begin afresh there.
void cutStream() {
    for (Target& t : hub.targets) {
        if (!t.active) continue;
        settle(t);
        t.bytesDropped += hub.head - t.pos + static_cast<std::uint64_t>(t.carryLen - t.carrySent);
        t.framesDropped += hub.markCount - t.nextMark + (t.carrySent < t.carryLen ? 1 : 0);
        t.pos = hub.head;
        t.nextMark = hub.markCount;
        t.carryLen = t.carrySent = 0;
        t.boundary = 1;
        if (t.state == kPushUp) t.cut = 1;
    }
    hub.escape = 0;
    hub.lineEnd = 0;
}

// ---- the hub's thread ------------------------------------------------------

void wakeTargets() {
    for (Target& t : hub.targets)
        if (t.used && t.wake != kNoEvent) eventSet(t.wake);
}

void hubThread(void*) {
    while (hub.running.load()) {
        std::uint64_t taken = hub.taken.load();
        std::uint64_t queued = hub.queued.load();
        int gap = hub.gap.load();
        std::uint64_t until = gap ? hub.gapAt.load() : queued;
        if (taken == until) {
            if (gap) {
                {
                    TextGuard guard(hub.lock);
                    cutStream();
                }
                hub.gap.store(0);
                wakeTargets();
                continue;
            }
            eventWait(hub.wake, kHubWaitMs);
            continue;
        }
        while (taken != until) {
            int at = static_cast<int>(taken % kInRingSize);
            std::uint64_t left = until - taken;
            int n = left < static_cast<std::uint64_t>(kChunk) ? static_cast<int>(left) : kChunk;
            if (n > kInRingSize - at) n = kInRingSize - at;
            {
                TextGuard guard(hub.lock);
                append(hub.in + at, n);
            }
            taken += static_cast<std::uint64_t>(n);
            hub.taken.store(taken);
        }
        wakeTargets();
    }
}

// ---- a target's thread -----------------------------------------------------

int keepTrying(const void* target) { return !static_cast<const Target*>(target)->stop.load(); }

const char* failureText(int failure) {
    switch (failure) {
        case kConnectNoName: return "the host name resolves nowhere";
        case kConnectRefused: return "connection refused";
        case kConnectTimedOut: return "no answer";
        default: return "cannot connect";
    }
}

// Tells a change unless the target has been stopped; a failure like the last
// one told is no news. The target's thread.
void tell(Target& t, LinkState state, const char* why, const char* detail) {
    TextGuard guard(hub.lock);
    if (t.stop.load()) return;
    if (state == LinkState::kFailed && t.toldState == static_cast<int>(state) && std::strcmp(t.toldError, why) == 0)
        return;
    t.toldState = static_cast<int>(state);
    copyText(t.toldError, kNameSize, why);
    uiLinkChanged(LinkKind::kPush, t.text, state, detail);
}

// One send call from the carry or the stream: bytes taken, 0 with nothing to
// send, -1 when the socket took nothing. Under hub.lock.
int sendSome(Target& t, Socket s) {
    settle(t);
    if (t.boundary) {
        if (!atBoundary(t)) {
            if (t.nextMark >= hub.markCount) return 0;  // the next frame has not begun
            std::uint64_t m = mark(t.nextMark);
            t.bytesDropped += m - t.pos;
            ++t.framesDropped;
            t.pos = m;
        }
        t.boundary = 0;
    }
    int n;
    if (t.carrySent < t.carryLen) {
        n = sockSend(s, t.carry + t.carrySent, t.carryLen - t.carrySent);
        if (n > 0) t.carrySent += n;
    } else {
        std::uint64_t pending = hub.head - t.pos;
        if (pending == 0) return 0;
        int at = static_cast<int>(t.pos % kStreamSize);
        int count = pending < static_cast<std::uint64_t>(kSendLimit) ? static_cast<int>(pending) : kSendLimit;
        if (count > kStreamSize - at) count = kStreamSize - at;
        n = sockSend(s, hub.stream + at, count);
        if (n > 0) t.pos += static_cast<std::uint64_t>(n);
    }
    if (n <= 0) return -1;
    t.bytesSent += static_cast<std::uint64_t>(n);
    return n;
}

// Sends while the connection lasts; why it ended.
const char* serve(Target& t, Socket s, char* why, int capacity) {
    std::int64_t lastTaken = monotonicMs();
    int refusedWithRoom = 0;
    char discard[1024];
    for (;;) {
        if (t.stop.load()) return "stopped";
        int r, cut;
        {
            TextGuard guard(hub.lock);
            cut = t.cut;
            r = cut ? 0 : sendSome(t, s);
        }
        if (cut) return kCutText;
        if (r > 0) {
            lastTaken = monotonicMs();
            refusedWithRoom = 0;
            continue;
        }
        // What the far end says is read and dropped; its close ends the connection.
        if (sockWaitReadable(s, 0)) {
            int n = sockRecv(s, discard, sizeof discard);
            if (n == 0) return "closed by the far end";
            if (n < 0) return "connection broken";
        }
        if (r == 0) {
            lastTaken = monotonicMs();  // the deadline runs only while data waits
            eventWait(t.wake, kWaitSliceMs);
            continue;
        }
        if (monotonicMs() - lastTaken >= stallLimitMs.load()) {
            std::snprintf(why, static_cast<std::size_t>(capacity), "took nothing for %d s",
                          (stallLimitMs.load() + 999) / 1000);
            return why;
        }
        // A socket that reports room and still takes nothing twice has failed.
        if (sockWaitWritable(s, kWaitSliceMs)) {
            if (refusedWithRoom) return "connection broken";
            refusedWithRoom = 1;
        }
    }
}

// Waits ms (new bytes wake the target, but do not end the wait); 0 once stopped.
int pause(Target& t, int ms) {
    std::int64_t until = monotonicMs() + ms;
    for (std::int64_t left = ms; left > 0; left = until - monotonicMs()) {
        if (t.stop.load()) return 0;
        eventWait(t.wake, left < kWaitSliceMs ? static_cast<int>(left) : kWaitSliceMs);
    }
    return !t.stop.load();
}

void targetThread(void* argument) {
    Target& t = *static_cast<Target*>(argument);
    std::uint32_t seed = static_cast<std::uint32_t>(monotonicUs()) * 2654435761u + static_cast<std::uint32_t>(t.order);
    int retryMs = firstRetryMs.load();
    while (!t.stop.load()) {
        {
            TextGuard guard(hub.lock);
            t.state = kPushConnecting;
        }
        int failure = 0;
        char peer[64] = "";
        Socket s = sockConnectHost(t.host, t.port, kConnectTimeoutMs, keepTrying, &t, peer, sizeof peer, &failure);
        if (t.stop.load()) {
            if (s != kNoSocket) sockClose(s);
            return;
        }
        char whyText[96];
        const char* why;
        int wasUp = s != kNoSocket;
        if (!wasUp) {
            why = failureText(failure);
        } else {
            sockSetNonBlocking(s);
            sockSetNoDelay(s);
            sockSetSendBuffer(s, kTargetSendBuffer);
            {
                TextGuard guard(hub.lock);
                t.state = kPushUp;
                t.boundary = 1;
                t.cut = 0;
                ++t.connections;
            }
            tell(t, LinkState::kConnected, "", peer);
            std::int64_t upAt = monotonicMs();
            why = serve(t, s, whyText, sizeof whyText);
            {
                TextGuard guard(hub.lock);
                t.state = kPushConnecting;
                if (t.carrySent < t.carryLen) {
                    ++t.framesDropped;
                    t.bytesDropped += static_cast<std::uint64_t>(t.carryLen - t.carrySent);
                }
                t.carryLen = t.carrySent = 0;
                t.boundary = 1;
            }
            sockClose(s);
            if (t.stop.load()) return;
            if (monotonicMs() - upAt >= kLongLinkMs) retryMs = firstRetryMs.load();
        }
        // The jitter takes up to a quarter off, so that targets failing together
        // (a network down) do not come back in step.
        seed = seed * 1664525u + 1013904223u;
        int wait = why == kCutText ? 0 : retryMs - static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(retryMs / 4 + 1));
        {
            TextGuard guard(hub.lock);
            t.state = kPushWaiting;
            t.retryAtMs = monotonicMs() + wait;
            copyText(t.lastError, kNameSize, why);
        }
        char detail[kNameSize];
        std::snprintf(detail, sizeof detail, "%s; trying again in %d s", why, (wait + 999) / 1000);
        tell(t, wasUp ? LinkState::kLost : LinkState::kFailed, why, detail);
        if (!pause(t, wait)) return;
        if (why != kCutText) retryMs = retryMs >= kMostRetryMs / 2 ? kMostRetryMs : retryMs * 2;
    }
}

// ---- the main thread's side --------------------------------------------------

void startTarget(Target& t) {
    if (t.wake == kNoEvent) t.wake = eventCreate();
    t.thread = threadStart(targetThread, &t);
}

// Ends a target: told as removed at once; its thread is released when it ends.
void retire(Target& t) {
    {
        TextGuard guard(hub.lock);
        t.stop.store(1);
        t.active = 0;
    }
    if (t.wake != kNoEvent) eventSet(t.wake);
    uiLinkChanged(LinkKind::kPush, t.text, LinkState::kRemoved, "");
    t.used = 0;
    if (t.thread == kNoThread) return;
    if (threadJoinTimed(t.thread, kStopWaitMs)) {
        t.thread = kNoThread;
        return;
    }
    t.retiring = 1;
}

void releaseEnded(int wait) {
    for (Target& t : hub.targets) {
        if (!t.retiring) continue;
        if (wait) threadJoin(t.thread);
        else if (!threadJoinTimed(t.thread, 0)) continue;
        t.thread = kNoThread;
        t.retiring = 0;
    }
}

Target* findTarget(const char* text) {
    for (Target& t : hub.targets)
        if (t.used && std::strcmp(t.text, text) == 0) return &t;
    return nullptr;
}

void updateWanted() {
    int any = 0;
    for (Target& t : hub.targets) any |= t.used;
    int want = any && hub.running.load();
    if (want && !hub.wanted.load()) {
        // The stream was not followed while nobody wanted it: the next frame start
        // is looked for afresh.
        TextGuard guard(hub.lock);
        hub.escape = 0;
        hub.lineEnd = 0;
    }
    hub.wanted.store(want);
}

// "host:port" or "[v6]:port" into its parts; 1 when it is one.
int splitTarget(const char* text, char* host, int capacity, std::uint16_t* port) {
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon == text) return 0;
    int hostLength = static_cast<int>(colon - text);
    const char* h = text;
    if (text[0] == '[') {
        if (colon[-1] != ']') return 0;
        h = text + 1;
        hostLength -= 2;
    } else {
        for (const char* p = text; p < colon; ++p)
            if (*p == ':' || *p == '[' || *p == ']') return 0;  // IPv6 without brackets
    }
    if (hostLength <= 0 || hostLength >= capacity) return 0;
    for (int i = 0; i < hostLength; ++i)
        if (static_cast<unsigned char>(h[i]) <= ' ') return 0;
    long value = 0;
    const char* p = colon + 1;
    if (!*p) return 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9' || value > 65535) return 0;
        value = value * 10 + (*p - '0');
    }
    if (value < 1 || value > 65535) return 0;
    std::memcpy(host, h, static_cast<std::size_t>(hostLength));
    host[hostLength] = '\0';
    *port = static_cast<std::uint16_t>(value);
    return 1;
}

}  // namespace

int pushParseTarget(const char* text, char* host, int capacity, std::uint16_t* port) {
    return splitTarget(text, host, capacity, port);
}

void pushToTargets(const unsigned char* data, int count) {
    if (count <= 0 || !hub.wanted.load(std::memory_order_relaxed)) return;
    std::uint64_t pending;
    {
        TextGuard guard(hub.inLock);
        // After a gap nothing is taken until the hub has cut the stream there.
        if (hub.gap.load()) return;
        std::uint64_t queued = hub.queued.load(std::memory_order_relaxed);
        pending = queued - hub.taken.load();
        if (pending + static_cast<std::uint64_t>(count) > static_cast<std::uint64_t>(kInRingSize)) {
            hub.gapAt.store(queued);
            hub.gap.store(1);
            pending = 0;
        } else {
            ringCopyIn(hub.in, kInRingSize, queued, data, static_cast<std::size_t>(count));
            hub.queued.store(queued + static_cast<std::uint64_t>(count));
        }
    }
    if (pending == 0) eventSet(hub.wake);
}

void pushStart() {
    if (hub.started) return;
    hub.started = 1;
    if (hub.wake == kNoEvent) hub.wake = eventCreate();
    hub.taken.store(hub.queued.load());
    hub.gap.store(0);
    hub.running.store(1);
    hub.thread = threadStart(hubThread, nullptr);
    if (hub.thread == kNoThread) hub.running.store(0);
    for (Target& t : hub.targets)
        if (t.used && t.thread == kNoThread) startTarget(t);
    updateWanted();
}

int pushApply(const char* const* targets, int count) {
    if (count > kPushTargets) count = kPushTargets;
    int changes = 0;
    for (Target& t : hub.targets) {
        if (!t.used) continue;
        int listed = 0;
        for (int i = 0; i < count && !listed; ++i) listed = std::strcmp(t.text, targets[i]) == 0;
        if (listed) continue;
        retire(t);
        ++changes;
    }
    for (int i = 0; i < count; ++i) {
        if (Target* kept = findTarget(targets[i])) {
            kept->order = i;
            continue;
        }
        char host[kNameSize];
        std::uint16_t port;
        if (!splitTarget(targets[i], host, sizeof host, &port)) continue;
        Target* slot = nullptr;
        for (int pass = 0; pass < 2 && !slot; ++pass) {
            releaseEnded(pass);
            for (Target& t : hub.targets)
                if (!t.used && !t.retiring && !slot) slot = &t;
        }
        if (!slot) break;
        Target& t = *slot;
        t.used = 1;
        t.order = i;
        copyText(t.text, kPushTargetTextSize, targets[i]);
        copyText(t.host, kNameSize, host);
        t.port = port;
        {
            TextGuard guard(hub.lock);
            t.stop.store(0);
            t.active = 1;
            t.pos = hub.head;
            t.nextMark = hub.markCount;
            t.boundary = 1;
            t.cut = 0;
            t.carryLen = t.carrySent = 0;
            t.state = kPushConnecting;
            t.retryAtMs = 0;
            t.bytesSent = t.framesDropped = t.bytesDropped = 0;
            t.connections = 0;
            t.lastError[0] = '\0';
            t.toldState = -1;
            t.toldError[0] = '\0';
        }
        if (hub.started) startTarget(t);
        ++changes;
    }
    updateWanted();
    return changes;
}

int pushTargetsInUse(char (*out)[kPushTargetTextSize], int capacity) {
    int n = 0;
    for (int order = 0; order < kSlots && n < capacity; ++order)
        for (Target& t : hub.targets)
            if (t.used && t.order == order && n < capacity) copyText(out[n++], kPushTargetTextSize, t.text);
    return n;
}

void pushTick() { releaseEnded(0); }

void pushStop() {
    hub.wanted.store(0);
    for (Target& t : hub.targets) {
        if (!t.used) continue;
        retire(t);
        t.used = 0;
    }
    if (hub.thread != kNoThread) {
        hub.running.store(0);
        eventSet(hub.wake);
        threadJoin(hub.thread);
        hub.thread = kNoThread;
    }
    hub.started = 0;
}

int pushFigures(PushFigures* out, int capacity) {
    int n = 0;
    std::int64_t now = monotonicMs();
    TextGuard guard(hub.lock);
    for (int order = 0; order < kSlots && n < capacity; ++order) {
        for (Target& t : hub.targets) {
            if (!t.used || t.order != order || n >= capacity) continue;
            PushFigures& f = out[n++];
            copyText(f.target, kPushTargetTextSize, t.text);
            f.state = t.state;
            std::int64_t left = t.retryAtMs - now;
            f.retrySeconds = t.state == kPushWaiting ? static_cast<int>(left > 0 ? (left + 999) / 1000 : 0) : 0;
            f.bytesSent = t.bytesSent;
            f.framesDropped = t.framesDropped;
            f.bytesDropped = t.bytesDropped;
            f.backlogBytes = hub.head - t.pos + static_cast<std::uint64_t>(t.carryLen - t.carrySent);
            f.connections = t.connections;
            copyText(f.lastError, kNameSize, t.lastError);
        }
    }
    return n;
}

void pushSetTimings(int stallMs, int firstMs) {
    if (stallMs > 0) stallLimitMs.store(stallMs);
    if (firstMs > 0) firstRetryMs.store(firstMs);
}
