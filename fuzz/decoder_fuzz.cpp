// sources: src/input/decoder.cpp src/input/stream_stats.cpp src/input/receiver_clock.cpp src/core/app_state.cpp src/platform/posix/thread_posix.cpp
// The decoder on arbitrary bytes, in both modes and any split: every line it emits
// ends in CR LF, fits a RecordLine and starts with '*', '@' or "MSG"; binary lines
// have one of the three frame lengths. In text mode the feed gets exactly the
// input's lines that fit a RecordLine, each byte for byte, in order: never a piece
// of a line. ASan watches every buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "core/frontend.h"
#include "display/clock_annotation.h"
#include "input/decoder.h"
#include "net/feed_encoder.h"
#include "net/relay_fanout.h"

namespace {
int fedLines = 0;
// Text mode: the lines the feed must get, in order, without their line ends.
std::vector<std::string> expected;
std::size_t matched = 0;

void expectTextLines(const uint8_t* data, size_t size) {
    expected.clear();
    matched = 0;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] != '\r' && data[i] != '\n') {
            line += static_cast<char>(data[i]);
            continue;
        }
        bool wanted = !line.empty() && (line[0] == '*' || line[0] == '@' || line.compare(0, 3, "MSG") == 0);
        if (wanted && line.size() <= kRecordLineSize - 3 && line.find('\0') == std::string::npos)
            expected.push_back(line);
        line.clear();
    }
}

void check(const char* line, int length) {
    int n = static_cast<int>(std::strlen(line));
    if (n != length && length >= 0) std::abort();
    if (n < 3 || n > kRecordLineSize - 1) std::abort();
    if (line[n - 2] != '\r' || line[n - 1] != '\n') std::abort();
    bool start = line[0] == '*' || line[0] == '@' || std::strncmp(line, "MSG", 3) == 0;
    if (!start) std::abort();
    if (app.binaryMode && n != 20 && n != 30 && n != 44) std::abort();
}
}  // namespace

// Link-time stand-ins for the decoder's outputs. The other-format port always
// has a client here, so every frame is converted too: in binary mode it gets the
// record line, in text mode a Beast frame (0x1A, its type, then at most 21 bytes
// each doubled when 0x1A).
int relayOtherFormatWanted() { return 1; }

void relayOtherFormat(const unsigned char* data, int count) {
    if (app.binaryMode) {
        char line[kRecordLineSize];
        if (count <= 0 || count >= kRecordLineSize) std::abort();
        std::memcpy(line, data, count);
        line[count] = '\0';
        check(line, count);
    } else if (count < 2 || count > 2 + 2 * 21 || data[0] != 0x1A || data[1] < '1' || data[1] > '3') {
        std::abort();
    }
}

int feedOffer(const unsigned char* data, int count, FeedKind) {
    char line[kRecordLineSize];
    if (count <= 0 || count >= kRecordLineSize) std::abort();
    std::memcpy(line, data, count);
    line[count] = '\0';
    check(line, count);
    ++fedLines;
    if (!app.binaryMode) {
        if (matched >= expected.size() || expected[matched] != std::string(line, count - 2)) std::abort();
        ++matched;
    }
    return 0;
}

void showRecordLine(const char* line) { check(line, -1); }

// The front end gets the line without its CR LF.
void uiRecordLine(const char* line, int length) {
    if (length < 1 || length > kRecordLineSize - 3 || line[length] != '\r') std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = feedLockCreate();
    (void)ready;
    if (size < 2) return 0;
    // First byte: mode and chunking; second: threshold.
    app.binaryMode = data[0] & 1;
    int chunk = 1 + (data[0] >> 1);
    app.levelThreshold = static_cast<int8_t>(data[1]);
    app.feed.state = kLinkConnected;
    app.rawFeed = 0;
    restartDecoder();
    expectTextLines(data + 2, size - 2);
    for (size_t i = 2; i < size; i += chunk) {
        int n = static_cast<int>(size - i < static_cast<size_t>(chunk) ? size - i : chunk);
        decodeReceiverBytes(data + i, n);
    }
    if (!app.binaryMode && matched != expected.size()) std::abort();
    return 0;
}
