// Feed encoder: the one way into the feed, the introduction, the feed data and
// the feed server's two commands.
//
// Threads: feedOffer and feedSend run on the feed sender's thread (serial reader
// or playback) under FeedLock; the tick's flush runs on the main thread under
// FeedLock too, so the FeedAccumulator's buffers are only ever touched by the
// lock's holder. The flush clock is advanced by the main thread's tick; the
// introduction is queued by the reconnect thread; the commands arrive on the main
// thread. Nothing here writes the feed link's socket: feed data goes into the
// link's queue (net/feed_queue.h) and the link's own thread writes it, so no
// caller ever waits for the server.
#include "net/feed_encoder.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "display/display.h"
#include "net/feed_queue.h"

namespace {

constexpr unsigned char kDle = 0x10;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kFeedBlockType = 101;
// zlib is told one byte less than blockBuffer holds.
constexpr unsigned long kCompressCapacity = kFeedBufferSize - 1;
// A call's bytes are staged whole; anything at or above this is never staged.
constexpr int kStageLimit = kFeedBufferSize - 1;
// The longest a feed sender waits for FeedLock.
constexpr int kFeedLockWaitMs = 5000;

const char kCommandRaw[] = "#SET OUT DATE ORIGINAL\r\n";
const char kCommandText[] = "#SET OUT DATE TEXT\r\n";

void show(const char* text) { displayLine(text, kDisplayShowNow); }

// Compresses the staged bytes into blockBuffer. The compressed length, or -1 when
// zlib is missing or refuses (for instance when the stream would not fit).
int compressStaged() {
    if (!app.zlibCompress) return -1;
    unsigned long length = kCompressCapacity;
    int result = app.zlibCompress(app.acc.blockBuffer, &length, app.acc.bytes,
                                  static_cast<unsigned long>(app.acc.fill));
    if (result != 0 || length > kCompressCapacity) return -1;
    return static_cast<int>(length);
}

// Queues one unit for the link: 0 when queued, 1 when the queue refused it (the
// link is then being dropped for a server that stopped taking data).
int queueUnit(const unsigned char* data, int count) { return feedQueuePut(data, count) ? 0 : 1; }

// The time flush: the staged bytes go out as one framed block. `data` is the
// triggering call's own bytes, already staged, which go out unframed when the
// compression fails; the tick's flush has none. Under FeedLock.
int timeFlush(const unsigned char* data, int count) {
    FeedAccumulator& acc = app.acc;
    int compressed = compressStaged();
    char text[64];
    if (compressed >= 0) {
        int framed = frameBlockInto(kFeedBlockType, acc.blockBuffer, compressed, acc.frameWork);
        std::snprintf(text, sizeof text, "%d -> %d", acc.fill, framed);
        show(text);
        acc.fill = 0;
        acc.flushTicks.store(0);
        return queueUnit(acc.frameWork, framed);
    }
    show("Error Compress");
    acc.fill = 0;
    acc.flushTicks.store(0);
    return count > 0 ? queueUnit(data, count) : 0;
}

int putStuffed(unsigned char* out, int at, unsigned char b) {
    out[at++] = b;
    if (b == kDle) out[at++] = kDle;
    return at;
}

// One block of staged data, as one call of the stage-and-flush rule. count is
// below kStageLimit.
int feedSendStaged(const unsigned char* data, int count) {
    FeedAccumulator& acc = app.acc;
    int result = 0;
    if (acc.fill + count < kStageLimit) {
        std::memcpy(acc.bytes + acc.fill, data, static_cast<std::size_t>(count));
        acc.fill += count;
    } else {
        // Size flush: the staged bytes go out as one block, the call's bytes start
        // the next one.
        int framed = -1;
        int compressed = compressStaged();
        char text[64];
        if (compressed >= 0) {
            std::snprintf(text, sizeof text, "%d -> %d", acc.fill, compressed);
            show(text);
            // Framed into frameWork, which holds the worst case (every byte doubled)
            // and is queued from there, so a large block can never overrun a buffer.
            framed = frameBlockInto(kFeedBlockType, acc.blockBuffer, compressed, acc.frameWork);
        } else {
            show("Error Compress");
        }
        acc.fill = 0;
        acc.flushTicks.store(0);
        std::memcpy(acc.bytes, data, static_cast<std::size_t>(count));
        acc.fill = count;
        show("Compress");
        if (framed >= 0) result = queueUnit(acc.frameWork, framed);
    }

    // Time flush, made by the first feed data after the interval; it carries this
    // call's bytes too.
    if (acc.flushTicks.load() > app.compressInterval.load()) return timeFlush(data, count);
    return result;
}

}  // namespace

