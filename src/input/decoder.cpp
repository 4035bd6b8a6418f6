// The frame parser and the decoder: text lines ('*', '@', "MSG") and binary escape frames.
#include "input/decoder.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "input/stream_stats.h"
#include "display/clock_annotation.h"
#include "net/feed_encoder.h"
#include "net/relay_fanout.h"

namespace {

// The longest text line that fits a RecordLine with its CR LF and terminator.
constexpr int kMaxTextLine = kRecordLineSize - 3;
// A line's byte count stops here: far past any line anybody uses.
constexpr int kLineLengthCap = 1 << 30;

void clearLine() {
    app.decoderPos = 0;
    app.decoderDiscard = 0;
    app.decoderLineLength = 0;
    app.decoderLinePrintable = 1;
}

// The frame of a '@' line (its 12-digit timestamp first) or a '*' line: 4, 14 or
// 28 hex digits, the ';' at the end optional as the receivers write it.
struct LineFrame {
    unsigned char stamp[6];  // zero for a '*' line, which has no time
    unsigned char msg[14];
    int length;              // 2 (Mode A/C), 7 or 14 bytes
};
int frameOfLine(const char* text, int length, LineFrame* f) {
    int at = text[0] == '@' ? 13 : text[0] == '*' ? 1 : 0;
    if (at == 0) return 0;
    int end = length;
    if (end > at && text[end - 1] == ';') --end;
    int digits = end - at;
    if (digits != 4 && digits != 14 && digits != 28) return 0;
    auto byteAt = [&](int i) {
        int high = hexDigitValue(text[i]), low = hexDigitValue(text[i + 1]);
        return high < 0 || low < 0 ? -1 : high << 4 | low;
    };
    for (int i = 0; i < digits; i += 2) {
        int v = byteAt(at + i);
        if (v < 0) return 0;
        f->msg[i / 2] = static_cast<unsigned char>(v);
    }
    std::memset(f->stamp, 0, sizeof f->stamp);
    for (int i = 1; i < at; i += 2) {
        int v = byteAt(i);
        if (v < 0) return 0;
        f->stamp[i / 2] = static_cast<unsigned char>(v);
    }
    f->length = digits / 2;
    return 1;
}

// A Mode S frame of a text line goes to the look, without a signal level: text
// has none.
void lookAtTextLine(const LineFrame& f, ModesFrameSink sink) {
    if (f.length == 7 || f.length == 14) sink(f.msg, f.length, -1);
}

// The other-format port's clients want the text receiver's frames as Beast frames.
void relayAsBeast(const LineFrame& f) {
    static const unsigned char kType[15] = {0, 0, '1', 0, 0, 0, 0, '2', 0, 0, 0, 0, 0, 0, '3'};
    unsigned char frame[kBeastFromLineSize];
    int n = 0;
    frame[n++] = kFrameEscape;
    frame[n++] = kType[f.length];
    auto put = [&](unsigned char b) {
        frame[n++] = b;
        if (b == kFrameEscape) frame[n++] = b;
    };
    for (unsigned char b : f.stamp) put(b);
    put(0);  // the signal level, which text lines do not carry
    for (int i = 0; i < f.length; ++i) put(f.msg[i]);
    relayOtherFormat(frame, n);
}

// Text mode's record line: the received line as it came, or nothing. A line with
// a NUL in it, or too long for a RecordLine, is dropped whole: cutting it would
// hand the feed server a piece of a line (a frame stub, or the tail of a long
// line) as if it were a message.
void decodeTextLine(const char* text, int length) {
    bool wanted = text[0] == '*' || text[0] == '@' || (text[0] == 'M' && text[1] == 'S' && text[2] == 'G');
    if (!wanted) return;
    char line[kRecordLineSize];
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    line[length + 2] = '\0';
    emitRecordLine(line, length + 2, 1);
    ModesFrameSink sink = app.modesFrameSink.load(std::memory_order_relaxed);
    int other = relayOtherFormatWanted();
    if (!sink && !other) return;
    LineFrame f;
    if (!frameOfLine(text, length, &f)) return;
    if (sink) lookAtTextLine(f, sink);
    if (other) relayAsBeast(f);
}

// Binary mode's record line, from a whole frame (unescaped).
void decodeFrame(const unsigned char* frame, int length) {
    static const char kHex[] = "0123456789ABCDEF";
    char line[kRecordLineSize];
    int n = 0;
    line[n++] = '@';
    auto hex = [&](unsigned char v) {
        line[n++] = kHex[v >> 4];
        line[n++] = kHex[v & 15];
    };
    for (int i = 2; i < 8; ++i) hex(frame[i]);
    for (int i = 9; i < length; ++i) hex(frame[i]);
    line[n++] = ';';
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    // Compared as unsigned 32-bit numbers: a negative threshold keeps every frame
    // from the feed, as does one above 255.
    std::uint32_t level = frame[8];
    std::uint32_t threshold = static_cast<std::uint32_t>(app.levelThreshold.load());
    emitRecordLine(line, n, level >= threshold);
    // The other-format port's clients get the line as the feed does, whatever
    // the threshold: they take the stream, not the feed.
    if (relayOtherFormatWanted()) relayOtherFormat(reinterpret_cast<const unsigned char*>(line), n);
    // Mode S frames ('2' short, '3' long) go to the look with their level,
    // whatever the threshold: it keeps frames from the feed, not from sight.
    ModesFrameSink sink = app.modesFrameSink.load(std::memory_order_relaxed);
    if (sink && frame[1] != '1') sink(frame + 9, length - 9, frame[8]);
}

// What one scan of a block finds beside its frames and lines.
struct Scan {
    int source;
    int binary;          // the mode at the block's start, for the counters
    std::uint64_t stray; // bytes in no binary frame
    std::int64_t nowMs;
};

void endLine(Scan& scan) {
    app.decoderLine[app.decoderPos] = 0;
    StreamLine line{reinterpret_cast<const char*>(app.decoderLine), app.decoderLineLength, !app.decoderDiscard,
                    app.decoderLinePrintable};
    // In binary mode a line end inside a frame being collected is a byte of the
    // frame, not the end of a line.
    int binary = app.binaryMode.load(std::memory_order_relaxed) != 0;
    if (!(binary && app.decoderFramePos)) {
        countStreamLine(scan.source, line, scan.binary, scan.nowMs);
        if (!binary && line.kept && app.decoderLineHanded) decodeTextLine(line.text, app.decoderPos);
    }
    clearLine();
}

// One byte of the text form: a line runs to its CR or LF; what is kept of it is
// at most a RecordLine's worth without a NUL.
void textByte(Scan& scan, unsigned char b, int handed) {
    if (b == '\r' || b == '\n') {
        if (app.decoderLineLength > 0) endLine(scan);
        return;
    }
    if (app.decoderLineLength == 0) app.decoderLineHanded = handed;
    if (app.decoderLineLength < kLineLengthCap) ++app.decoderLineLength;
    if (b < ' ' || b > '~') app.decoderLinePrintable = 0;
    if (app.decoderDiscard) return;
    if (b == 0 || app.decoderPos >= kMaxTextLine) {
        app.decoderDiscard = 1;
        return;
    }
    app.decoderLine[app.decoderPos++] = b;
}

void endFrame(Scan& scan) {
    int length = app.decoderFramePos;
    countStreamFrame(scan.source, app.decoderFrame, scan.nowMs);
    if (app.binaryMode.load(std::memory_order_relaxed)) {
        if (app.decoderFrameHanded) decodeFrame(app.decoderFrame, length);
        // The frame's bytes were no text: a line it holds is no line.
        clearLine();
    }
    app.decoderFramePos = 0;
    app.decoderFrameRaw = 0;
}

// One byte of the binary form. A 0x1A followed by '1', '2' or '3' starts a frame
// and abandons the one being collected; 0x1A 0x1A stands for one 0x1A; a 0x1A
// before any other byte is data, as is the byte. escapeHanded: whether the byte
// before was handed on.
void binaryByte(Scan& scan, unsigned char b, int escapeHanded) {
    unsigned char prev = app.decoderLastByte;
    app.decoderLastByte = b;
    int held = app.decoderEscapeHeld;
    app.decoderEscapeHeld = 0;
    if (prev == kFrameEscape) {
        if (b == kFrameEscape) {  // the second half of an escaped 0x1A
            app.decoderLastByte = 0;
            if (held)
                scan.stray += 2;
            else if (app.decoderFramePos)
                ++app.decoderFrameRaw;
            return;
        }
        if (binaryFrameLength(b)) {
            // The escape was held outside a frame, or stored as the data of the
            // frame now abandoned.
            if (!held && app.decoderFramePos) scan.stray += static_cast<std::uint64_t>(app.decoderFrameRaw - 1);
            app.decoderFrame[0] = kFrameEscape;
            app.decoderFrame[1] = b;
            app.decoderFramePos = 2;
            app.decoderFrameRaw = 2;
            app.decoderFrameHanded = escapeHanded;
            return;
        }
        if (held) scan.stray += 1;
    }
    if (app.decoderFramePos == 0) {
        if (b == kFrameEscape)
            app.decoderEscapeHeld = 1;  // stray unless the next byte starts a frame
        else
            scan.stray += 1;
        return;
    }
    app.decoderFrame[app.decoderFramePos++] = b;
    ++app.decoderFrameRaw;
    if (app.decoderFramePos == binaryFrameLength(app.decoderFrame[1])) endFrame(scan);
}

}  // namespace

