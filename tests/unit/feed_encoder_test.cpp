// The feed encoder against a loopback feed server: framing, the introduction,
// plain and staged feed data with size and time flushes, the two commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "net/feed_encoder.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

std::string hex(const unsigned char* b, int n) {
    std::string s;
    char t[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(t, sizeof t, "%02x ", b[i]);
        s += t;
    }
    return s;
}

std::string bottomLine(int fromBottom = 0) {
    char line[1024];
    headlessMonitorLine(kMonitorLines - 1 - fromBottom, line, sizeof line);
    return line;
}

// The program's side of a feed connection and the test's feed server side.
class FeedEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        peer::loadCompress();
        std::uint16_t port;
        int l = peer::listenLocal(&port);
        program_ = peer::connectLocal(port);
        server_ = peer::acceptWithin(l, 2000);
        ::close(l);
        ASSERT_GE(program_, 0);
        ASSERT_GE(server_, 0);
        app.feed.socket = program_;  // where writeQueued writes, as the link thread would
    }
    void TearDown() override {
        ::close(program_);
        ::close(server_);
    }
    int send(const std::string& bytes) {
        int result = feedSend(reinterpret_cast<const unsigned char*>(bytes.data()),
                              static_cast<int>(bytes.size()));
        peer::writeQueued();
        return result;
    }
    // Reads whatever arrives within a short while (the sends are already done).
    std::string received(std::size_t want) {
        peer::writeQueued();
        return peer::readBytes(server_, want, 3000);
    }

    int program_ = -1;
    int server_ = -1;
};

TEST(FrameBlock, HeaderLengthAndDoubling) {
    unsigned char payload[4096], out[2 * 4096 + 16];
    // 100 bytes without 0x10: 10 02 65 00 68 00, payload, 10 03.
    for (int i = 0; i < 100; ++i) payload[i] = static_cast<unsigned char>(0x20 + i % 64);
    int length = frameBlockInto(101, payload, 100, out);
    ASSERT_EQ(108, length);
    EXPECT_EQ("10 02 65 00 68 00 ", hex(out, 6));
    EXPECT_EQ("10 03 ", hex(out + 106, 2));

    // A length of 16 doubles its low byte, 4,096 its high byte; the zero stays single.
    std::memset(payload, 'a', sizeof payload);
    length = frameBlockInto(101, payload, 12, out);
    EXPECT_EQ("10 02 65 00 10 10 00 ", hex(out, 7));
    EXPECT_EQ(21, length);
    length = frameBlockInto(101, payload, 4092, out);
    EXPECT_EQ("10 02 65 10 10 00 00 ", hex(out, 7));
    EXPECT_EQ(4092 + 9, length);

    // Payload 0x10 bytes go twice; the length counts them once; type 0x10 doubles.
    const unsigned char stuffed[] = {0x10, 0x41, 0x10};
    length = frameBlockInto(0x10, stuffed, 3, out);
    EXPECT_EQ("10 02 10 10 00 07 00 10 10 41 10 10 10 03 ", hex(out, length));
}

TEST(FrameBlock, WorstCasePayloadFitsTheWorkArea) {
    // Every byte 0x10: the framed block is twice the payload and more. It is framed
    // into frameWork, which holds it, and nothing past the caller's buffer is touched.
    static unsigned char payload[kFeedBufferSize - 1];
    static unsigned char out[kFrameWorkSize];
    std::memset(payload, 0x10, sizeof payload);
    int n = frameBlockInto(101, payload, static_cast<int>(sizeof payload), out);
    EXPECT_EQ(2 * static_cast<int>(sizeof payload) + 8, n);  // 65,535 + 4 wraps to 3: no doubled length byte
    auto blocks = peer::splitBlocks(std::string(reinterpret_cast<char*>(out), n));
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(blocks[0].wellFormed);
    EXPECT_EQ(sizeof payload, blocks[0].payload.size());
}

TEST_F(FeedEncoderTest, IntroductionWithDefaultsAndEachKindOfData) {
    sendFeedIntroduction();
    std::string expected = "#Rostov-on-Don\r\n#47.198200\r\n#39.628200\r\n#TEXT\r\n";
    EXPECT_EQ(expected, received(expected.size()));

    app.binaryMode = 1;
    app.compressFeed = 1;
    sendFeedIntroduction();
    expected = "#Rostov-on-Don\r\n#47.198200\r\n#39.628200\r\n#BINARY:COMPRESS\r\n";
    EXPECT_EQ(expected, received(expected.size()));
}

