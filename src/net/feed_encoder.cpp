// Feed encoder: the send primitive, the introduction, the feed data and the feed
// server's two commands.
//
// Threads: feedSend runs on the feed sender's thread (serial reader or playback)
// under FeedLock, and it alone touches the FeedAccumulator's buffers; the flush
// clock is advanced by the main thread's tick; the introduction goes out from the
// reconnect thread; the commands arrive on the main thread.
#include "net/feed_encoder.h"

#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "display/display.h"

namespace {

constexpr unsigned char kDle = 0x10;
constexpr unsigned char kStx = 0x02;
constexpr unsigned char kEtx = 0x03;
constexpr unsigned char kFeedBlockType = 101;
// zlib is told one byte less than blockBuffer holds.
constexpr unsigned long kCompressCapacity = kFeedBufferSize - 1;
// A call's bytes are staged whole; anything at or above this is never staged.
constexpr int kStageLimit = kFeedBufferSize - 1;

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

// The retry loop of every send: at most 16 calls, 300 ms apart. For the feed data
// of one feedSend call (`link` given) it also gives up as soon as the link has been
// dropped since the call began (`drops` taken then): a dropped link's socket is
// closed and its number may already belong to the next connection, while the rest
// of a block belongs to the old stream. Each such send call is counted in
// `sending`, which dropLink waits out before it closes the socket.
int retrySends(Socket s, const unsigned char* data, int count, LinkSlot* link, unsigned drops) {
    int attempts = 0;
    for (;;) {
        int sent;
        if (link) {
            link->sending.fetch_add(1);
            bool current = link->drops.load() == drops;
            sent = current ? sockSend(s, data, count) : -1;
            link->sending.fetch_sub(1);
            if (!current) return attempts;
        } else {
            sent = sockSend(s, data, count);
        }
        if (sent == count) return attempts;
        if (sent > 0) {
            data += sent;
            count -= sent;
        }
        if (++attempts > 15) return attempts;
        sleepMs(300);
        if (s == kNoSocket) return attempts;
    }
}

int linkSendWithRetry(Socket s, const unsigned char* data, int count, unsigned drops) {
    return retrySends(s, data, count, &app.feed, drops);
}

int putStuffed(unsigned char* out, int at, unsigned char b) {
    out[at++] = b;
    if (b == kDle) out[at++] = kDle;
    return at;
}

// One block of staged data, as one call of the stage-and-flush rule. count is
// below kStageLimit.
int feedSendStaged(Socket s, const unsigned char* data, int count, unsigned drops) {
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
            // and is sent from there, so a large block can never overrun a buffer.
            framed = frameBlockInto(kFeedBlockType, acc.blockBuffer, compressed, acc.frameWork);
        } else {
            show("Error Compress");
        }
        acc.fill = 0;
        acc.flushTicks.store(0);
        std::memcpy(acc.bytes, data, static_cast<std::size_t>(count));
        acc.fill = count;
        show("Compress");
        if (framed >= 0) result = linkSendWithRetry(s, acc.frameWork, framed, drops);
    }

    if (acc.flushTicks.load() > app.compressInterval.load()) {
        // Time flush, made by the first feed data after the interval; it carries
        // this call's bytes too.
        int compressed = compressStaged();
        char text[64];
        if (compressed >= 0) {
            int framed = frameBlockInto(kFeedBlockType, acc.blockBuffer, compressed, acc.frameWork);
            std::snprintf(text, sizeof text, "%d -> %d", acc.fill, framed);
            show(text);
            acc.fill = 0;
            acc.flushTicks.store(0);
            return linkSendWithRetry(s, acc.frameWork, framed, drops);
        }
        show("Error Compress");
        acc.fill = 0;
        acc.flushTicks.store(0);
        return linkSendWithRetry(s, data, count, drops);
    }
    return result;
}

}  // namespace

int sendWithRetry(Socket s, const unsigned char* data, int count) {
    return retrySends(s, data, count, nullptr, 0);
}

int feedSend(Socket s, const unsigned char* data, int count) {
    if (count <= 0) return 0;
    unsigned drops = app.feed.drops.load();
    if (!app.compressFeed.load()) return linkSendWithRetry(s, data, count, drops);
    // No caller hands over this much at once; should one, the bytes are staged in
    // pieces rather than copied past the end of the accumulator.
    int result = 0;
    while (count > 0) {
        int piece = count < kStageLimit ? count : kStageLimit - 1;
        result = feedSendStaged(s, data, piece, drops);
        data += piece;
        count -= piece;
    }
    return result;
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

int frameBlock(unsigned char type, unsigned char* buffer, int* length) {
    int n = *length;
    if (n < 0) n = 0;
    if (n > kFeedBufferSize) n = kFeedBufferSize;
    // frameWork holds the framed form of any payload up to the buffer size.
    int framed = frameBlockInto(type, buffer, n, app.acc.frameWork);
    std::memcpy(buffer, app.acc.frameWork, static_cast<std::size_t>(framed));
    *length = framed;
    return 1;
}

void sendFeedIntroduction(Socket s) {
    char line[kNameSize];
    int n;
    {
        // A name too long for the line is cut so that the line still ends in CR LF.
        TextGuard guard(app.nameLock);
        n = std::snprintf(line, sizeof line, "#%.*s\r\n", kNameSize - 4, app.receiverName);
    }
    sendWithRetry(s, reinterpret_cast<const unsigned char*>(line), n);

    const double toDegrees = 0.0002777777777777778;
    n = std::snprintf(line, sizeof line, "#%.6f\r\n", app.receiverLat.load() * toDegrees);
    if (n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    sendWithRetry(s, reinterpret_cast<const unsigned char*>(line), n);
    n = std::snprintf(line, sizeof line, "#%.6f\r\n", app.receiverLon.load() * toDegrees);
    if (n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    sendWithRetry(s, reinterpret_cast<const unsigned char*>(line), n);

    n = std::snprintf(line, sizeof line, "%s%s\r\n", app.binaryMode.load() ? "#BINARY" : "#TEXT",
                      app.compressFeed.load() ? ":COMPRESS" : "");
    sendWithRetry(s, reinterpret_cast<const unsigned char*>(line), n);
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
