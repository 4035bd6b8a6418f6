// What the serial and the TCP source share.
#include "input/receiver.h"

#include <cstdio>

#include "core/app_state.h"
#include "detect/detect.h"
#include "input/decoder.h"
#include "net/feed_encoder.h"
#include "net/push.h"
#include "net/relay_fanout.h"
#include "record/exchange.h"

namespace {
constexpr std::int64_t kStuckWriteRestMs = 5000;
const unsigned char kEscapeByte = kFrameEscape;
// Resuming, a frame start is looked for over this many bytes at most: far more
// than the longest frame (escapes and all) or text line.
constexpr int kResumeScanLimit = 1024;

// What of one block goes on: block[from, to), from -1 when the escape held back
// at the end of the block before goes on first. The frame parser reads it to
// give the decoder the frames and lines whose start went on.
struct Handed {
    int from = 0, to = 0;
};

// The raw bytes' destinations, in their order; the decoder takes its frames from
// the parser's one scan of the block.
void handOnNow(const unsigned char* block, int count) {
    if (count <= 0) return;
    relayToClients(block, count);
    pushToTargets(block, count);
    feedOffer(block, count, FeedKind::kReceiverBytes);
    logReceivedBytes(block, count);
}

// Hands on block[from, to) of block and notes it; -1 stands for the held escape.
void handOnRange(const unsigned char* block, int from, int to, Handed& handed) {
    if (to <= from) return;
    if (from < 0) {
        handOnNow(&kEscapeByte, 1);
        from = 0;
        if (handed.to <= handed.from) handed.from = -1;
    } else if (handed.to <= handed.from) {
        handed.from = from;
    }
    handOnNow(block + from, to - from);
    handed.to = to;
}

// One live byte through the frame cut's scan: 1 when a frame starts here. In
// binary mode the frame's escape is the byte before (it may have been the last
// of the block before); in text mode the line starts with this byte.
int cutStep(unsigned char b, int binary) {
    if (binary) {
        if (app.cutEscape) {
            app.cutEscape = 0;
            return b != kFrameEscape && binaryFrameLength(b) != 0;
        }
        app.cutEscape = b == kFrameEscape;
        return 0;
    }
    int starts = app.cutLineEnd && b != '\r' && b != '\n';
    app.cutLineEnd = b == '\r' || b == '\n';
    return starts;
}

// Where the first frame in block starts (binary: its escape, -1 when that was the
// last byte of the block before), scanning from *at; count when none does. *at
// is left after the byte that told.
int nextFrameStart(const unsigned char* block, int count, int binary, int* at) {
    while (*at < count) {
        int i = (*at)++;
        if (cutStep(block[i], binary)) return binary ? i - 1 : i;
    }
    return count;
}

void keepBack(int count) {
    if (count > 0) app.liveHeldBack.fetch_add(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
}

// A playback waits: the frame in progress is handed on whole, up to the next
// frame's start, and the source pauses there. An escape ending the block may
// start that next frame, so it waits for the block after to tell.
void handOnUntilPause(const unsigned char* block, int count, int binary, Handed& handed) {
    int held = binary && app.cutEscape;
    int at = 0;
    int start = nextFrameStart(block, count, binary, &at);
    if (held && start != -1) handOnRange(block, -1, 0, handed);
    if (start == count) {
        handOnRange(block, 0, count - (binary && app.cutEscape ? 1 : 0), handed);
        return;
    }
    if (start > 0) handOnRange(block, 0, start, handed);
    int expected = kLivePausing;
    app.liveGate.compare_exchange_strong(expected, kLivePaused);
    keepBack(count - (start > 0 ? start : 0));
    while (at < count) cutStep(block[at++], binary);
}

// The playback has ended: the live bytes are kept back up to the next frame
// start, and from there the source hands on again to a decoder started afresh.
void handOnFromResume(const unsigned char* block, int count, int binary, Handed& handed) {
    int held = binary && app.cutEscape;
    int at = 0;
    int start = nextFrameStart(block, count, binary, &at);
    if (start == count && app.cutSkipped + count <= kResumeScanLimit) {
        app.cutSkipped += count;
        keepBack(count);
        return;
    }
    // A stream in the other form than the mode says has no frame start to find:
    // past the longest frame or line it flows on from here.
    if (start == count) start = 0;
    app.cutSkipped = 0;
    // The rest of the block is scanned before it is handed on.
    while (at < count) cutStep(block[at++], binary);
    int expected = kLiveResuming;
    if (!app.liveGate.compare_exchange_strong(expected, kLiveFlowing)) {
        keepBack(count);  // another playback has begun meanwhile
        return;
    }
    keepBack(start > 0 ? start : 0);
    // The decoder starts afresh here: the parser gives it only what starts from
    // here on.
    if (start < 0) start = held ? -1 : 0;
    handOnRange(block, start, count, handed);
}

}  // namespace

void handOnReceiverBytes(int source, const unsigned char* block, int count) {
    if (count <= 0) return;
    app.liveHanding.fetch_add(1);
    int binary = app.binaryMode.load(std::memory_order_relaxed) != 0;
    Handed handed;
    switch (app.liveGate.load()) {
        case kLivePausing: handOnUntilPause(block, count, binary, handed); break;
        case kLivePaused:
            keepBack(count);
            for (int i = 0; i < count; ++i) cutStep(block[i], binary);
            break;
        case kLiveResuming: handOnFromResume(block, count, binary, handed); break;
        default:
            for (int i = 0; i < count; ++i) cutStep(block[i], binary);
            handOnRange(block, 0, count, handed);
            break;
    }
    // One scan of what the source sent, handed on or not: the counters read it
    // all, the decoder what went on.
    parseReceiverBytes(source, block, count, handed.from, handed.to, monotonicMs());
    app.liveHanding.fetch_sub(1);
    if (app.checks.modeProbe.load(std::memory_order_relaxed)) {
        // O(1) a byte and only while the mode looks wrong: the proof the
        // automatic mode switch asks for before it switches.
        static DetectScanner probe;
        detectScanBytes(probe, block, count);
        app.checks.probeBinaryGood.store(probe.counts.binaryGood, std::memory_order_relaxed);
        app.checks.probeTextGood.store(probe.counts.textGood, std::memory_order_relaxed);
    }
}

void beginReceiverStream() {
    restartDecoder();
    app.cutEscape = 0;
    app.cutLineEnd = 0;
    app.cutSkipped = 0;
}


int receiverGather(std::int64_t* handedUs) {
    std::int64_t restUs = *handedUs + 1000 * kReceiverGatherMs - monotonicUs();
    int restMs = *handedUs > 0 && restUs > 0 ? static_cast<int>((restUs + 999) / 1000) : 0;
    if (restMs > 0) sleepMs(restMs);
    *handedUs = monotonicUs();
    return restMs;
}

int receiverModeCommand(int value, char* out, int capacity) {
    int n = std::snprintf(out, static_cast<std::size_t>(capacity), "#43-%02X\n", value & 0xFF);
    return n < 0 ? 0 : (n < capacity ? n : capacity - 1);
}

int receiverWriteMayTry() { return monotonicMs() >= app.sourceWriteRetryMs.load(); }

int receiverWriteEnded(int ok) {
    if (ok) {
        app.sourceWriteStuck.store(0);
        return 0;
    }
    app.sourceWriteRetryMs.store(monotonicMs() + kStuckWriteRestMs);
    return !app.sourceWriteStuck.exchange(1);
}

void receiverWriteReset() {
    app.sourceWriteStuck.store(0);
    app.sourceWriteRetryMs.store(0);
}