TEST_F(FeedEncoderTest, OverlongNameIsCutAndTheLineStillEndsInCrLf) {
    std::memset(app.receiverName, 'N', kNameSize - 1);
    app.receiverName[kNameSize - 1] = '\0';
    sendFeedIntroduction();
    std::string got = received(kNameSize - 1 + 31);
    std::size_t end = got.find("\r\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ(kNameSize - 1, static_cast<int>(end + 2));  // the whole line fits 255 + NUL
    EXPECT_EQ("#" + std::string(kNameSize - 4, 'N'), got.substr(0, end));
    EXPECT_NE(std::string::npos, got.find("#47.198200\r\n"));
}

TEST_F(FeedEncoderTest, PlainFeedGoesOutUnchangedAndStagesNothing) {
    EXPECT_EQ(0, send("@0123456789ABCDEF0011223344;\r\n"));
    EXPECT_EQ(0, send("*8D4840D6202CC371C32CE0576098;\r\n"));
    EXPECT_EQ(0, app.acc.fill);
    EXPECT_EQ("@0123456789ABCDEF0011223344;\r\n*8D4840D6202CC371C32CE0576098;\r\n", received(62));
}

TEST_F(FeedEncoderTest, SizeFlushAtTheLimitSendsTheStagedBytesAsOneBlock) {
    app.compressFeed = 1;
    std::string staged;
    std::string line = "@0123456789ABCDEF0011223344;\r\n";  // 30 bytes
    while (staged.size() + line.size() <= 65500) {
        send(line);
        staged += line;
    }
    std::string pad(65500 - staged.size(), 'x');
    send(pad);
    staged += pad;
    ASSERT_EQ(65500, app.acc.fill);

    send(std::string(34, 'y'));  // 65,534 staged: still below the limit
    staged += std::string(34, 'y');
    EXPECT_EQ(65534, app.acc.fill);

    send(std::string(1, 'z'));  // 65,535 would be reached: size flush
    EXPECT_EQ(1, app.acc.fill);
    EXPECT_EQ(0, app.acc.flushTicks.load());
    EXPECT_EQ("Compress", bottomLine());
    std::string counts = bottomLine(1);
    EXPECT_EQ(0u, counts.find("65534 -> "));

    std::size_t used = 0;
    std::string wire;
    std::vector<peer::Block> blocks;
    ASSERT_TRUE(waitFor([&] {
        wire += peer::readBytes(server_, 1 << 20, 50);
        blocks = peer::splitBlocks(wire, &used);
        return !blocks.empty() && used == wire.size();
    }));
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(blocks[0].wellFormed);
    EXPECT_EQ("65534 -> " + std::to_string(blocks[0].payload.size()), counts);
    EXPECT_EQ(staged, peer::inflate(blocks[0].payload));
}

TEST_F(FeedEncoderTest, TimeFlushAfterTheIntervalCarriesTheCallsOwnBytes) {
    app.compressFeed = 1;
    app.compressInterval = 50;
    send("@first;\r\n");
    for (int i = 0; i < 50; ++i) advanceFlushClock();
    send("@second;\r\n");  // exactly 50 ticks: no flush
    EXPECT_EQ(19, app.acc.fill);
    advanceFlushClock();
    EXPECT_EQ(0, send("@third;\r\n"));  // 51 ticks: time flush with this line in it
    EXPECT_EQ(0, app.acc.fill);
    EXPECT_EQ(0, app.acc.flushTicks.load());

    std::string wire = peer::readBytes(server_, 1 << 16, 500);
    auto blocks = peer::splitBlocks(wire);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(blocks[0].wellFormed);
    EXPECT_EQ("@first;\r\n@second;\r\n@third;\r\n", peer::inflate(blocks[0].payload));
    // The time flush reports the framed length.
    EXPECT_EQ("28 -> " + std::to_string(wire.size()), bottomLine());
}

TEST_F(FeedEncoderTest, ClockRunsOnlyWhileCompressing) {
    advanceFlushClock();
    EXPECT_EQ(0, app.acc.flushTicks.load());
    app.compressFeed = 1;
    advanceFlushClock();
    advanceFlushClock();
    EXPECT_EQ(2, app.acc.flushTicks.load());
}

TEST_F(FeedEncoderTest, FailedCompressionLosesTheStagedBytesAndSendsTheCallUnframed) {
    app.compressFeed = 1;
    app.compressInterval = 0;
    app.zlibCompress = nullptr;  // zlib unavailable counts as a failed compression
    send("@lost;\r\n");
    advanceFlushClock();
    send("@plain;\r\n");
    EXPECT_EQ("Error Compress", bottomLine());
    EXPECT_EQ(0, app.acc.fill);
    EXPECT_EQ("@plain;\r\n", received(9));
}

// A compressor whose output is all 0x10: the framed block is nearly twice the
// largest payload and must still go out whole, from the work area.
int compressToDle(unsigned char* dest, unsigned long* destLen, const unsigned char*, unsigned long) {
    const unsigned long n = 65000;
    if (*destLen < n) return -5;
    std::memset(dest, 0x10, n);
    *destLen = n;
    return 0;
}

TEST_F(FeedEncoderTest, BlockLargerThanTheBuffersIsSentWholeWithoutOverrun) {
    app.compressFeed = 1;
    app.compressInterval = 0;
    app.zlibCompress = compressToDle;
    send("@a;\r\n");
    advanceFlushClock();
    // The peer must read while the 130 kB block is being sent.
    std::string wire;
    std::thread reader([&] { wire = peer::readBytes(server_, 2 * 65000 + 8, 10000); });
    send("@b;\r\n");
    reader.join();
    auto blocks = peer::splitBlocks(wire);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(blocks[0].wellFormed);
    EXPECT_EQ(std::string(65000, '\x10'), blocks[0].payload);
}

TEST(FeedCommand, OnlyTheExactTextsSwitchTheFeed) {
    resetApp();
    auto command = [](const std::string& s) {
        handleFeedCommand(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    };
    command("#SET OUT DATE ORIGINAL\r\n#");
    EXPECT_EQ(0, app.rawFeed.load());
    command("#SET OUT DATE ORIGINAL\r\n");
    EXPECT_EQ(1, app.rawFeed.load());
    command("#SET OUT DATE TEXT");
    EXPECT_EQ(1, app.rawFeed.load());
    command(std::string("#SET OUT DATE TEXT\r\n\0junk", 25));  // the text ends at the NUL
    EXPECT_EQ(0, app.rawFeed.load());
}

}  // namespace
