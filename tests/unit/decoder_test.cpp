// The stream decoder against hand-made streams and the real captures.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "input/decoder.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

// Collects every line that reaches the display and the socket that plays the feed.
class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        feedLockCreate();
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair_));
        app.feed.socket = pair_[0];
        app.feed.state = kLinkConnected;
    }
    void TearDown() override {
        close(pair_[0]);
        close(pair_[1]);
    }

    void feed(const std::string& bytes) {
        decodeReceiverBytes(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    }
    void feedSplit(const std::string& bytes, size_t chunk) {
        for (size_t i = 0; i < bytes.size(); i += chunk) feed(bytes.substr(i, chunk));
    }
    // Everything the feed socket received so far.
    std::string feedBytes() {
        peer::writeQueued();
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = recv(pair_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }
    // Lines stored in the ring since the start (all of them, in order).
    std::vector<std::string> shown() {
        std::vector<std::string> lines;
        for (int i = 1; i <= app.ring.write; ++i) lines.push_back(app.ring.slots[i]);
        return lines;
    }

    int pair_[2];
};

std::string frame(char type, const std::string& stamp, unsigned char level, const std::string& payload) {
    std::string raw = stamp + std::string(1, static_cast<char>(level)) + payload;
    std::string out = "\x1a";
    out += type;
    for (char c : raw) {
        out += c;
        if (c == '\x1a') out += c;
    }
    return out;
}

const std::string kStamp("\x00\x01\x02\x03\x04\x05", 6);
const std::string kShort("\x8D\x48\x40\xD6\x20\x2C\xC3", 7);

}  // namespace

TEST_F(DecoderTest, TextLinesPassOnlyStarAtAndMsg) {
    feed("*8D4840D6202CC371C32CE0576098;\r\n");
    feed("MSG,3,1\n@0001020304058D4840D6202CC3;\n");
    feed("MSX,1\nmsg,1\n#43-12\nplain\n\r\n");
    EXPECT_EQ(feedBytes(), "*8D4840D6202CC371C32CE0576098;\r\nMSG,3,1\r\n@0001020304058D4840D6202CC3;\r\n");
    std::vector<std::string> want = {"*8D4840D6202CC371C32CE0576098;\r\n", "MSG,3,1\r\n",
                                     "@0001020304058D4840D6202CC3;\r\n"};
    EXPECT_EQ(shown(), want);
}

TEST_F(DecoderTest, TextLineLimits) {
    // 125 characters still fit a record line; 126 are dropped whole, never cut.
    std::string fits = "*" + std::string(124, 'A');
    std::string tooLong = "*" + std::string(125, 'B');
    feed(fits + "\n" + tooLong + "\n*ok\n");
    std::vector<std::string> want = {fits + "\r\n", "*ok\r\n"};
    EXPECT_EQ(shown(), want);

    // However long, a line is dropped up to its line end: its tail is no line, and
    // neither is what comes before a NUL in it.
    resetApp();
    app.feed.socket = pair_[0];
    app.feed.state = kLinkConnected;
    feed("*" + std::string(1022, 'C') + "*after\n");
    feed(std::string("*8D4840\0D6202CC371C32CE0576098;\r\n", 33) + "*ok\n");
    want = {"*ok\r\n"};
    EXPECT_EQ(shown(), want);
    EXPECT_EQ(feedBytes(), "*ok\r\n");
}

TEST_F(DecoderTest, BinaryFramesOfEachType) {
    app.binaryMode = 1;
    app.levelThreshold = 0;
    feed(frame('2', kStamp, 0x80, kShort));
    feed(frame('1', kStamp, 0x80, std::string("\x12\x34", 2)));
    feed(frame('3', kStamp, 0x80, std::string("\x8D\x48\x40\xD6\x20\x2C\xC3\x71\xC3\x2C\xE0\x57\x60\x98", 14)));
    std::vector<std::string> want = {"@0001020304058D4840D6202CC3;\r\n", "@0001020304051234;\r\n",
                                     "@0001020304058D4840D6202CC371C32CE0576098;\r\n"};
    EXPECT_EQ(shown(), want);
    EXPECT_EQ(feedBytes(), want[0] + want[1] + want[2]);
}

TEST_F(DecoderTest, BinaryEscapesAndFrameStarts) {
    app.binaryMode = 1;
    app.levelThreshold = 0;
    // An escaped 0x1A in the payload shows once and the frame keeps its length.
    feed(frame('2', kStamp, 0x10, std::string("\x1A\x48\x40\xD6\x20\x2C\xC3", 7)));
    // 1A 1A 1A 33: an escaped data byte, then a type '3' frame start.
    feed(std::string("\x1A\x1A", 2) + frame('3', kStamp, 1, std::string(14, '\x11')));
    // Unknown type 1A 34 gives nothing; a frame start mid-frame abandons the partial.
    feed(std::string("\x1A\x34\x01\x02", 4) + frame('2', kStamp, 1, "\x01\x02") + frame('1', kStamp, 1, "\xAB\xCD"));
    std::vector<std::string> want = {"@0001020304051A4840D6202CC3;\r\n",
                                     "@000102030405" + std::string(28, '1') + ";\r\n", "@000102030405ABCD;\r\n"};
    EXPECT_EQ(shown(), want);
}

