// Stream decoder: text lines ('*', '@', "MSG") and binary escape frames.
#include "input/decoder.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "display/clock_annotation.h"
#include "net/feed_encoder.h"

namespace {

constexpr int kLastCell = kDecoderLineSize - 1;
// The longest text line that fits a RecordLine with its CR LF and terminator.
constexpr int kMaxTextLine = kRecordLineSize - 3;

void clearDecoder() {
    app.decoderPos = 0;
    app.decoderDiscard = 0;
    std::memset(app.decoderLine, 0, sizeof app.decoderLine);
}

// A '@' line (its 12-digit timestamp first) or a '*' line whose frame is 14 or 28
// hex digits goes to the look, without a signal level: text has none.
void lookAtTextLine(const char* text, int length, ModesFrameSink sink) {
    int at = text[0] == '@' ? 13 : text[0] == '*' ? 1 : 0;
    if (at == 0) return;
    int end = length;
    if (end > at && text[end - 1] == ';') --end;
    int digits = end - at;
    if (digits != 14 && digits != 28) return;
    unsigned char msg[14];
    for (int i = 0; i < digits; i += 2) {
        int high = hexDigitValue(text[at + i]), low = hexDigitValue(text[at + i + 1]);
        if (high < 0 || low < 0) return;
        msg[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    for (int i = 1; i < at; ++i)
        if (hexDigitValue(text[i]) < 0) return;
    sink(msg, digits / 2, -1);
}

void finishTextLine() {
    const char* text = reinterpret_cast<const char*>(app.decoderLine);
    int length = static_cast<int>(std::strlen(text));
    bool wanted = text[0] == '*' || text[0] == '@' ||
                  (text[0] == 'M' && text[1] == 'S' && text[2] == 'G');
    // A line too long for a RecordLine is dropped whole rather than cut: a cut
    // frame would reach the feed server as a wrong frame.
    if (length > 0 && wanted && length <= kMaxTextLine) {
        char line[kRecordLineSize];
        std::memcpy(line, text, length);
        line[length] = '\r';
        line[length + 1] = '\n';
        line[length + 2] = '\0';
        emitRecordLine(line, length + 2, 1);
        if (ModesFrameSink sink = app.modesFrameSink.load(std::memory_order_relaxed))
            lookAtTextLine(text, length, sink);
    }
    clearDecoder();
}

// A text line reaches the feed exactly as the receiver sent it or not at all: one
// with a NUL in it, or too long for a RecordLine, is dropped whole at its line
// end. Cutting it instead would hand the feed server a piece of a line (a frame
// stub, or the tail of a long line) as if it were a message.
void decodeTextByte(unsigned char b) {
    if (b == '\r' || b == '\n') {
        app.decoderLine[app.decoderPos] = 0;
        if (app.decoderDiscard)
            clearDecoder();
        else
            finishTextLine();
        return;
    }
    if (app.decoderDiscard) return;
    if (b == 0 || app.decoderPos >= kMaxTextLine) {
        app.decoderDiscard = 1;
        return;
    }
    app.decoderLine[app.decoderPos++] = b;
}

void finishFrame() {
    static const char kHex[] = "0123456789ABCDEF";
    char line[kRecordLineSize];
    int n = 0;
    line[n++] = '@';
    auto hex = [&](unsigned char v) {
        line[n++] = kHex[v >> 4];
        line[n++] = kHex[v & 15];
    };
    for (int i = 2; i < 8; ++i) hex(app.decoderLine[i]);
    for (int i = 9; i < app.decoderPos; ++i) hex(app.decoderLine[i]);
    line[n++] = ';';
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    // Compared as unsigned 32-bit numbers: a negative threshold keeps every frame
    // from the feed, as does one above 255.
    std::uint32_t level = app.decoderLine[8];
    std::uint32_t threshold = static_cast<std::uint32_t>(app.levelThreshold.load());
    emitRecordLine(line, n, level >= threshold);
    // Mode S frames ('2' short, '3' long) go to the look with their level,
    // whatever the threshold: it keeps frames from the feed, not from sight.
    ModesFrameSink sink = app.modesFrameSink.load(std::memory_order_relaxed);
    if (sink && app.decoderLine[1] != '1') sink(app.decoderLine + 9, app.decoderPos - 9, app.decoderLine[8]);
    clearDecoder();
}

void decodeBinaryByte(unsigned char b) {
    unsigned char prev = app.decoderLastByte;
    app.decoderLastByte = b;
    if (prev == kFrameEscape) {
        if (b == kFrameEscape) {  // the second half of an escaped 0x1A
            app.decoderLastByte = 0;
            return;
        }
        if (binaryFrameLength(b)) {  // a frame start abandons whatever was collected
            app.decoderLine[0] = kFrameEscape;
            app.decoderLine[1] = b;
            app.decoderPos = 2;
            return;
        }
    }
    app.decoderLine[app.decoderPos] = b;
    if (app.decoderPos < kLastCell) ++app.decoderPos;
    if (app.decoderLine[0] == kFrameEscape && app.decoderPos == binaryFrameLength(app.decoderLine[1]))
        finishFrame();
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
    clearDecoder();
    app.decoderLastByte = 0;
}

void decodeReceiverBytes(const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (app.binaryMode.load(std::memory_order_relaxed))
            decodeBinaryByte(bytes[i]);
        else
            decodeTextByte(bytes[i]);
    }
}