int binaryFrameLength(unsigned char type) {
    switch (type) {
        case '1': return 11;
        case '2': return 16;
        case '3': return 23;
        default: return 0;
    }
}

void emitRecordLine(const char* line, int length, int feedGateOpen) {
    if (feedGateOpen) feedOffer(reinterpret_cast<const unsigned char*>(line), length, FeedKind::kRecordLine);
    int bare = length;
    while (bare > 0 && (line[bare - 1] == '\r' || line[bare - 1] == '\n')) --bare;
    uiRecordLine(line, bare);
    showRecordLine(line);
}

void restartDecoder() {
    clearLine();
    app.decoderLineHanded = 0;
    app.decoderLastByte = 0;
    app.decoderLastHanded = 0;
    app.decoderEscapeHeld = 0;
    app.decoderFramePos = 0;
    app.decoderFrameRaw = 0;
    app.decoderFrameHanded = 0;
}

void parseReceiverBytes(int source, const unsigned char* block, int count, int handedFrom, int handedTo,
                        std::int64_t nowMs) {
    if (count <= 0) return;
    Scan scan{source, app.binaryMode.load(std::memory_order_relaxed) != 0, 0, nowMs};
    // The block before's last byte counts as handed on when it went on then and
    // this block goes on from its start, or when it went on only now.
    int before = handedFrom < 0 || (handedFrom == 0 && handedTo > 0 && app.decoderLastHanded);
    for (int i = 0; i < count; ++i) {
        int handed = i >= handedFrom && i < handedTo;
        // The text form first: a frame that this byte ends takes the line with it.
        textByte(scan, block[i], handed);
        binaryByte(scan, block[i], before);
        before = handed;
    }
    app.decoderLastHanded = before;
    // A 0x1A that ends the block is told by the block after.
    countStreamBlock(source, count, scan.stray, scan.binary, nowMs);
}

void decodeReceiverBytes(const unsigned char* bytes, int count) {
    parseReceiverBytes(-1, bytes, count, -1, count, 0);
}