TEST_F(DecoderTest, LevelGateAndLinkGate) {
    app.binaryMode = 1;
    app.levelThreshold = 0x80;
    feed(frame('1', kStamp, 0x80, "\x01\x01"));  // equal: fed
    feed(frame('1', kStamp, 0x7F, "\x02\x02"));  // below: shown only
    app.levelThreshold = -1;                     // negative: nothing is fed
    feed(frame('1', kStamp, 0xFF, "\x03\x03"));
    EXPECT_EQ(feedBytes(), "@0001020304050101;\r\n");
    EXPECT_EQ(shown().size(), 3u);

    app.levelThreshold = 0;
    app.rawFeed = 1;  // the feed server asked for raw bytes
    feed(frame('1', kStamp, 0x80, "\x04\x04"));
    app.rawFeed = 0;
    app.feed.state = kLinkDropped;
    feed(frame('1', kStamp, 0x80, "\x05\x05"));
    EXPECT_EQ(feedBytes(), "");
    EXPECT_EQ(shown().size(), 5u);
    // The lock was released every time: another sender can take it at once.
    ASSERT_EQ(1, feedLockAcquire(0));
    feedLockRelease();
}

TEST_F(DecoderTest, SplitInvariantOnRealCaptures) {
    std::string dir = sharedDataDir();
    if (dir.empty()) GTEST_SKIP() << "no receiver captures here";
    for (const char* name : {"beast-capture-60s.bin", "avr-sample-18.txt"}) {
        std::string bytes = readFile(dir + "/" + name);
        bool binary = std::string(name).find(".bin") != std::string::npos;
        std::string reference;
        // Chunks stay below two frames so that the 30-slot ring never wraps
        // between two looks; one byte at a time is the reference.
        for (size_t chunk : {size_t(1), size_t(7), size_t(13), size_t(29)}) {
            resetApp();
            app.binaryMode = binary;
            app.levelThreshold = 0;
            app.feed.socket = kNoSocket;
            app.feed.state = kLinkNotYet;
            std::string lines;
            int count = 0;
            int last = 0;
            for (size_t i = 0; i < bytes.size(); i += chunk) {
                std::string piece = bytes.substr(i, chunk);
                decodeReceiverBytes(reinterpret_cast<const unsigned char*>(piece.data()),
                                    static_cast<int>(piece.size()));
                while (last != app.ring.write) {
                    last = last >= kRingSlots - 1 ? 0 : last + 1;
                    lines += app.ring.slots[last];
                    ++count;
                }
            }
            if (chunk == 1) {
                reference = lines;
                if (binary) EXPECT_EQ(13954, count) << name;  // every frame of the capture
                else EXPECT_EQ(18, count) << name;
            } else {
                EXPECT_EQ(reference, lines) << name << " split into " << chunk;
            }
        }
    }
}

namespace {
std::vector<std::string> looked;  // each frame the look got: its bytes in hex and its level
void lookSink(const unsigned char* msg, int length, int level) {
    std::string hex;
    char digits[4];
    for (int i = 0; i < length; ++i) std::snprintf(digits, sizeof digits, "%02X", msg[i]), hex += digits;
    looked.push_back(hex + "/" + std::to_string(level));
}
}  // namespace

TEST_F(DecoderTest, EveryModeSFrameGoesToTheLookAndOnlyThose) {
    looked.clear();
    app.modesFrameSink = lookSink;
    app.levelThreshold = 200;  // kept from the feed is not kept from the look
    app.binaryMode = 1;
    feed(frame('1', kStamp, 0x80, "\x12\x34") + frame('2', kStamp, 0x81, kShort) +
         frame('3', kStamp, 0x1A, std::string("\x8D\x48\x40\xD6\x20\x2C\xC3\x71\xC3\x2C\xE0\x57\x60\x98", 14)));
    app.binaryMode = 0;
    feed("@0001020304058D4840D6202CC3;\r\n*8D4840D6202CC371C32CE0576098;\n*8d4840d6202cc3\n");
    feed("@0001020304051234;\n@00010203040G8D4840D6202CC3;\n*8D4840D6202CC371C32CE057609;\nMSG,3,1\n*8D4840D6202CC3;;\n");
    std::vector<std::string> want = {"8D4840D6202CC3/129", "8D4840D6202CC371C32CE0576098/26", "8D4840D6202CC3/-1",
                                     "8D4840D6202CC371C32CE0576098/-1", "8D4840D6202CC3/-1"};
    EXPECT_EQ(looked, want);
    EXPECT_EQ(shown().size(), 11u) << "the lines themselves as before";
}
