// The stream's counters, fed by the frame parser.
//
// The clock estimator is the source reader's own (one source at a time), kept
// here rather than in the state record because its type belongs to this layer;
// what the counters find is published in app.stats and app.checks.
#include "input/stream_stats.h"

#include "core/app_state.h"
#include "input/decoder.h"
#include "input/receiver_clock.h"

namespace {

// Long enough for any line a receiver sends; a longer one is nobody's line.
constexpr int kLongestLine = 128;
constexpr int kStampDigits = 12;

ReceiverClock streamClock;
std::int64_t publishedMs = 0;

bool valid(int source) { return source >= 0 && source < kSourceCount; }

void add(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void clockSample(std::uint64_t stamp, std::int64_t nowMs) {
    if (receiverClockAdd(&streamClock, stamp, nowMs * 1000, app.timerFrequency.load(std::memory_order_relaxed)) ==
        kClockReset)
        app.checks.counterResets.fetch_add(1, std::memory_order_relaxed);
}

// '@' or '*', hex digits, one ';' that ends the line: a frame line; *stamp gets
// an '@' line's first 12 digits.
bool frameLine(const char* text, int length, std::uint64_t* stamp) {
    if (length <= 2 || (text[0] != '@' && text[0] != '*') || text[length - 1] != ';') return false;
    *stamp = 0;
    for (int i = 1; i < length - 1; ++i) {
        int v = hexDigitValue(text[i]);
        if (v < 0) return false;
        if (i <= kStampDigits) *stamp = *stamp << 4 | static_cast<unsigned>(v);
    }
    return true;
}

}  // namespace

void countStreamFrame(int source, const unsigned char* frame, std::int64_t nowMs) {
    if (!valid(source)) return;
    SourceStats& s = app.stats[source];
    add(s.kinds[frame[1] - '1']);
    std::uint64_t stamp = 0;
    for (int i = 2; i < 8; ++i) stamp = stamp << 8 | frame[i];
    if (stamp == 0)
        add(s.zeroStamps);
    else
        clockSample(stamp, nowMs);
    // Compared as the decoder compares them, as unsigned numbers.
    if (std::uint32_t{frame[8]} < static_cast<std::uint32_t>(app.levelThreshold.load(std::memory_order_relaxed)))
        add(s.heldBack);
}

void countStreamLine(int source, const StreamLine& line, int binary, std::int64_t nowMs) {
    if (!valid(source)) return;
    SourceStats& s = app.stats[source];
    std::uint64_t stamp = 0;
    bool frame = line.kept && frameLine(line.text, line.length, &stamp);
    if (frame && line.text[0] == '@' && line.length > kStampDigits + 2) {
        add(s.kinds[kKindLineTimed]);
        if (stamp) clockSample(stamp, nowMs);
    } else if (frame && line.text[0] == '*') {
        add(s.kinds[kKindLineUntimed]);
    } else if (binary) {
        // Bytes between frames that happen to hold a CR or LF: only a text stream
        // has other lines worth a count, and its unusable lines are stray bytes.
    } else if (line.printable && line.length <= kLongestLine) {
        add(s.kinds[kKindLineOther]);
    } else {
        add(s.stray, static_cast<std::uint64_t>(line.length));
    }
}

void countStreamBlock(int source, int count, std::uint64_t stray, int binary, std::int64_t nowMs) {
    if (!valid(source) || count <= 0) return;
    SourceStats& s = app.stats[source];
    add(s.bytes, static_cast<std::uint64_t>(count));
    add(s.blocks);
    if (binary && stray) add(s.stray, stray);
    s.lastByteMs.store(nowMs, std::memory_order_relaxed);
    // The clock's figures are published once a second: they change no faster.
    if (nowMs - publishedMs >= 1000) {
        publishedMs = nowMs;
        app.checks.measuredHz.store(receiverClockHz(&streamClock), std::memory_order_relaxed);
        app.checks.jumpsPerMinute.store(receiverClockJumps(&streamClock, nowMs * 1000), std::memory_order_relaxed);
    }
}

void countSourceBytes(int source, const unsigned char* block, int count, std::int64_t nowMs) {
    parseReceiverBytes(source, block, count, 0, 0, nowMs);
}