int feedOffer(const unsigned char* data, int count, FeedKind kind) {
    auto wanted = [kind] {
        if (app.feed.state.load() != kLinkConnected) return false;
        if (kind == FeedKind::kRecordLine) return app.rawFeed.load() == 0;
        if (kind == FeedKind::kReceiverBytes) return app.rawFeed.load() != 0;
        return true;
    };
    if (count <= 0 || !wanted()) return 0;
    if (!feedLockAcquire(kFeedLockWaitMs)) return 0;
    // Looked at again under the lock: the link may have gone meanwhile.
    int queued = wanted() && feedSend(data, count) == 0;
    feedLockRelease();
    return queued;
}

int feedSend(const unsigned char* data, int count) {
    if (count <= 0) return 0;
    if (!app.compressFeed.load()) return queueUnit(data, count);
    // No caller hands over this much at once; should one, the bytes are staged in
    // pieces rather than copied past the end of the accumulator.
    int result = 0;
    while (count > 0) {
        int piece = count < kStageLimit ? count : kStageLimit - 1;
        result = feedSendStaged(data, piece);
        data += piece;
        count -= piece;
    }
    return result;
}

void flushStagedByTime() {
    // Cheap tests first: the tick runs ten times a second.
    if (!app.compressFeed.load() || app.acc.flushTicks.load() <= app.compressInterval.load()) return;
    if (app.feed.state.load() != kLinkConnected) return;  // staged bytes wait for the next link
    // A sender inside feedSend holds the lock for a copy or one compression; the
    // next tick tries again rather than making the window wait.
    if (!feedLockAcquire(0)) return;
    if (app.acc.fill > 0 && app.acc.flushTicks.load() > app.compressInterval.load() &&
        app.feed.state.load() == kLinkConnected)
        timeFlush(nullptr, 0);
    feedLockRelease();
}

int frameBlockInto(unsigned char type, const unsigned char* payload, int n, unsigned char* out) {
    int at = 0;
    out[at++] = kDle;
    out[at++] = kStx;
    at = putStuffed(out, at, type);
    unsigned v = static_cast<unsigned>(n + 4) & 0xFFFFu;
    at = putStuffed(out, at, static_cast<unsigned char>(v >> 8));
    at = putStuffed(out, at, static_cast<unsigned char>(v & 0xFF));
    out[at++] = 0x00;
    for (int i = 0; i < n; ++i) at = putStuffed(out, at, payload[i]);
    out[at++] = kDle;
    out[at++] = kEtx;
    return at;
}

void sendFeedIntroduction() {
    char line[kNameSize];
    int n;
    {
        // A name too long for the line is cut so that the line still ends in CR LF.
        TextGuard guard(app.nameLock);
        n = std::snprintf(line, sizeof line, "#%.*s\r\n", kNameSize - 4, app.receiverName);
    }
    queueUnit(reinterpret_cast<const unsigned char*>(line), n);

    const double toDegrees = 0.0002777777777777778;
    n = std::snprintf(line, sizeof line, "#%.6f\r\n", app.receiverLat.load() * toDegrees);
    if (n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    queueUnit(reinterpret_cast<const unsigned char*>(line), n);
    n = std::snprintf(line, sizeof line, "#%.6f\r\n", app.receiverLon.load() * toDegrees);
    if (n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    queueUnit(reinterpret_cast<const unsigned char*>(line), n);

    n = std::snprintf(line, sizeof line, "%s%s\r\n", app.binaryMode.load() ? "#BINARY" : "#TEXT",
                      app.compressFeed.load() ? ":COMPRESS" : "");
    queueUnit(reinterpret_cast<const unsigned char*>(line), n);
}

void handleFeedCommand(const unsigned char* data, int count) {
    // The block is text up to its end or an earlier NUL, compared whole.
    int length = 0;
    while (length < count && data[length] != 0) ++length;
    auto is = [&](const char* literal) {
        int l = static_cast<int>(std::strlen(literal));
        return l == length && std::memcmp(data, literal, static_cast<std::size_t>(l)) == 0;
    };
    if (is(kCommandRaw)) app.rawFeed.store(1);
    if (is(kCommandText)) app.rawFeed.store(0);
}

void advanceFlushClock() {
    if (app.compressFeed.load()) app.acc.flushTicks.fetch_add(1);
}
