// The stream's counters and the two scanners behind them.
//
// The scanners' state is the source reader's own (one source at a time), kept
// here rather than in the state record because the clock estimator's type
// belongs to this layer; what they find is published in app.stats and
// app.checks.
#include "input/stream_stats.h"

#include "core/app_state.h"
#include "input/decoder.h"
#include "input/receiver_clock.h"

namespace {

constexpr int kLongestFrame = 23;  // 0x1A, type, 6 timestamp bytes, signal, 14 payload bytes
// Long enough for any line a receiver sends; a longer one is nobody's line.
constexpr int kLongestLine = 128;
constexpr int kStampDigits = 12;

struct Scanner {
    // Binary: the frame being collected, its raw byte count (escapes included).
    unsigned char frame[kLongestFrame];
    int framePos = 0, frameLength = 0, frameRaw = 0, escapePending = 0;
    // Text: the line being collected, whether it still reads as a frame line.
    int lineLength = 0, lineHex = 1, lineSemicolon = 0, linePrintable = 1;
    char lineFirst = 0;
    std::uint64_t lineStamp = 0;
    ReceiverClock clock;
    std::int64_t publishedMs = 0;
};
Scanner scan;

void add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void clockSample(std::uint64_t stamp, std::int64_t nowMs) {
    if (receiverClockAdd(&scan.clock, stamp, nowMs * 1000, app.timerFrequency.load(std::memory_order_relaxed)) ==
        kClockReset)
        app.checks.counterResets.fetch_add(1, std::memory_order_relaxed);
}

void finishFrame(SourceStats& s, std::int64_t nowMs) {
    add(s.kinds[scan.frame[1] - '1']);
    std::uint64_t stamp = 0;
    for (int i = 2; i < 8; ++i) stamp = stamp << 8 | scan.frame[i];
    if (stamp == 0)
        add(s.zeroStamps);
    else
        clockSample(stamp, nowMs);
    // Compared as the decoder compares them, as unsigned numbers.
    if (std::uint32_t{scan.frame[8]} < static_cast<std::uint32_t>(app.levelThreshold.load(std::memory_order_relaxed)))
        add(s.heldBack);
    scan.framePos = scan.frameLength = scan.frameRaw = 0;
}

// One byte of the binary scanner: whether it belongs to a frame is known only
// once the frame is whole, so a frame cut short counts all its bytes as stray.
void binaryByte(SourceStats& s, unsigned char b, int binary, std::int64_t nowMs) {
    int stray = 0;
    if (scan.escapePending) {
        scan.escapePending = 0;
        if (b != kFrameEscape && binaryFrameLength(b)) {
            // A frame start abandons the frame before.
            if (binary) add(s.stray, static_cast<std::uint64_t>(scan.frameRaw));
            scan.frame[0] = kFrameEscape;
            scan.frame[1] = b;
            scan.framePos = scan.frameRaw = 2;
            scan.frameLength = binaryFrameLength(b);
            return;
        }
        // The first half of an escaped 0x1A, or an escape before nothing a
        // frame may hold; the byte after it is data either way.
        if (b == kFrameEscape && scan.frameLength)
            ++scan.frameRaw;
        else
            stray += 1;
    } else if (b == kFrameEscape) {
        scan.escapePending = 1;
        return;
    }
    if (scan.frameLength) {
        scan.frame[scan.framePos++] = b;
        ++scan.frameRaw;
        if (scan.framePos == scan.frameLength) finishFrame(s, nowMs);
    } else {
        stray += 1;
    }
    if (binary && stray) add(s.stray, static_cast<std::uint64_t>(stray));
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void finishLine(SourceStats& s, int binary, std::int64_t nowMs) {
    int frameLine = (scan.lineFirst == '@' || scan.lineFirst == '*') && scan.lineHex && scan.lineSemicolon &&
                    scan.lineLength > 2;
    if (frameLine && scan.lineFirst == '@' && scan.lineLength > kStampDigits + 2) {
        add(s.kinds[kKindLineTimed]);
        if (scan.lineStamp) clockSample(scan.lineStamp, nowMs);
    } else if (frameLine && scan.lineFirst == '*') {
        add(s.kinds[kKindLineUntimed]);
    } else if (scan.linePrintable && scan.lineLength <= kLongestLine) {
        // In binary mode the bytes between two CR or LF inside frames read as such
        // lines now and then; only a text stream has other lines worth a count.
        if (!binary) add(s.kinds[kKindLineOther]);
    } else if (!binary) {
        add(s.stray, static_cast<std::uint64_t>(scan.lineLength));
    }
    scan.lineLength = scan.lineSemicolon = scan.lineFirst = 0;
    scan.lineHex = scan.linePrintable = 1;
    scan.lineStamp = 0;
}

void textByte(SourceStats& s, unsigned char b, int binary, std::int64_t nowMs) {
    if (b == '\r' || b == '\n') {
        if (scan.lineLength > 0) finishLine(s, binary, nowMs);
        return;
    }
    // A stream without line ends (binary data) never grows the count past a line.
    int at = scan.lineLength;
    if (scan.lineLength <= kLongestLine) ++scan.lineLength;
    if (at == 0) {
        scan.lineFirst = static_cast<char>(b);
    } else if (scan.lineSemicolon) {
        scan.lineHex = 0;  // nothing may follow the ';'
    } else if (b == ';') {
        scan.lineSemicolon = 1;
    } else {
        int v = hexValue(static_cast<char>(b));
        if (v < 0) scan.lineHex = 0;
        if (v >= 0 && at <= kStampDigits) scan.lineStamp = scan.lineStamp << 4 | static_cast<unsigned>(v);
    }
    if (b < ' ' || b > '~') scan.linePrintable = 0;
}

}  // namespace

void countSourceBytes(int source, const unsigned char* block, int count, std::int64_t nowMs) {
    if (source < 0 || source >= kSourceCount || count <= 0) return;
    SourceStats& s = app.stats[source];
    int binary = app.binaryMode.load(std::memory_order_relaxed) != 0;
    add(s.bytes, static_cast<std::uint64_t>(count));
    s.lastByteMs.store(nowMs, std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        binaryByte(s, block[i], binary, nowMs);
        textByte(s, block[i], binary, nowMs);
    }
    // The clock's figures are published once a second: they change no faster.
    if (nowMs - scan.publishedMs >= 1000) {
        scan.publishedMs = nowMs;
        app.checks.measuredHz.store(receiverClockHz(&scan.clock), std::memory_order_relaxed);
        app.checks.jumpsPerMinute.store(receiverClockJumps(&scan.clock, nowMs * 1000), std::memory_order_relaxed);
    }
}

void restartStreamCounters() {
    scan.framePos = scan.frameLength = scan.frameRaw = scan.escapePending = 0;
    scan.lineLength = scan.lineSemicolon = scan.lineFirst = 0;
    scan.lineHex = scan.linePrintable = 1;
    scan.lineStamp = 0;
}
